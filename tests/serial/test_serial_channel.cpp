// The serial channel's timed reads, drain and delay on a fake port and a simulated clock;
// times are simulated milliseconds since the case began.
#include <QTest>

#include "fake_port.h"
#include "serial/serial_channel.h"
#include "serial/serial_timing.h"

using namespace vantrel;
using namespace vantrel::test;

namespace {

struct Arrival {
    quint64 atMs = 0;
    QByteArray bytes;
};
using Arrivals = QList<Arrival>;

// An expected ReadLine: result, ReceivedLine() and when it returned.
struct LineRead {
    int result = 0;
    QByteArray line;
    quint64 endMs = 0;
};
using LineReads = QList<LineRead>;

constexpr quint32 kFast = 1;
constexpr quint32 kSlow = serial_timing::kSlowModelFactor;

// A channel opened on a fake port at `startMs`, the opening's carriage return forgotten.
struct Rig {
    explicit Rig(quint64 startMs = 1'000'000) {
        clock.Set(startMs);
        start = clock.NowMs();
        channel.OpenPort("/dev/ttyUSB0");
        port.ClearWrites();
    }
    void Schedule(const Arrivals& arrivals) {
        for (const auto& a : arrivals) {
            port.ArriveAt(FakePort::Bytes(a.bytes.begin(), a.bytes.end()), start + a.atMs);
        }
    }
    quint64 Elapsed() { return clock.NowMs() - start; }

    SimClock clock;
    FakePort port{clock};
    SerialChannel channel{port, clock};
    quint64 start = 0;
};

// A steady stream: one byte every `everyMs` from `fromMs` until `untilMs`.
Arrivals Babble(quint64 fromMs, quint64 everyMs, quint64 untilMs) {
    Arrivals out;
    for (quint64 t = fromMs; t <= untilMs; t += everyMs) {
        out.append({t, QByteArray(1, 'x')});
    }
    return out;
}

}  // namespace

Q_DECLARE_METATYPE(Arrival)
Q_DECLARE_METATYPE(LineRead)

class SerialChannelTest : public QObject {
    Q_OBJECT
private slots:

    void readLine_data() {
        QTest::addColumn<quint64>("clockStart");
        QTest::addColumn<quint32>("factor");
        QTest::addColumn<Arrivals>("arrivals");
        QTest::addColumn<LineReads>("reads");

        const quint64 normal = 1'000'000;
        QTest::newRow("CR LF: the line at the CR; the lone LF left gives nothing at the deadline")
            << normal << kFast << Arrivals{{5, "hello\r\n"}}
            << LineReads{{0, "hello", 5}, {1, "", 5 + 2001}};
        QTest::newRow("blank lines are never returned")
            << normal << kFast << Arrivals{{0, "\r\n\r\r\n\n"}, {300, "Download OK\r\n"}}
            << LineReads{{0, "Download OK", 300}};
        QTest::newRow("NUL bytes add nothing; 0x1A and high bytes are ordinary characters")
            << normal << kFast << Arrivals{{1, QByteArray("\0Y\0es\x1A\xFF\x80\0\r", 10)}}
            << LineReads{{0, "Yes\x1A\xFF\x80", 1}};
        QTest::newRow("prompt without line end on the slow boot loader")
            << normal << kSlow << Arrivals{{40, ">"}} << LineReads{{0, ">", 8001}};
        QTest::newRow("a byte at the limit is read, one just after it waits for the next read")
            << normal << kFast << Arrivals{{100, "ab"}, {2000, "c"}, {2001, "d\r"}}
            << LineReads{{0, "abc", 2001}, {0, "d", 2001}};
        QTest::newRow("no early end where a 32-bit tick counter wraps")
            << quint64{0xFFFFFFFFull - 10} << kFast << Arrivals{{1500, ">"}}
            << LineReads{{0, ">", 2001}};
    }
    void readLine() {
        QFETCH(quint64, clockStart);
        QFETCH(quint32, factor);
        QFETCH(Arrivals, arrivals);
        QFETCH(LineReads, reads);

        Rig rig(clockStart);
        rig.channel.SetTimeoutFactor(factor);
        rig.Schedule(arrivals);
        for (int i = 0; i < reads.size(); ++i) {
            const auto& want = reads[i];
            const std::uint8_t got = rig.channel.ReadLine(2000);
            QVERIFY2(got == want.result, qPrintable(QString("read %1 gave %2").arg(i).arg(got)));
            QCOMPARE(QByteArray::fromStdString(rig.channel.ReceivedLine()), want.line);
            QCOMPARE(rig.Elapsed(), want.endMs);
        }
        // Waiting blocks in the port once per arrival or deadline, never spins.
        QVERIFY2(rig.port.WaitCalls() <= quint64(2 * (arrivals.size() + reads.size())),
                 qPrintable(QString::number(rig.port.WaitCalls())));
    }

    // NUL is a byte, not a time-out; bytes come in order, each as soon as it is there.
    void readByte() {
        Rig rig;
        rig.Schedule({{10, "\x06\x15"}, {20, "C"}, {30, QByteArray(1, '\0')}});
        QByteArray got;
        for (ByteRead read; !(read = rig.channel.ReadByte(1000)).TimedOut();) {
            got.append(static_cast<char>(read.byte));
        }
        QCOMPARE(got, QByteArray("\x06\x15\x43\x00", 4));
        QCOMPARE(rig.Elapsed(), quint64{30 + 1001});
        QVERIFY(rig.port.WaitCalls() <= 10);
    }

    void drain_data() {
        QTest::addColumn<quint32>("factor");
        QTest::addColumn<Arrivals>("arrivals");
        QTest::addColumn<quint64>("endMs");
        QTest::addColumn<int>("leftOver");  // bytes still scheduled after the drain

        QTest::newRow("a gap just under the quiet period does not end it")
            << kFast << Arrivals{{1000, "C"}, {2000, "C"}} << quint64{2000 + 1001} << 0;
        QTest::newRow("never quiet on the slow boot loader: bounded at 40 s")
            << kSlow << Babble(100, 3'000, 90'000) << quint64{40'001} << 16;
    }

    void drain() {
        QFETCH(quint32, factor);
        QFETCH(Arrivals, arrivals);
        Rig rig;
        rig.channel.SetTimeoutFactor(factor);
        rig.Schedule(arrivals);
        rig.channel.Drain();
        QTEST(rig.Elapsed(), "endMs");
        QTEST(int(rig.port.PendingCount()), "leftOver");
        QVERIFY(rig.port.Writes().empty());
        QVERIFY(rig.port.WaitCalls() <= quint64(2 * arrivals.size() + 4));
    }

    // 20 ms on the slow boot loader.
    void delayIsNotScaledAndLeavesInputAlone() {
        Rig rig;
        rig.channel.SetTimeoutFactor(kSlow);
        rig.Schedule({{0, "\t\t"}, {5, "\t\r"}});
        rig.channel.Delay(20);
        QCOMPARE(rig.Elapsed(), quint64{21});
        QCOMPARE(quint64{rig.clock.SleptMs()}, quint64{21});
        QCOMPARE(int(rig.port.PendingCount()), 4);
    }

    void failingPortEndsWaitAtOnce_data() {
        QTest::addColumn<QString>("operation");
        QTest::addColumn<bool>("closeInstead");
        for (const char* op : {"ReadLine", "Drain"}) {
            QTest::addRow("%s: adapter pulled mid-wait", op) << QString(op) << false;
            QTest::addRow("%s: port closed", op) << QString(op) << true;
        }
    }

    void failingPortEndsWaitAtOnce() {
        QFETCH(QString, operation);
        QFETCH(bool, closeInstead);

        Rig rig;
        rig.channel.SetTimeoutFactor(kSlow);
        if (closeInstead) {
            rig.port.Close();
        } else {
            rig.port.FailIn(1'234, "The device is gone");
        }
        // Input arrives later but must not be waited for.
        rig.Schedule({{5'000, "late\r\n"}});

        if (operation == "ReadLine") {
            QCOMPARE(rig.channel.ReadLine(2000), std::uint8_t{1});
            QVERIFY(rig.channel.ReceivedLine().empty());
        } else {
            rig.channel.Drain();
        }
        QCOMPARE(rig.Elapsed(), quint64{closeInstead ? 0u : 1'234u});
        QCOMPARE(rig.channel.PortFailed(), !closeInstead);
        QCOMPARE(rig.channel.LastError(), std::string(closeInstead ? "" : "The device is gone"));
        QVERIFY(rig.port.WaitCalls() <= 2);
    }

    void openPort() {
        SimClock clock;
        FakePort port(clock);
        SerialChannel channel(port, clock);
        port.Refuse("/dev/ttyUSB0", "the port is in use by another program");
        QVERIFY(!channel.OpenPort("/dev/ttyUSB0"));
        QCOMPARE(channel.LastError(), std::string("the port is in use by another program"));
        QVERIFY(port.Writes().empty());
        // Nothing is open, so a read ends at once instead of waiting on nothing.
        QCOMPARE(channel.ReadLine(2000), std::uint8_t{1});
        QCOMPARE(clock.NowMs(), quint64{1'000'000});

        QVERIFY(channel.OpenPort("/dev/ttyS0"));
        port.ClearWrites();
        channel.SetTimeoutFactor(kSlow);
        port.SetReceiveNotification(false);
        port.Arrive("\n\n\r\rstale");
        const int opens = port.OpenCount();
        // Reopening closes the old port, drops stale input, listens again and wakes the boot
        // loader with exactly one carriage return.
        QVERIFY(channel.OpenPort("/dev/ttyUSB1"));
        QCOMPARE(port.Device(), std::string("/dev/ttyUSB1"));
        QCOMPARE(port.OpenCount(), opens + 1);
        QCOMPARE(port.PendingCount(), std::size_t{0});
        QVERIFY(port.ReceiveNotificationArmed());
        QCOMPARE(port.WrittenText(), std::string("\r"));
        QCOMPARE(port.Writes().size(), std::size_t{1});
    }
};

QTEST_GUILESS_MAIN(SerialChannelTest)
#include "test_serial_channel.moc"
