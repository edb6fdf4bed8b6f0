// The real port over a pseudo-terminal pair, the test playing the instrument; real-time
// waits are kept to a few hundred milliseconds.
#include <termios.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QElapsedTimer>
#include <QTemporaryFile>
#include <QTest>
#include <numeric>
#include <thread>

#include "line_rig.h"
#include "serial/qt_serial_port.h"
#include "serial/serial_channel.h"

using namespace vantrel;
using namespace vantrel::test;

namespace {

// Generous real-time bounds: these catch hangs, not slowness.
constexpr int kArriveMs = 1000;
constexpr qint64 kAtOnceMs = 1000;

// A pty pair with the real port opened on its program side.
struct Line {
    Pty peer;
    QtSerialPort port;
    bool Open() { return peer.OpenMaster() && port.Open(peer.SlavePath().toStdString()); }
};

// Everything the port receives until `count` bytes have come or time runs out.
QByteArray TakeAll(QtSerialPort& port, qsizetype count) {
    QByteArray got;
    const QDeadlineTimer deadline(kArriveMs);
    while (got.size() < count && !deadline.hasExpired()) {
        port.WaitForInput(100, nullptr);
        while (const auto byte = port.Take()) {
            got.append(static_cast<char>(*byte));
        }
    }
    return got;
}

// Waits (blocking in the port) until `count` bytes are waiting, without taking them.
bool AwaitWaiting(QtSerialPort& port, std::size_t count) {
    const QDeadlineTimer deadline(kArriveMs);
    while (port.Waiting() < count && !deadline.hasExpired()) {
        port.WaitForInput(20, nullptr);
    }
    return port.Waiting() >= count;
}

}  // namespace

class QtSerialPortTest : public QObject {
    Q_OBJECT
    std::unique_ptr<Line> m_line;  // each test's own

private slots:
    void init() {
        m_line = std::make_unique<Line>();
        QVERIFY2(m_line->Open(), m_line->port.ErrorText().c_str());
    }
    void cleanup() { m_line.reset(); }

    void lineSettings() {
        auto& [peer, port] = *m_line;
        // On Linux the master side of a pseudo-terminal reports the settings of the port side.
        termios settings{};
        QCOMPARE(::tcgetattr(peer.Fd(), &settings), 0);
        // 8N1, no flow control, receiver on, modem status ignored.
        QCOMPARE(settings.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS | CREAD | CLOCAL),
                 tcflag_t(CS8 | CREAD | CLOCAL));
        // No XON/XOFF, no CR/LF translation, 8 bits kept, no break or parity marks.
        QCOMPARE(settings.c_iflag &
                     (IXON | IXOFF | IXANY | ICRNL | INLCR | IGNCR | ISTRIP | PARMRK | BRKINT),
                 tcflag_t(0));
        QCOMPARE(settings.c_oflag & OPOST, tcflag_t(0));
        // No line editing, echo or signals.
        QCOMPARE(settings.c_lflag & (ICANON | ECHO | ISIG | IEXTEN), tcflag_t(0));
        QCOMPARE(::cfgetispeed(&settings), speed_t(B38400));
        QCOMPARE(::cfgetospeed(&settings), speed_t(B38400));
        // A pseudo-terminal has no low-latency flag: the request is skipped, the open stands.
        QVERIFY(port.IsOpen() && !port.LowLatency().has_value());
    }

    // Both ways; no event loop runs here, as on the command line: the port moves the bytes.
    void bytesPassUnchanged() {
        QByteArray bytes(1029, '\0');  // a whole XModem-1K frame holding every byte value
        std::iota(bytes.begin(), bytes.end(), '\0');
        auto& [peer, port] = *m_line;
        QVERIFY(port.Write(reinterpret_cast<const std::uint8_t*>(bytes.constData()),
                           static_cast<std::size_t>(bytes.size())));
        QCOMPARE(peer.Read(bytes.size(), kArriveMs), bytes);

        // Stale input is thrown away, and nothing of what comes after it.
        QVERIFY(peer.Write("\n\n\r\rstale"));
        QVERIFY(AwaitWaiting(port, 9));
        port.DiscardInput();
        QCOMPARE(port.Waiting(), std::size_t{0});
        QVERIFY(peer.Write(bytes));
        QCOMPARE(TakeAll(port, bytes.size()), bytes);
        QCOMPARE(port.Waiting(), std::size_t{0});
        QVERIFY(!port.HasFailed());
    }

    void openFailureSaysWhy_data() {
        QTest::addColumn<QString>("expected");
        QTest::newRow("missing") << "there is no such device";
        QTest::newRow("file") << "it is not a serial port";
        QTest::newRow("busy") << "in use by another program";
        QTest::newRow("rights") << "\"dialout\" group";
    }

    void openFailureSaysWhy() {
        const QString kind = QTest::currentDataTag();
        QFETCH(QString, expected);
        Pty peer;
        QVERIFY(peer.OpenMaster());
        QTemporaryFile file;
        QVERIFY(file.open());
        const std::string device = kind == "missing" ? "/dev/ttyUSB-vantrel-absent"
                                   : kind == "file"  ? file.fileName().toStdString()
                                                     : peer.SlavePath().toStdString();
        QtSerialPort holder;
        QtSerialPort port;
        QVERIFY(kind != "busy" || holder.Open(device));
        QString text;
        if (kind == "rights") {
            if (::geteuid() != 0) {
                QSKIP("needs root to act as another user");
            }
            // A pseudo-terminal belongs to its creator and is not open to others.
            text = AsNobody([&] { return port.Open(device) ? "opened" : port.ErrorText(); });
        } else {
            QVERIFY(!port.Open(device));
            QVERIFY(!port.IsOpen() && !port.HasFailed());
            const std::uint8_t cr = '\r';
            QVERIFY(!port.Write(&cr, 1));
            QElapsedTimer timer;
            timer.start();
            QVERIFY(!port.WaitForInput(5000, nullptr) && timer.elapsed() < kAtOnceMs);
            text = QString::fromStdString(port.ErrorText());
        }
        QVERIFY2(text.contains(expected), qPrintable(text));
        QVERIFY2(text.contains(QString::fromStdString(device)), qPrintable(text));
    }

    // A hang-up during a blocking read, then one before a write: each fails the port at once.
    void hangUpFailsPort() {
        auto& [peer, port] = *m_line;
        SteadyClock clock;
        SerialChannel channel(port, clock);
        const auto failedForHangUp = [&port] {
            const QString text = QString::fromStdString(port.ErrorText());
            return port.HasFailed() && port.IsOpen() && port.Waiting() == 0 &&
                   text.contains("stopped working") && text.contains("hung up");
        };
        std::thread hangUp([&peer] {
            std::this_thread::sleep_for(std::chrono::milliseconds(300));
            peer.HangUp();
        });
        QElapsedTimer timer;
        timer.start();
        const std::uint64_t cpuBefore = CpuMs();
        QCOMPARE(channel.ReadLine(5000), std::uint8_t{1});
        const qint64 took = timer.elapsed();
        // The read waits asleep in the port until the hang-up, not spinning.
        const std::uint64_t cpuUsed = CpuMs() - cpuBefore;
        hangUp.join();
        QVERIFY2(took < kAtOnceMs, qPrintable(QString::number(took)));
        QVERIFY2(cpuUsed < 100, qPrintable(QString::number(cpuUsed)));
        QVERIFY2(failedForHangUp(), port.ErrorText().c_str());

        // Every later wait ends at once too, and choosing a port again clears the failure.
        timer.restart();
        QVERIFY(channel.ReadByte(3000).TimedOut());
        QVERIFY(timer.elapsed() < kAtOnceMs);
        Pty another;
        QVERIFY(another.OpenMaster());
        QVERIFY(channel.OpenPort(another.SlavePath().toStdString()));
        QVERIFY(!port.HasFailed());
        QCOMPARE(another.Read(1, kArriveMs), QByteArray("\r"));

        another.HangUp();
        timer.restart();
        channel.SendText("5");
        QVERIFY(timer.elapsed() < kAtOnceMs);
        QVERIFY2(failedForHangUp(), port.ErrorText().c_str());
    }

    void hangUpInEventLoopReleasesDevice() {
        auto& [peer, port] = *m_line;
        int calls = 0;
        port.SetReceiveHandler([&calls] { ++calls; });
        port.SetReceiveNotification(true);
        peer.HangUp();
        QTRY_VERIFY_WITH_TIMEOUT(port.HasFailed(), kArriveMs);
        // A dead descriptor left with Qt would keep waking the event loop, burning a processor.
        const std::uint64_t cpuBefore = CpuMs();
        QTest::qWait(200);
        const std::uint64_t cpuUsed = CpuMs() - cpuBefore;
        QVERIFY2(cpuUsed < 100, qPrintable(QString::number(cpuUsed)));
        QCOMPARE(calls, 0);
    }

    // A line that takes nothing (its other end is never read): the write gives up within
    // its bound, asleep meanwhile, and the failed port lets its device go at once, without
    // the event loop, so that a replugged adapter gets its name back.
    void writeNeverTakenFailsAndReleases() {
        auto& [peer, port] = *m_line;
        const QByteArray flood(64 * 1024, 'x');  // more than the pty's buffers hold
        QElapsedTimer timer;
        timer.start();
        const std::uint64_t cpuBefore = CpuMs();
        QVERIFY(!port.Write(reinterpret_cast<const std::uint8_t*>(flood.constData()),
                            static_cast<std::size_t>(flood.size())));
        const std::uint64_t cpuUsed = CpuMs() - cpuBefore;
        QVERIFY2(timer.elapsed() >= 5000 && timer.elapsed() < 5000 + kAtOnceMs,
                 qPrintable(QString::number(timer.elapsed())));
        QVERIFY2(cpuUsed < 200, qPrintable(QString::number(cpuUsed)));
        QVERIFY(port.HasFailed());
        QVERIFY(peer.OpenedAndClosed());
    }

    // Bytes waiting before arming are reported, a handler that leaves some behind is called
    // again, and disarming ends the calls; armed again, what still waits is reported at once.
    void receiveNotification() {
        auto& [peer, port] = *m_line;
        int called = 0;
        port.SetReceiveHandler([&] {
            port.Take();
            port.Take();
            if (++called == 2) {
                port.SetReceiveNotification(false);
            }
        });
        QVERIFY(peer.Write("\n\n\r\r>"));
        QVERIFY(AwaitWaiting(port, 5));
        port.SetReceiveNotification(true);
        // Delivered from the event loop, never from inside the call that armed it.
        QCOMPARE(called, 0);
        QTRY_COMPARE_WITH_TIMEOUT(called, 2, kArriveMs);
        QTest::qWait(100);  // room for a call that should not come
        QCOMPARE(called, 2);
        QCOMPARE(port.Waiting(), std::size_t{1});
        port.SetReceiveNotification(true);
        QTRY_COMPARE_WITH_TIMEOUT(called, 3, kArriveMs);
    }

    void notificationNeverInsideARead() {
        auto& [peer, port] = *m_line;
        SteadyClock clock;
        SerialChannel channel(port, clock);
        int depth = 0;
        int deepest = 0;
        int called = 0;
        std::string lineInHandler;
        std::thread latePeer;
        port.SetReceiveHandler([&] {
            ++called;
            deepest = std::max(deepest, ++depth);
            if (called == 1) {
                channel.TakeInput();
                // More arrives while this handler is reading: it must not be reported now.
                latePeer = std::thread([&peer] {
                    std::this_thread::sleep_for(std::chrono::milliseconds(30));
                    peer.Write(">\r\nxy");
                });
                channel.ReadLine(500);
                lineInHandler = channel.ReceivedLine();
            } else {
                while (channel.TakeInput()) {
                }
            }
            --depth;
        });
        port.SetReceiveNotification(true);
        QVERIFY(peer.Write("\r"));
        QTRY_VERIFY_WITH_TIMEOUT(called >= 2, kArriveMs);
        latePeer.join();
        QCOMPARE(deepest, 1);
        QCOMPARE(lineInHandler, std::string(">"));
        QCOMPARE(port.Waiting(), std::size_t{0});
    }
};

QTEST_GUILESS_MAIN(QtSerialPortTest)
#include "test_qt_serial_port.moc"
