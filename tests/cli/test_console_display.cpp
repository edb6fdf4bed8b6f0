#include <QTest>
#include <cstdio>

#include "cli/console_display.h"
#include "images.h"
#include "serial/serial_channel.h"
#include "xmodem_peer.h"

using namespace vantrel;
using namespace vantrel::cli;
using namespace vantrel::test;

namespace {

// A real transfer of `size` bytes shown on `display`: the sender on a fake line whose
// receiver answers each frame `msPerBlock` after it, with `answers` and then ACKs.
std::int32_t PlayTransfer(ConsoleDisplay& display, SimClock& clock, std::int64_t size,
                          int msPerBlock, const QStringList& answers = {}) {
    FakePort port(clock);
    SerialChannel channel(port, clock);
    port.Open("/dev/fake");
    ScriptedReceiver receiver(port, clock);
    receiver.answerDelayMs = static_cast<std::uint64_t>(msPerBlock);
    receiver.SetAnswers(answers);
    receiver.Send("C", ScriptedReceiver::kAnswerDelayMs);
    MemoryImage image(RandomImage(size));
    display.PhaseBegun(Phase::Transfer);
    const std::int32_t sent = XModemSender(channel, display, display).SendFile(image, size);
    display.PhaseEnded(Phase::Transfer, Outcome{});
    return sent;
}

}  // namespace

class ConsoleDisplayTest : public QObject {
    Q_OBJECT
private slots:
    void transferLine_data() {
        QTest::addColumn<int>("percent");
        QTest::addColumn<qint64>("bytes");
        QTest::addColumn<qint64>("total");
        QTest::addColumn<qint64>("elapsedMs");
        QTest::addColumn<QString>("expected");

        QTest::newRow("half way at 4 KiB/s")
            << 50 << qint64(51200) << qint64(102400) << qint64(12500)
            << "[############------------]  50%  51200/102400 B  4.0 KiB/s  0:13 left";
        QTest::newRow("five blocks: the bar is not full at 61%")
            << 61 << qint64(3072) << qint64(5000) << qint64(300)
            << "[##############----------]  61%  3072/5000 B  10.0 KiB/s  0:00 left";
        QTest::newRow("empty image: bar from the percentage")
            << 100 << qint64(0) << qint64(0) << qint64(300)
            << "[########################] 100%  0/0 B  -- KiB/s  --:-- left";
    }
    void transferLine() {
        QFETCH(int, percent);
        QFETCH(qint64, bytes);
        QFETCH(qint64, total);
        QFETCH(qint64, elapsedMs);
        const TransferFigures p{percent, bytes, total, static_cast<std::uint64_t>(elapsedMs), 0};
        QTEST(QString::fromStdString(FormatTransferLine(p)), "expected");
    }

    void stepLineClamps() {
        QCOMPARE(QString::fromStdString(FormatStepLine(9, 7)),
                 QString("[########################] 7/7"));
        QCOMPARE(QString::fromStdString(FormatStepLine(1, 3)),
                 QString("[########----------------] 1/3"));
    }

    // Off a terminal (a log, a pipe) a transfer gives one plain line per tenth, no control
    // characters, and status lines only when they change.
    void plainOutputForLogs() {
        SimClock clock;
        std::FILE* out = std::tmpfile();
        ConsoleDisplay display(out, false, clock);
        display.SetStatus("Instrument On-Line");
        display.SetStatus("Instrument On-Line");
        QCOMPARE(PlayTransfer(display, clock, 100 * 1024, 250), 100 * 1024);
        display.SetStatus("");
        display.SetStatus("Restart Instrument");
        const QByteArray text = Contents(out);
        QVERIFY2(!text.contains('\r') && !text.contains('\x1b'), text.constData());
        const QList<QByteArray> lines = text.split('\n');
        QCOMPARE(lines.first(), QByteArray("Instrument On-Line"));
        QCOMPARE(lines[1], "[------------------------]   0%  0/102400 B  -- KiB/s  --:-- left");
        QCOMPARE(lines.size(), 1 + 11 + 1 + 1);
        for (int tenth = 0; tenth <= 10; ++tenth) {
            QVERIFY2(lines[1 + tenth].contains(QByteArray::number(tenth * 10) + "%"),
                     lines[1 + tenth].constData());
        }
        QVERIFY(lines[11].contains("102400/102400 B  4.0 KiB/s"));
        QCOMPARE(lines[12], QByteArray("Restart Instrument"));

        // A transfer the receiver cancels between two tenths still leaves a line saying where
        // it stopped.
        QVERIFY(PlayTransfer(display, clock, 20 * 1024, 250, {"A", "A", "A", "XX"}) < 0);
        const QByteArray last = Contents(out).trimmed().split('\n').last();
        std::fclose(out);
        QVERIFY2(last.contains(" 15%  3072/20480 B  "), last.constData());
    }
};

QTEST_GUILESS_MAIN(ConsoleDisplayTest)
#include "test_console_display.moc"
