#include <QtTest>
#include <cstdio>

#include "cli/console_display.h"
#include "cli/phase_tracker.h"
#include "session/strings.h"
#include "sim_clock.h"

using namespace vantrel;
using namespace vantrel::cli;
using namespace vantrel::test;

namespace {

// Everything written to a temporary stream so far.
QByteArray Contents(std::FILE* file) {
    std::fflush(file);
    const long size = std::ftell(file);
    QByteArray data(static_cast<int>(size), '\0');
    std::rewind(file);
    const std::size_t n = std::fread(data.data(), 1, static_cast<std::size_t>(size), file);
    data.truncate(static_cast<int>(n));
    std::fseek(file, 0, SEEK_END);
    return data;
}

// Plays what the XModem-1K sender shows for a transfer of `size` bytes, `msPerBlock` each.
void PlayTransfer(ConsoleDisplay& display, SimClock& clock, std::int64_t size, int msPerBlock) {
    const int blocks = static_cast<int>((size + 1023) / 1024);
    display.SetProgressPos(0);
    display.SetProgressStep(1);
    display.SetProgressRange(static_cast<int>(size / 1024));
    for (int cycle = 0; cycle <= blocks; ++cycle) {
        const double acknowledged = std::min<double>(cycle * 1024.0, static_cast<double>(size));
        display.SetTitle(
            FormatString(Str::TitlePercentSent, acknowledged * 100.0 / static_cast<double>(size)));
        display.RefreshControls();
        display.StepProgress();
        display.RepaintAndShow();
        clock.Advance(static_cast<std::uint64_t>(msPerBlock));
    }
    display.SetTitle("Vantrel");
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

        QTest::newRow("first cycle: nothing measured yet")
            << 0 << qint64(0) << qint64(102400) << qint64(0)
            << "[------------------------]   0%  0/102400 B  -- KiB/s  --:-- left";
        QTest::newRow("half way at 4 KiB/s")
            << 50 << qint64(51200) << qint64(102400) << qint64(12500)
            << "[############------------]  50%  51200/102400 B  4.0 KiB/s  0:13 left";
        QTest::newRow("long transfer: minutes left")
            << 1 << qint64(10240) << qint64(1048576) << qint64(10000)
            << "[------------------------]   1%  10240/1048576 B  1.0 KiB/s  16:54 left";
        QTest::newRow("image under one block")
            << 100 << qint64(500) << qint64(500) << qint64(300)
            << "[########################] 100%  500/500 B  1.6 KiB/s  0:00 left";
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
        const TransferProgress p{percent, bytes, total, static_cast<std::uint64_t>(elapsedMs)};
        QTEST(QString::fromStdString(FormatTransferLine(p)), "expected");
    }

    void stepLineClamps() {
        QCOMPARE(QString::fromStdString(FormatStepLine(9, 7)),
                 QString("[########################] 7/7"));
        QCOMPARE(QString::fromStdString(FormatStepLine(1, 3)),
                 QString("[########----------------] 1/3"));
    }

    void percentFromTitle_data() {
        QTest::addColumn<QString>("title");
        QTest::addColumn<int>("percent");  // -1: not a transfer title
        QTest::newRow("below ten, blank-padded") << "Vantrel  5% Sent" << 5;
        QTest::newRow("hundred") << "Vantrel 100% Sent" << 100;
        QTest::newRow("plain title") << "Vantrel" << -1;
        QTest::newRow("other text") << "Vantrel abc% Sent" << -1;
    }
    void percentFromTitle() {
        QFETCH(QString, title);
        QTEST(PercentFromTitle(title.toStdString()).value_or(-1), "percent");
    }

    // Off a terminal (a log, a pipe) a transfer gives one plain line per tenth, no control
    // characters, and status lines only when they change.
    void plainOutputForLogs() {
        SimClock clock;
        std::FILE* out = std::tmpfile();
        ConsoleDisplay display(out, false, clock);
        display.SetImageSize(100 * 1024);
        display.SetStatus("Instrument On-Line");
        display.SetStatus("Instrument On-Line");
        PlayTransfer(display, clock, 100 * 1024, 250);
        display.SetStatus("");
        display.SetStatus("Restart Instrument");
        const QList<QByteArray> lines = Contents(out).split('\n');
        std::fclose(out);
        QCOMPARE(lines.first(), QByteArray("Instrument On-Line"));
        QCOMPARE(lines.size(), 1 + 11 + 1 + 1);
        for (int tenth = 0; tenth <= 10; ++tenth) {
            QVERIFY2(lines[1 + tenth].contains(QByteArray::number(tenth * 10) + "%"),
                     lines[1 + tenth].constData());
            QVERIFY(!lines[1 + tenth].contains('\r'));
            QVERIFY(!lines[1 + tenth].contains('\x1b'));
        }
        QVERIFY(lines[11].contains("102400/102400 B  4.0 KiB/s"));
        QCOMPARE(lines[12], QByteArray("Restart Instrument"));
    }

    // A transfer that stops half way still leaves a line saying where it stopped.
    void abortedTransferLeavesItsLastLine() {
        SimClock clock;
        std::FILE* out = std::tmpfile();
        ConsoleDisplay display(out, false, clock);
        display.SetImageSize(10 * 1024);
        display.SetProgressRange(10);
        for (int cycle = 0; cycle < 4; ++cycle) {
            display.SetTitle(FormatString(Str::TitlePercentSent, cycle * 10.0));
            display.StepProgress();
            display.RepaintAndShow();
        }
        display.SetTitle("Vantrel");
        const QByteArray text = Contents(out);
        std::fclose(out);
        QVERIFY2(text.endsWith(" 30%  3072/10240 B  -- KiB/s  --:-- left\n"), text.constData());
    }

    // On a terminal the progress is one line redrawn in place; a status line that follows
    // starts on a fresh line.
    void terminalRedrawsInPlace() {
        SimClock clock;
        std::FILE* out = std::tmpfile();
        ConsoleDisplay display(out, true, clock);
        display.SetImageSize(4096);
        PlayTransfer(display, clock, 4096, 100);
        display.SetStatus("Restart Instrument");
        const QByteArray text = Contents(out);
        std::fclose(out);
        QCOMPARE(text.count('\n'), 2);
        QCOMPARE(text.count('\r'), 5);
        QVERIFY(text.endsWith("left\x1b[K\nRestart Instrument\n"));
    }
};

class PhaseTrackerTest : public QObject {
    Q_OBJECT
private slots:
    void phases_data() {
        // Events: "s:TEXT" status, "t:TEXT" title, "b:NAME" begin, "e" end; each 100 ms apart.
        QTest::addColumn<QStringList>("events");
        QTest::addColumn<QStringList>("expected");  // "name:duration"

        const QString downloading = QString::fromStdString(FormatString(Str::Downloading, "a.upg"));
        QTest::newRow("auto on a programmed instrument")
            << QStringList{"b:identification",
                           "s:Instrument On-Line",
                           "e",
                           "s:Automatic ReProgram",
                           "s:Sector Protection Verification...",
                           "s:User Area Sectors NOT protected",
                           "s:Blank checking user area...",
                           "s:User area is NOT blank",
                           "s:Erasing User Area....",
                           "s:",
                           "s:" + downloading,
                           "t:Vantrel  0% Sent",
                           "t:Vantrel 50% Sent",
                           "t:Vantrel 100% Sent",
                           "t:Vantrel",
                           "s:Restart Instrument",
                           "e",
                           "b:restart",
                           "s:Connection Lost - Reset the Instrument",
                           "e"}
            << QStringList{"identification:200", "protection-check:200", "blank-check:200",
                           "erase:200",          "download-menu:100",    "transfer:300",
                           "restart:200"};
        QTest::newRow("blank instrument: no erase")
            << QStringList{"s:Blank checking user area...",
                           "s:User area is blank",
                           "s:" + downloading,
                           "t:Vantrel  0% Sent",
                           "t:Vantrel",
                           "e"}
            << QStringList{"blank-check:200", "download-menu:100", "transfer:100"};
        QTest::newRow("boot loader echoing a phase text inside another phase is a new phase")
            << QStringList{"s:Erasing User Area....", "s:Blank checking user area...", "e"}
            << QStringList{"erase:100", "blank-check:100"};
        QTest::newRow("transfer cut by the end of the function")
            << QStringList{"s:" + downloading, "t:Vantrel  0% Sent", "t:Vantrel 10% Sent", "e"}
            << QStringList{"download-menu:100", "transfer:200"};
    }
    void phases() {
        QFETCH(QStringList, events);
        PhaseTracker tracker;
        tracker.SetPhaseTexts(DefaultPhaseTexts("a.upg"));
        std::uint64_t ms = 5000;
        for (const QString& event : events) {
            const std::string arg = event.mid(2).toStdString();
            if (event.startsWith("s:")) {
                tracker.Status(arg, ms, "iso");
            } else if (event.startsWith("t:")) {
                tracker.Title(arg, ms, "iso");
            } else if (event.startsWith("b:")) {
                tracker.Begin(arg, ms, "iso");
            } else {
                tracker.End(ms);
            }
            ms += 100;
        }
        QStringList got;
        for (const auto& p : tracker.Phases()) {
            got << QString::fromStdString(p.name) + ":" + QString::number(p.durationMs);
        }
        QTEST(got, "expected");
    }
};

int main(int argc, char** argv) {
    int status = 0;
    {
        ConsoleDisplayTest test;
        status |= QTest::qExec(&test, argc, argv);
    }
    {
        PhaseTrackerTest test;
        status |= QTest::qExec(&test, argc, argv);
    }
    return status;
}
#include "test_console_display.moc"
