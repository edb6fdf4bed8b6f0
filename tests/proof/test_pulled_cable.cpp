// A USB adapter pulled during identification and during the transfer (the relay hangs the port
// up): told at once, without spinning, shown as a hang-up in the run's wire trace, and a second
// run on the same port reprograms the instrument.

#include <QElapsedTimer>
#include <QJsonArray>
#include <QProcess>
#include <QTest>

#include "images.h"
#include "line_rig.h"

using namespace vantrel::test;

namespace {

// 20 blocks: a cut after 12000 bytes falls inside the transfer.
constexpr int kImageBytes = 20 * 1024 - 300;
// From the cut to the exit; the waits cut here last 2 s to 25 s.
constexpr qint64 kAtOnceMs = 1200;
// A polling wait would take nearly all of the wall time.
constexpr double kCpuShareLimit = 0.25;
// Processor time that starting and ending the program takes whatever it waits for (loading,
// and under the sanitizers their own start-up): a short run is all start-up.
constexpr double kStartUpCpuSeconds = 0.5;

struct PulledRun {
    int exitCode = -1;
    QString output;
    qint64 wallMs = 0;
    qint64 cutToExitMs = -1;  // from the relay's CUT to the program's exit; -1 without a cut
    double cpuSeconds = 0;
    QString trace;  // the run's wire trace (--trace)
};

// vantrel-sim behind vantrel-relay as COM5. The relay holds the instrument's line open, the
// instrument stays silent until it is reset, and it is reset only once the program says it
// has opened its port: a reset on the line's own opening raced a slow program's start (the
// program's carriage return answered before the reset, or the signature thrown away by the
// program's own input clearing).
class Bench {
public:
    explicit Bench(const QStringList& cut) : m_image(RandomImage(kImageBytes, 77)) {
        WriteFile(m_home.Path("image.upg"), m_image);
        if (m_sim.Start(m_home, {}, {"--model", "1"}) && m_line.Open(m_sim.Device())) {
            const QStringList alias{"--device", m_sim.Device(), "--alias", "COM5"};
            m_relay = std::make_unique<Relay>(alias + cut + QStringList{"--replug-after", "300"},
                                              m_home.Env());
        }
    }
    bool Start() { return m_relay && m_relay->Start(); }
    Relay& Line() { return *m_relay; }

    PulledRun Run() {
        PulledRun result;
        if (!Silence()) {
            return result;
        }
        const std::uint64_t cpuBefore = CpuMs(true);
        Program vantrel;
        QElapsedTimer timer;
        timer.start();
        vantrel.Start(VANTREL_BIN,
                      QStringList{"--port", "COM5", "--file", m_home.Path("image.upg"), "--wait",
                                  "20", "--trace", m_home.Path("run.trace"), "auto"},
                      m_home.Env(), QProcess::MergedChannels);
        bool reset = false;
        qint64 cutAt = -1;
        while (!vantrel.Process().waitForFinished(20) && timer.elapsed() < 60000) {
            if (!reset && vantrel.WaitForOutput("Waiting up to", 0)) {
                m_sim.Reset();
                reset = true;
            }
            if (cutAt < 0 && m_relay->AwaitLine("CUT", 0)) {
                cutAt = timer.elapsed();
            }
        }
        const RunResult run = vantrel.Finish(0);
        result.wallMs = timer.elapsed();
        if (cutAt < 0 && m_relay->AwaitLine("CUT", 0)) {
            cutAt = result.wallMs;
        }
        result.cutToExitMs = cutAt < 0 ? -1 : result.wallMs - cutAt;
        result.output = QString::fromUtf8(run.out);
        result.exitCode = run.exitCode;
        result.cpuSeconds = static_cast<double>(CpuMs(true) - cpuBefore) / 1000.0;
        result.trace = QString::fromLatin1(ReadFile(m_home.Path("run.trace")));
        return result;
    }
    QByteArray ReceivedImage() { return m_sim.Image(); }
    QByteArray PaddedImage() const { return Padded(m_image); }

private:
    // The boot loader's exit command makes the instrument silent until the next reset, as
    // one running its own program is.
    bool Silence() {
        const int resets = m_sim.Report().value("resets").toInt();
        m_sim.Reset();
        return QTest::qWaitFor([&] { return m_sim.Report().value("resets").toInt() > resets; }) &&
               m_line.Write("7") && QTest::qWaitFor([&] {
                   return m_sim.Report().value("commands").toArray().last() == QJsonValue("7");
               });
    }

    ConfigHome m_home;
    QByteArray m_image;
    Sim m_sim;
    Pty m_line;  // held open, never read: the relay reads what the instrument says
    std::unique_ptr<Relay> m_relay;
};

QString Describe(const PulledRun& run) {
    const QString head = QString::asprintf("exit %d after %lld ms (%lld ms after the cut), ",
                                           run.exitCode, run.wallMs, run.cutToExitMs);
    return head + QString::asprintf("%.2f s processor time; said: ", run.cpuSeconds) +
           run.output.right(600);
}

}  // namespace

class PulledCableTest : public QObject {
    Q_OBJECT
private slots:
    void reportedAtOnceAndRecovered_data() {
        QTest::addColumn<QStringList>("cut");
        QTest::addColumn<int>("exitCode");  // 3: not identified; 1: a function failed
        QTest::addColumn<QStringList>("says");

        QTest::newRow("identification, adapter pulled")
            << QStringList{"--cut", "to-program:2"} << 3 << QStringList{"port failed"};
        QTest::newRow("transfer, adapter pulled")
            << QStringList{"--cut", "to-instrument:12000"} << 1
            << QStringList{"stopped working", "!!! Download ABORTED !!!"};
    }
    void reportedAtOnceAndRecovered() {
        QFETCH(QStringList, cut);
        QFETCH(int, exitCode);
        QFETCH(QStringList, says);

        Bench bench(cut);
        QVERIFY(bench.Start());
        const PulledRun pulled = bench.Run();
        const QString what = Describe(pulled);
        QVERIFY2(pulled.cutToExitMs >= 0 && pulled.cutToExitMs <= kAtOnceMs, qPrintable(what));
        QVERIFY2(pulled.exitCode == exitCode, qPrintable(what));
        for (const QString& text : says) {
            QVERIFY2(pulled.output.contains(text), qPrintable("no \"" + text + "\" in " + what));
        }
        QVERIFY2(
            pulled.cpuSeconds <=
                kStartUpCpuSeconds + kCpuShareLimit * static_cast<double>(pulled.wallMs) / 1000.0,
            qPrintable(what));
        // In the trace: the hang-up, then the phase it ended.
        const QRegularExpression hangUp(
            "\n *[0-9.]+ -- port failed: [^\n]* the line hung up[^\n]*\n(.*\n)*.* == " +
            QString(exitCode == 3 ? "identification" : "transfer") + " ended: port-failed");
        QVERIFY2(pulled.trace.contains(hangUp), qPrintable(pulled.trace));

        // Plugged in again as the same COM name: a new run reprograms the instrument.
        QVERIFY(bench.Line().AwaitLine("REPLUG", 3300));
        const PulledRun again = bench.Run();
        QVERIFY2(again.exitCode == 0 && again.output.contains("!!! Download Completed !!!"),
                 qPrintable(Describe(again)));
        QCOMPARE(bench.ReceivedImage(), bench.PaddedImage());
    }
};

QTEST_GUILESS_MAIN(PulledCableTest)
#include "test_pulled_cable.moc"
