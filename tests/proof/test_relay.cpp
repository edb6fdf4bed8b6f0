// The relay under the pulled-cable tests and the soak: exact damage, seed replay, cuts, idle
// waits.

#include <poll.h>
#include <signal.h>
#include <sys/inotify.h>
#include <unistd.h>

#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include "proof_rig.h"

using namespace vantrel::proof;

namespace {

// At 5 % about 1000 faults; off by a quarter is 5 standard deviations.
constexpr int kRateBytes = 20000;

int BitsDiffering(char a, char b) {
    return __builtin_popcount(static_cast<unsigned char>(a ^ b));
}

// True when `part` is `whole` with some bytes left out.
bool IsSubsequence(const QByteArray& part, const QByteArray& whole) {
    qsizetype j = 0;
    for (qsizetype i = 0; i < whole.size() && j < part.size(); ++i) {
        if (whole[i] == part[j]) {
            ++j;
        }
    }
    return j == part.size();
}

struct Line {
    RelayProcess relay;
    PtyEnd program;
    PtyEnd instrument;

    explicit Line(const QStringList& arguments, const QString& configHome = QString())
        : relay(arguments, configHome) {}
    bool Open() {
        return relay.Start() && program.Open(relay.ProgramPath()) &&
               instrument.Open(relay.InstrumentPath());
    }
};

}  // namespace

class RelayTest : public QObject {
    Q_OBJECT
private slots:
    void passesEveryByteUnchanged_data() {
        QTest::addColumn<bool>("towardsInstrument");
        QTest::addColumn<QByteArray>("bytes");
        QTest::newRow("64 KiB to the instrument") << true << RandomBytes(64 * 1024, 3);
        QTest::newRow("line ends, NUL and SUB")
            << false << QByteArray("\r\n\0\x1a\x11\x13\r\r\n", 9).repeated(50);
    }
    void passesEveryByteUnchanged() {
        QFETCH(bool, towardsInstrument);
        QFETCH(QByteArray, bytes);
        Line line({"--seed", "1"});
        QVERIFY(line.Open());
        PtyEnd& from = towardsInstrument ? line.program : line.instrument;
        PtyEnd& to = towardsInstrument ? line.instrument : line.program;
        QCOMPARE(Pass(from, to, bytes, 1000), bytes);
    }

    void damagesAtTheGivenRate_data() {
        QTest::addColumn<QString>("fault");
        QTest::addColumn<bool>("towardsInstrument");
        QTest::newRow("drop to the instrument") << "drop" << true;
        QTest::newRow("flip to the program") << "flip" << false;
        QTest::newRow("dup to the instrument") << "dup" << true;
        QTest::newRow("insert to the program") << "insert" << false;
    }
    void damagesAtTheGivenRate() {
        QFETCH(QString, fault);
        QFETCH(bool, towardsInstrument);
        const QString direction = towardsInstrument ? "to-instrument" : "to-program";
        Line line({"--seed", "7", "--" + direction, fault + "=0.05"});
        QVERIFY(line.Open());
        const QByteArray sent = RandomBytes(kRateBytes, 11);
        PtyEnd& from = towardsInstrument ? line.program : line.instrument;
        PtyEnd& to = towardsInstrument ? line.instrument : line.program;
        const QByteArray got = Pass(from, to, sent);
        QCOMPARE(line.relay.Stop(), 0);

        const QString counted = fault == "drop"   ? "dropped"
                                : fault == "flip" ? "flipped"
                                : fault == "dup"  ? "duplicated"
                                                  : "inserted";
        const std::uint64_t faults = line.relay.Stat(direction, counted);
        QCOMPARE(line.relay.Stat(direction, "in"), std::uint64_t{kRateBytes});
        QCOMPARE(line.relay.Stat(direction, "out"), static_cast<std::uint64_t>(got.size()));
        QVERIFY2(faults > 750 && faults < 1250, qPrintable(QString::number(faults)));
        if (fault == "drop") {
            QCOMPARE(got.size(), kRateBytes - static_cast<qsizetype>(faults));
            QVERIFY(IsSubsequence(got, sent));
        } else if (fault == "flip") {
            QCOMPARE(got.size(), sent.size());
            std::uint64_t changed = 0;
            for (qsizetype i = 0; i < sent.size(); ++i) {
                if (got[i] != sent[i]) {
                    QCOMPARE(BitsDiffering(got[i], sent[i]), 1);
                    ++changed;
                }
            }
            QCOMPARE(changed, faults);
        } else {
            QCOMPARE(got.size(), kRateBytes + static_cast<qsizetype>(faults));
            QVERIFY(IsSubsequence(sent, got));
        }
        // The other direction stays clean.
        const QString other = towardsInstrument ? "to-program" : "to-instrument";
        QCOMPARE(line.relay.Stat(other, counted), std::uint64_t{0});
    }

    void replaysItsSeed_data() {
        QTest::addColumn<QString>("seed");
        QTest::addColumn<int>("pieces");
        QTest::addColumn<bool>("same");
        QTest::newRow("same seed, written in small pieces") << "42" << 50 << true;
        QTest::newRow("another seed") << "43" << 1 << false;
    }
    void replaysItsSeed() {
        QFETCH(QString, seed);
        QFETCH(int, pieces);
        QFETCH(bool, same);
        const QByteArray sent = RandomBytes(8000, 5);
        if (m_reference.isEmpty()) {
            m_reference = DamagedBy("42", sent, 1);
            QVERIFY(m_reference != sent);
        }
        QCOMPARE(DamagedBy(seed, sent, pieces) == m_reference, same);
    }

    void cutsTheLine_data() {
        QTest::addColumn<QStringList>("arguments");
        QTest::addColumn<bool>("towardsInstrument");
        QTest::addColumn<bool>("hangsUp");
        QTest::addColumn<QByteArray>("passes");  // what arrives before the cut
        const QByteArray frames = RandomBytes(1029 * 3, 9);
        const QByteArray words = "Program Flash (Y/N)?\r\nStart 1k XModem download...\r\nC";
        QTest::newRow("hang-up after 100 bytes to the instrument")
            << QStringList{"--cut", "to-instrument:100"} << true << true << frames.left(100);
        QTest::newRow("silent after 100 bytes to the instrument")
            << QStringList{"--cut", "to-instrument:100", "--cut-mode", "silent"} << true << false
            << frames.left(100);
        QTest::newRow("silent after a text to the program")
            << QStringList{"--cut-on", "to-program:download...\\r\\n", "--cut-mode", "silent"}
            << false << false << words.left(words.size() - 1);
        // The delay lets the text arrive before the hang-up.
        QTest::newRow("hang-up 200 ms after a text to the program")
            << QStringList{"--cut-on", "to-program:download...\\r\\n", "--cut-delay", "200"}
            << false << true << words;
    }
    void cutsTheLine() {
        QFETCH(QStringList, arguments);
        QFETCH(bool, towardsInstrument);
        QFETCH(bool, hangsUp);
        QFETCH(QByteArray, passes);
        Line line(arguments);
        QVERIFY(line.Open());
        if (towardsInstrument) {
            QCOMPARE(Pass(line.program, line.instrument, RandomBytes(1029 * 3, 9)), passes);
        } else {
            const QByteArray words = "Program Flash (Y/N)?\r\nStart 1k XModem download...\r\nC";
            QVERIFY(line.instrument.Write(words));
            QCOMPARE(line.program.Read(static_cast<int>(passes.size()), 1000), passes);
        }
        QVERIFY(line.relay.AwaitLine("CUT", 2000));
        QVERIFY(line.instrument.Write("late words\r\n"));
        if (hangsUp) {
            line.program.Read(1, 1000);
            QVERIFY(line.program.HungUp());
        } else {
            QVERIFY(line.program.Write("more"));
            QCOMPARE(line.program.Read(1, 300), QByteArray());
            QCOMPARE(line.instrument.Read(1, 300), QByteArray());
            QVERIFY(!line.program.HungUp());
        }
    }

    void cutsOnSignalAndComesBack() {
        QTemporaryDir config;
        Line line({"--alias", "COM7", "--replug-after", "200"}, config.path());
        QVERIFY(line.Open());
        const QString alias = config.path() + "/vantrel/ports/COM7";
        QCOMPARE(QFileInfo(alias).symLinkTarget(), line.relay.ProgramPath());

        line.relay.Signal(SIGUSR1);
        QVERIFY(line.relay.AwaitLine("CUT hangup", 2000));
        line.program.Read(1, 1000);
        QVERIFY(line.program.HungUp());

        const auto replug = line.relay.AwaitLine("REPLUG ", 2000);
        QVERIFY(replug);
        const QString path = replug->mid(7);
        QCOMPARE(QFileInfo(alias).symLinkTarget(), path);
        PtyEnd again;
        QVERIFY(again.Open(alias));
        QCOMPARE(Pass(again, line.instrument, "5"), QByteArray("5"));
        QCOMPARE(Pass(line.instrument, again, "Enter"), QByteArray("Enter"));

        QCOMPARE(line.relay.Stop(), 0);
        QVERIFY(!QFileInfo::exists(alias) && !QFileInfo(alias).isSymLink());
    }

    void delaysWithoutReordering() {
        Line line({"--to-program", "delay=300"});
        QVERIFY(line.Open());
        QElapsedTimer timer;
        timer.start();
        QVERIFY(line.instrument.Write("abc"));
        QVERIFY(line.instrument.Write("def"));
        const QByteArray first = line.program.Read(1, 2000);
        const qint64 latency = timer.elapsed();
        const QByteArray rest = line.program.Read(6 - static_cast<int>(first.size()), 2000);
        QCOMPARE(first + rest, QByteArray("abcdef"));
        QVERIFY2(latency >= 300 && latency < 1000, qPrintable(QString::number(latency)));
        // The other direction is not delayed.
        timer.restart();
        QCOMPARE(Pass(line.program, line.instrument, "x", 50), QByteArray("x"));
        QVERIFY(timer.elapsed() < 250);
    }

    void followsTheProgramsOpen() {
        PtyEnd simulator;
        QVERIFY(simulator.OpenMaster());
        RelayProcess relay({"--device", simulator.SlavePath(), "--follow-open"});
        QVERIFY(relay.Start());
        // Words of the instrument while no program listens are lost.
        QVERIFY(simulator.Write("unheard\r\n"));
        QTest::qWait(100);

        const int watch = inotify_init1(IN_NONBLOCK | IN_CLOEXEC);
        QVERIFY(watch >= 0);
        QVERIFY(inotify_add_watch(watch, QFile::encodeName(simulator.SlavePath()).constData(),
                                  IN_OPEN) >= 0);
        PtyEnd program;
        QVERIFY(program.Open(relay.ProgramPath()));
        QVERIFY(relay.AwaitLine("OPENED", 2000));
        // The relay opened the instrument's device anew for this program.
        pollfd p{watch, POLLIN, 0};
        QCOMPARE(poll(&p, 1, 2000), 1);
        close(watch);

        QVERIFY(simulator.Write("heard"));
        QCOMPARE(program.Read(5, 1000), QByteArray("heard"));
        QCOMPARE(Pass(program, simulator, "\r"), QByteArray("\r"));
        program.Close();
        QVERIFY(relay.AwaitLine("CLOSED", 2000));
    }

    void waitsWithoutSpinning_data() {
        QTest::addColumn<bool>("instrumentVanishes");
        QTest::newRow("program opens and closes its port") << false;
        QTest::newRow("the instrument's device goes away") << true;
    }
    void waitsWithoutSpinning() {
        QFETCH(bool, instrumentVanishes);
        PtyEnd simulator;  // stands in for the simulator's pty
        QVERIFY(simulator.OpenMaster());
        RelayProcess relay({"--device", simulator.SlavePath()});
        QVERIFY(relay.Start());
        PtyEnd program;
        for (int i = 0; i < 5; ++i) {
            QVERIFY(program.Open(relay.ProgramPath()));
            program.Close();
        }
        if (instrumentVanishes) {
            simulator.Close();
            QVERIFY(relay.AwaitLine("INSTRUMENT GONE", 2000));
        }
        const auto before = ProcessCpuMs(relay.Pid());
        QTest::qWait(1000);
        const auto after = ProcessCpuMs(relay.Pid());
        QVERIFY(before && after);
        QVERIFY2(*after - *before < 50, qPrintable(QString::number(*after - *before) + " ms"));
        QCOMPARE(relay.Stop(), 0);
    }

private:
    // `sent` through every fault at 1 % under `seed`, in `pieces` writes.
    static QByteArray DamagedBy(const QString& seed, const QByteArray& sent, int pieces) {
        Line line({"--seed", seed, "--drop", "0.01", "--flip", "0.01", "--dup", "0.01", "--insert",
                   "0.01"});
        if (!line.Open()) {
            return "(relay did not start)";
        }
        QByteArray got;
        const qsizetype step = (sent.size() + pieces - 1) / pieces;
        for (qsizetype i = 0; i < sent.size(); i += step) {
            line.program.Write(sent.mid(i, step));
            got += line.instrument.Read(1 << 20, 5);
        }
        return got + line.instrument.ReadUntilQuiet(200);
    }

    QByteArray m_reference;
};

QTEST_GUILESS_MAIN(RelayTest)
#include "test_relay.moc"
