// The XModem-1K sender against a scripted receiver on a fake port and a simulated clock.
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <memory>

#include "fake_port.h"
#include "images.h"
#include "recording_display.h"
#include "serial/serial_channel.h"
#include "session/results.h"
#include "session/xmodem.h"
#include "sim_clock.h"
#include "xmodem_peer.h"

using namespace vantrel;
using namespace vantrel::test;

namespace {

constexpr int kBlock = 1024;

struct Rig {
    SimClock clock;
    FakePort port{clock};
    StopSignal stop;  // Ctrl-C, SIGTERM
    SerialChannel channel{port, clock, &stop};
    RecordingDisplay display;
    XModemSender sender{channel, display};
    ScriptedReceiver receiver{port, clock};
    const std::uint64_t start = clock.NowMs();

    Rig() { port.Open("/dev/ttyS0"); }
    std::int32_t Send(ImageReader& image, std::int64_t size, const QString& signal = "C") {
        receiver.Send(signal, ScriptedReceiver::kAnswerDelayMs);
        return sender.SendFile(image, size);
    }
};

QString RepeatsText(const TransferReport& report) {
    QStringList parts;
    for (const auto& [block, repeats] : report.repeatsPerBlock) {
        parts << QStringLiteral("%1:%2").arg(block).arg(repeats);
    }
    return parts.join(QLatin1Char(' '));
}

}  // namespace

class XModemSenderTest : public QObject {
    Q_OBJECT
private slots:
    void crc() {
        const QByteArray check("123456789");
        QCOMPARE(ComputeCrc16(reinterpret_cast<const std::uint8_t*>(check.constData()), 9), 0x31C3);
    }

    void frames_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<bool>("crc");  // the receiver asks with C, or else with NAK
        QTest::addColumn<QString>("writes");
        QTest::addColumn<int>("result");
        QTest::newRow("crc empty file") << 0 << true << "E" << 0;
        QTest::newRow("crc 1024 bytes") << 1024 << true << "F1 E" << 1024;
        QTest::newRow("crc 1023 bytes") << 1023 << true << "F1 E" << 1024;
        QTest::newRow("crc 1025 bytes") << 1025 << true << "F1 F2 E" << 2048;
        QTest::newRow("sum 1025 bytes") << 1025 << false << "F1 F2 E" << 2048;
        QStringList wrap;
        for (int n = 1; n <= 257; ++n) {
            wrap << QStringLiteral("F%1").arg(n & 0xFF);
        }
        QTest::newRow("crc 257 blocks: numbers wrap")
            << 257 * kBlock << true << wrap.join(' ') + " E" << 257 * kBlock;
    }
    void frames() {
        QFETCH(int, size);
        QFETCH(bool, crc);
        const QByteArray image = RandomImage(size);
        MemoryImage reader(image);
        Rig rig;
        QTEST(rig.Send(reader, size, crc ? "C" : "N"), "result");
        QTEST(rig.receiver.Summary(), "writes");
        QCOMPARE(rig.sender.Report().crcMode, crc);
        // The blocks' data, padded; the check bytes are left to lrzsz's rx on the real line.
        QByteArray sent;
        for (const auto& frame : rig.receiver.Frames()) {
            sent.append(reinterpret_cast<const char*>(frame.data()) + 3, kBlock);
        }
        QCOMPARE(sent, Padded(image));
    }

    // A block goes out again at once after a NAK, and only after the full wait on silence. The
    // receiver's chatter after the sender's last word is drained before the sender returns.
    void answers_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<QString>("writes");
        QTest::addColumn<int>("result");
        QTest::addColumn<QString>("repeats");  // block:repeats of the report
        QTest::addColumn<int>("gapMs");        // from the first write to the second

        const int now = int(ScriptedReceiver::kAnswerDelayMs);
        QTest::newRow("NAK: the same frame again, chatter after the last ACK")
            << 2048 << QStringList{"A", "N", "A", "A+"} << "F1 F2*2 E" << 2048 << "2:1" << now;
        QTest::newRow("25 NAKs: three CAN") << 1024 << QStringList(25, "N") << "F1*25 X*3"
                                            << result::kBlockNotAcknowledged << "1:24" << now;
        QTest::newRow("silence: after 1000 ms")
            << 1024 << QStringList{"-"} << "F1*2 E" << 1024 << "1:1" << 1001;
        QTest::newRow("lone CAN: after the 1000 ms for a second one")
            << 1024 << QStringList{"X"} << "F1*2 E" << 1024 << "1:1" << now + 1001;
        QTest::newRow("CAN then NAK: both taken, frame again")
            << 1024 << QStringList{"XN"} << "F1*2 E" << 1024 << "1:1" << now;
        QTest::newRow("CAN CAN after block 2: one ACK")
            << 3072 << QStringList{"A", "XX"} << "F1 F2 A" << result::kReceiverCancelled << ""
            << now;
        QTest::newRow("ACK CAN CAN in one burst: the clearing keeps the cancel")
            << 2048 << QStringList{"AXX"} << "F1 A" << result::kReceiverCancelled << "" << now;
        QTest::newRow("ACK, lone CAN and noise: thrown away")
            << 2048 << QStringList{"AX?X"} << "F1 F2 E" << 2048 << "" << now;
        QTest::newRow("CAN to every EOT is no cancel")
            << 1024 << (QStringList{"A"} + QStringList(10, "XX")) << "F1 E*10"
            << result::kEndNotAcknowledged << "" << now;
    }
    void answers() {
        QFETCH(int, size);
        QFETCH(QStringList, answers);
        MemoryImage reader(RandomImage(size));
        Rig rig;
        rig.receiver.SetAnswers(answers);
        QTEST(rig.Send(reader, size), "result");
        QTEST(rig.receiver.Summary(), "writes");
        QTEST(RepeatsText(rig.sender.Report()), "repeats");
        QTEST(rig.sender.Report().result, "result");
        QCOMPARE(rig.sender.Report().framesSent, qint64(rig.receiver.Frames().size()));
        QCOMPARE(rig.port.PendingCount(), std::size_t(0));
        const auto& w = rig.receiver.Writes();
        QTEST(int(w[1].at - w[0].at), "gapMs");

        // A repeated frame is the same frame.
        const auto frames = rig.receiver.Frames();
        for (std::size_t i = 1; i < frames.size(); ++i) {
            if (frames[i][1] == frames[i - 1][1]) {
                QVERIFY(frames[i] == frames[i - 1]);
            }
        }
    }

    // A stop or a port that fails ends the transfer at once, whatever it was waiting for: no
    // frame goes out or is counted after it, and the result tells it apart from a receiver
    // that never answered. After a stop the receiver is still cancelled and the line drained.
    void lineGoesAway_data() {
        QTest::addColumn<bool>("stopped");  // else the port fails
        QTest::addColumn<QString>("start");  // the receiver's start signal
        QTest::addColumn<int>("atMs");
        QTest::addColumn<QString>("writes");
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("endsAtMs");

        QTest::newRow("stopped while block 3 waits for its answer")
            << true << "C" << 500 << "F1 F2 F3 X*3" << result::kInterrupted << 1501;
        QTest::newRow("port fails while block 3 waits for its answer")
            << false << "C" << 500 << "F1 F2 F3" << result::kPortFailed << 500;
        QTest::newRow("stopped in the start handshake")
            << true << "" << 3000 << "X*3" << result::kInterrupted << 4001;
        QTest::newRow("port fails in the start handshake")
            << false << "" << 3000 << "" << result::kPortFailed << 3000;
    }
    void lineGoesAway() {
        QFETCH(bool, stopped);
        QFETCH(int, atMs);
        MemoryImage reader(RandomImage(5 * kBlock));
        Rig rig;
        rig.receiver.SetAnswers({"A", "A", "-"});
        if (stopped) {
            rig.port.StopIn(rig.stop, static_cast<std::uint64_t>(atMs));
        } else {
            rig.port.FailIn(static_cast<std::uint64_t>(atMs));
        }
        QFETCH(QString, start);
        QTEST(rig.Send(reader, 5 * kBlock, start), "result");
        QTEST(rig.receiver.Summary(), "writes");
        QCOMPARE(rig.sender.Report().framesSent, qint64(rig.receiver.Frames().size()));
        QVERIFY(rig.sender.Report().repeatsPerBlock.empty());
        QTEST(int(rig.clock.NowMs() - rig.start), "endsAtMs");
    }

    void handshake_data() {
        QTest::addColumn<QStringList>("arrivals");  // "ms:token", from the call on
        QTest::addColumn<int>("factor");            // time-out factor of the model
        QTest::addColumn<QString>("writes");
        QTest::addColumn<int>("result");
        QTest::addColumn<int>("firstWriteMs");  // time of the first write, from the call on

        QTest::newRow("noise fails a try, the next try clears input")
            << QStringList{"10:?C", "3000:N"} << 1 << "F1 E" << kBlock << 3000;
        QTest::newRow("lone CAN is no cancel")
            << QStringList{"10:X", "3000:C"} << 1 << "F1 E" << kBlock << 3000;
        QTest::newRow("CAN CAN on model 2: second CAN within 4000 ms")
            << QStringList{"10:X", "3500:X"} << 4 << "A" << result::kReceiverCancelled << 3500;
        QTest::newRow("silent line on model 2: 16 tries of 24 s")
            << QStringList() << 4 << "X*3" << result::kNoStartSignal << 384016;
    }
    void handshake() {
        QFETCH(QStringList, arrivals);
        QFETCH(int, factor);
        MemoryImage reader(RandomImage(kBlock));
        Rig rig;
        rig.channel.SetTimeoutFactor(std::uint32_t(factor));
        for (const QString& arrival : arrivals) {
            const auto parts = arrival.split(QLatin1Char(':'));
            rig.receiver.Send(parts[1], parts[0].toULongLong());
        }
        QTEST(rig.sender.SendFile(reader, kBlock), "result");
        QTEST(rig.receiver.Summary(), "writes");
        QTEST(int(rig.receiver.Writes().front().at - rig.start), "firstWriteMs");
        QCOMPARE(rig.sender.Report().started, rig.receiver.Summary().startsWith('F'));
        // Waiting blocks in the port; it never spins.
        QVERIFY2(rig.port.WaitCalls() < 200, qPrintable(QString::number(rig.port.WaitCalls())));
    }

    // One display update per cycle, never one per repeat.
    void progress_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<int>("range");
        QTest::addColumn<QStringList>("percents");  // the title's number, per cycle

        QTest::newRow("empty file: complete at once")
            << 0 << QStringList() << 0 << QStringList{"100"};
        QTest::newRow("1025 bytes: 99.9 shows as 100")
            << 1025 << QStringList() << 1 << QStringList{" 0", "100", "100"};
        QTest::newRow("10 blocks with repeats")
            << 10240 << QStringList{"N", "N", "A", "-", "A"} << 10
            << QStringList{" 0", "10", "20", "30", "40", "50", "60", "70", "80", "90", "100"};
        QTest::newRow("cancelled in block 2: no closing cycle")
            << 3072 << QStringList{"A", "XX"} << 3 << QStringList{" 0", "33"};
    }
    void progress() {
        QFETCH(int, size);
        QFETCH(QStringList, answers);
        QFETCH(QStringList, percents);
        MemoryImage reader(RandomImage(size));
        Rig rig;
        rig.receiver.SetAnswers(answers);
        rig.Send(reader, size);

        std::vector<std::string> titles;
        for (const QString& p : percents) {
            titles.push_back("Vantrel " + p.toStdString() + "% Sent");
        }
        QCOMPARE(rig.display.LogOf("title:"), titles);
        QTEST(rig.display.ProgressHigh(), "range");
    }

    // The image fails or ends early (or its length cannot be sent): cancelled, never a success. A
    // read-ahead failure still waits for the current block's outcome.
    void imageFailure_data() {
        QTest::addColumn<qint64>("size");       // the length the caller took
        QTest::addColumn<qint64>("available");  // bytes the image really holds
        QTest::addColumn<qint64>("failAt");     // read error at this offset; -1 none
        QTest::addColumn<QStringList>("answers");
        QTest::addColumn<QString>("writes");
        QTest::addColumn<int>("result");
        const int readError = result::kImageReadError;

        QTest::newRow("read error in block 1")
            << 4096LL << 4096LL << 0LL << QStringList() << "X*3" << readError;
        QTest::newRow("read error in block 2")
            << 4096LL << 4096LL << 1500LL << QStringList() << "F1 X*3" << readError;
        QTest::newRow("one byte short")
            << 2048LL << 2047LL << -1LL << QStringList() << "F1 X*3" << readError;
        QTest::newRow("read error in block 2, block 1 never acknowledged")
            << 4096LL << 4096LL << 1500LL << QStringList(25, "N") << "F1*25 X*3"
            << result::kBlockNotAcknowledged;
        // The count must fit the signed 32-bit result: 2 GiB - 1024 does, 2 GiB - 1023 does not.
        QTest::newRow("2 GiB - 1024: fits, sent until the receiver cancels")
            << (qint64(1) << 31) - 1024 << 2048LL << -1LL << QStringList{"XX"} << "F1 A"
            << result::kReceiverCancelled;
        QTest::newRow("2 GiB - 1023: rounds up to 2 GiB")
            << (qint64(1) << 31) - 1023 << 0LL << -1LL << QStringList() << ""
            << result::kImageTooLarge;
        QTest::newRow("negative length: unreadable")
            << -1LL << 0LL << -1LL << QStringList() << "" << readError;
    }
    void imageFailure() {
        QFETCH(qint64, size);
        QFETCH(qint64, available);
        QFETCH(qint64, failAt);
        QFETCH(QStringList, answers);
        QFETCH(int, result);
        MemoryImage reader(RandomImage(available), failAt);
        Rig rig;
        rig.receiver.SetAnswers(answers);
        QCOMPARE(rig.Send(reader, size), result);
        QTEST(rig.receiver.Summary(), "writes");
        QCOMPARE(rig.port.PendingCount(), std::size_t(0));  // the start signal too is drained
        QCOMPARE(rig.sender.Report().imageError.empty(),
                 result != result::kImageReadError && result != result::kImageTooLarge);
        if (result == result::kReceiverCancelled) {  // the range of a 2 GiB image
            QCOMPARE(rig.display.ProgressHigh(), (1 << 21) - 1);
        }
    }

    void fileReadError() {
        // A directory opens as a stream on Linux, and every read of it fails.
        QTemporaryDir dir;
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
            std::fopen(dir.path().toLocal8Bit().constData(), "rb"), &std::fclose);
        QVERIFY(file);
        FileImageReader reader(file.get());
        Rig rig;
        QCOMPARE(rig.Send(reader, 4096), result::kImageReadError);
        QCOMPARE(rig.receiver.Summary(), QStringLiteral("X*3"));
        QVERIFY(reader.Failed());
        QVERIFY(!reader.ErrorText().empty());
        QVERIFY(rig.sender.Report().imageError.find(reader.ErrorText()) != std::string::npos);
    }

    // XModem's answers carry no block number: a repeated or late ACK can pass for the next
    // frame's. The sender may fail then, but a success must mean the receiver holds it all.
    void staleAnswers_data() {
        QTest::addColumn<int>("blocks");
        QTest::addColumn<int>("answerTo");  // the block whose ACK is repeated, or late
        QTest::addColumn<int>("lateMs");    // 0: repeated
        QTest::addColumn<int>("spoiled");
        QTest::newRow("ACK repeated, next block spoiled") << 4 << 1 << 0 << 2;
        QTest::newRow("ACK repeated, last block spoiled") << 3 << 2 << 0 << 3;
        QTest::newRow("ACK late, last block spoiled") << 3 << 2 << 1500 << 3;
        QTest::newRow("ACK late beyond two sendings") << 3 << 2 << 2500 << 3;
    }
    void staleAnswers() {
        QFETCH(int, blocks);
        QFETCH(int, answerTo);
        QFETCH(int, lateMs);
        QFETCH(int, spoiled);
        Rig rig;
        XModemReceiver receiver;
        receiver.repeatAfter = lateMs == 0 ? answerTo : 0;
        receiver.lateAfter = lateMs == 0 ? 0 : answerTo;
        receiver.lateMs = std::uint64_t(lateMs);
        receiver.spoiled = spoiled;
        receiver.Attach(rig.port);
        const QByteArray bytes = RandomImage(blocks * kBlock - 100, 5);
        MemoryImage image(bytes);
        if (rig.Send(image, bytes.size()) >= 0) {
            QVERIFY(receiver.Completed());
            QCOMPARE(receiver.Received(), Padded(bytes));
        }
    }
};

QTEST_GUILESS_MAIN(XModemSenderTest)
#include "test_xmodem_sender.moc"
