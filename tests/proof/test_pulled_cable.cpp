// A cable pulled in each phase of a run (the relay hangs the port up, a pulled USB adapter, or
// silences it, a pulled RS-232 cable): told at once, without spinning, and a second run on the
// same port reprograms the instrument.

#include <signal.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include "proof_rig.h"

using namespace vantrel::proof;

namespace {

// 20 blocks: a cut after 12000 bytes falls inside the transfer.
constexpr int kImageBytes = 20 * 1024 - 300;
// From the cut to the exit; the waits cut here last 2 s to 25 s.
constexpr qint64 kAtOnceMs = 1200;
// A silent line is only seen one read time-out (2 s on model 1) after the last answer.
constexpr qint64 kSilenceLimitMs = 2000 + kAtOnceMs;
// A polling wait would take nearly all of the wall time.
constexpr double kCpuShareLimit = 0.25;
// Processor time that starting and ending the program takes whatever it waits for (loading,
// and under the sanitizers their own start-up): a short run is all start-up.
constexpr double kStartUpCpuSeconds = 0.5;

struct RunResult {
    int exitCode = -1;
    QString output;
    qint64 wallMs = 0;
    qint64 cutToExitMs = -1;  // from the relay's CUT to the program's exit; -1 without a cut
    double cpuSeconds = 0;
};

// vantrel-sim behind vantrel-relay as COM5, under a private configuration folder.
class Bench {
public:
    Bench(int model, const QStringList& cut, int replugMs) {
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.insert("XDG_CONFIG_HOME", m_dir.path());
        m_image = RandomBytes(kImageBytes, 77);
        QFile file(m_dir.filePath("image.upg"));
        if (file.open(QIODevice::WriteOnly)) {
            file.write(m_image);
        }
        m_sim.setProcessEnvironment(m_env);
        m_sim.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_sim.start(VANTREL_SIM_PATH,
                    {"--model", QString::number(model), "--reset-on-open", "--no-stdin", "--report",
                     m_dir.filePath("report.json"), "--image-out", m_dir.filePath("received.bin")});
        if (m_sim.waitForStarted() && m_sim.waitForReadyRead(5000)) {
            const QString first = QString::fromUtf8(m_sim.readLine()).trimmed();
            if (first.startsWith("PTY ")) {
                m_relay = std::make_unique<RelayProcess>(
                    QStringList{"--device", first.mid(4), "--follow-open", "--alias", "COM5",
                                "--replug-after", QString::number(replugMs)} +
                        cut,
                    m_dir.path());
            }
        }
    }
    ~Bench() {
        m_relay.reset();
        StopSimulator();
    }

    bool Start() { return m_relay && m_relay->Start(); }
    RelayProcess& Relay() { return *m_relay; }

    RunResult Run(const QStringList& functions) {
        RunResult result;
        const QString times = m_dir.filePath("time.txt");
        QProcess vantrel;
        vantrel.setProcessEnvironment(m_env);
        vantrel.setProcessChannelMode(QProcess::MergedChannels);
        QElapsedTimer timer;
        timer.start();
        vantrel.start("/usr/bin/time",
                      QStringList{"-f", "%U %S", "-o", times, VANTREL_PATH, "--port", "COM5",
                                  "--file", m_dir.filePath("image.upg"), "--wait", "20"} +
                          functions);
        qint64 cutAt = -1;
        while (!vantrel.waitForFinished(20)) {
            if (cutAt < 0 && m_relay->AwaitLine("CUT", 0)) {
                cutAt = timer.elapsed();
            }
            if (timer.elapsed() > 60000) {
                vantrel.kill();
                vantrel.waitForFinished();
                break;
            }
        }
        result.wallMs = timer.elapsed();
        if (cutAt < 0 && m_relay->AwaitLine("CUT", 0)) {
            cutAt = result.wallMs;
        }
        result.cutToExitMs = cutAt < 0 ? -1 : result.wallMs - cutAt;
        result.output = QString::fromUtf8(vantrel.readAll());
        result.exitCode = vantrel.exitStatus() == QProcess::NormalExit ? vantrel.exitCode() : -1;
        QFile timeFile(times);
        if (timeFile.open(QIODevice::ReadOnly)) {
            const QStringList parts = QString::fromUtf8(timeFile.readAll())
                                          .split(QRegularExpression("\\s+"), Qt::SkipEmptyParts);
            // GNU time writes "Command exited with non-zero status N" first when it is not 0.
            if (parts.size() >= 2) {
                result.cpuSeconds = parts[parts.size() - 2].toDouble() + parts.last().toDouble();
            }
        }
        return result;
    }

    QByteArray ReceivedImage() {
        StopSimulator();
        QFile file(m_dir.filePath("received.bin"));
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }
    // Padded to whole blocks: 0x1A, then 0xFF.
    QByteArray PaddedImage() const {
        QByteArray padded = m_image;
        if (padded.size() % 1024 != 0) {
            padded.append('\x1a');
            padded.append(QByteArray((1024 - padded.size() % 1024) % 1024, '\xff'));
        }
        return padded;
    }

private:
    void StopSimulator() {
        if (m_sim.state() != QProcess::NotRunning) {
            m_sim.terminate();
            if (!m_sim.waitForFinished(5000)) {
                m_sim.kill();
                m_sim.waitForFinished();
            }
        }
    }

    QTemporaryDir m_dir;
    QProcessEnvironment m_env;
    QByteArray m_image;
    QProcess m_sim;
    std::unique_ptr<RelayProcess> m_relay;
};

QString Describe(const RunResult& run) {
    return QString("exit %1 after %2 ms (%3 ms after the cut), %4 s processor time; said: %5")
        .arg(run.exitCode)
        .arg(run.wallMs)
        .arg(run.cutToExitMs)
        .arg(run.cpuSeconds)
        .arg(run.output.right(600));
}

}  // namespace

class PulledCableTest : public QObject {
    Q_OBJECT
private slots:
    void reportedAtOnceAndRecovered_data() {
        QTest::addColumn<int>("model");
        QTest::addColumn<QStringList>("cut");
        QTest::addColumn<QStringList>("functions");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QStringList>("says");
        QTest::addColumn<qint64>("reportWithinMs");  // from the cut to the program's exit
        QTest::addColumn<int>("replugMs");           // the line is back this long after the cut
        QTest::addColumn<bool>("imageComplete");     // the pulled run completed the download

        QTest::newRow("identification, adapter pulled")
            << 1 << QStringList{"--cut", "to-program:2"} << QStringList{"auto"} << 3
            << QStringList{"port failed"} << kAtOnceMs << 300 << false;
        QTest::newRow("menu wait, adapter pulled")
            << 1 << QStringList{"--cut-on", "to-program:Blank checking user area...\\r\\n"}
            << QStringList{"auto"} << 1
            << QStringList{"Select the port again", "!!! Download ABORTED !!!"} << kAtOnceMs << 300
            << false;
        QTest::newRow("transfer, adapter pulled")
            << 1 << QStringList{"--cut", "to-instrument:12000"} << QStringList{"auto"} << 1
            << QStringList{"Select the port again", "!!! Download ABORTED !!!"} << kAtOnceMs << 300
            << false;
        // During the 4 s drain after the EOT's ACK: the image is complete, the restart fails.
        QTest::newRow("drain, adapter pulled")
            << 2 << QStringList{"--cut-on", "to-program:Download OK", "--cut-delay", "300"}
            << QStringList{"auto", "restart"} << 1
            << QStringList{"!!! Download Completed !!!", "Select the port again",
                           "!!! Restart ABORTED !!!"}
            << kAtOnceMs << 300 << true;
        QTest::newRow("menu wait, cable pulled at the instrument")
            << 1
            << QStringList{"--cut-on",
                           "to-program:Enter Flash memory base address as a 32-bit hex value "
                           "e.g. AABBCCDD\\r\\n",
                           "--cut-mode", "silent"}
            << QStringList{"auto"} << 1
            << QStringList{"Connection Lost - Reset the Instrument", "!!! Download ABORTED !!!"}
            << kSilenceLimitMs << static_cast<int>(kSilenceLimitMs + 500) << false;
    }
    void reportedAtOnceAndRecovered() {
        QFETCH(int, model);
        QFETCH(QStringList, cut);
        QFETCH(QStringList, functions);
        QFETCH(int, exitCode);
        QFETCH(QStringList, says);
        QFETCH(qint64, reportWithinMs);
        QFETCH(int, replugMs);
        QFETCH(bool, imageComplete);

        Bench bench(model, cut, replugMs);
        QVERIFY(bench.Start());
        const RunResult pulled = bench.Run(functions);
        const QString what = Describe(pulled);
        QVERIFY2(pulled.cutToExitMs >= 0, qPrintable(what));
        QVERIFY2(pulled.exitCode == exitCode, qPrintable(what));
        for (const QString& text : says) {
            QVERIFY2(pulled.output.contains(text), qPrintable("no \"" + text + "\" in " + what));
        }
        QVERIFY2(pulled.cutToExitMs <= reportWithinMs, qPrintable(what));
        QVERIFY2(
            pulled.cpuSeconds <=
                kStartUpCpuSeconds + kCpuShareLimit * static_cast<double>(pulled.wallMs) / 1000.0,
            qPrintable(what));

        // Plugged in again as the same COM name: a new run reprograms the instrument.
        QVERIFY(bench.Relay().AwaitLine("REPLUG", replugMs + 3000));
        const RunResult again = bench.Run(imageComplete ? QStringList{} : QStringList{"auto"});
        QVERIFY2(again.exitCode == 0, qPrintable(Describe(again)));
        if (!imageComplete) {
            QVERIFY2(again.output.contains("!!! Download Completed !!!"),
                     qPrintable(Describe(again)));
        }
        QCOMPARE(bench.ReceivedImage(), bench.PaddedImage());
    }
};

QTEST_GUILESS_MAIN(PulledCableTest)
#include "test_pulled_cable.moc"
