// The station on fake ports and simulated time, without real signals: what it refuses before
// any port is opened, how it ends (count, idle bound, signals), what it does with an
// instrument it does not take, its record, its trace files and its exit status; and the board
// on terminals of a given size.

#include <signal.h>

#include <QTemporaryDir>
#include <QTest>
#include <map>

#include "cli/console_run.h"
#include "cli/line_watch.h"
#include "cli/station.h"
#include "session/strings.h"
#include "fake_port.h"
#include "images.h"
#include "xmodem_peer.h"

using namespace vantrel;
using namespace vantrel::cli;
using namespace vantrel::test;

namespace {

const std::string kSignature = "\n\n\n\r";  // model 1

// Model 1's boot loader on a FakePort: it answers each menu command from a table, receives
// an XModem-1K transfer, and is reset again after "7" while resets are left.
struct Instrument {
    SimClock& clock;
    FakePort port{clock};
    XModemReceiver receiver;
    int resets = 1;
    bool protectedSectors = false;
    std::string last;  // the last menu command written
    std::function<void(const std::string&)> onWrite;

    explicit Instrument(SimClock& c) : clock(c) {
        port.SetResponder([this](FakePort& p, const FakePort::Bytes& bytes) {
            const std::string text(bytes.begin(), bytes.end());
            if (onWrite) {
                onWrite(text);
            }
            if (ScriptedReceiver::IsFrame(bytes) || text == "\x04") {
                receiver.Answer(p, bytes);
                return;
            }
            Answer(text);
        });
    }
    void ResetLater() {
        if (resets-- > 0) {
            port.Arrive(kSignature, 1000);
        }
    }
    void Answer(const std::string& text) {
        const std::map<std::string, std::string> answers = {
            {"\r", ">"},
            {"1", LoadString(Str::BlankChecking) + "\r\nUser area is blank\r\n>"},
            {"2", LoadString(Str::ProtectionVerification) + "\r\nUser Area Sectors Bank1 " +
                      (protectedSectors ? "protected" : "NOT protected") + "\r\n>"},
            {"5", LoadString(Str::EnterBaseAddress)},
            {"00010000", LoadString(Str::ProgramFlash)}};
        std::string answer;
        if (text == "Y" && last == "00010000") {
            answer = LoadString(Str::StartXModem);
            port.Arrive("C", 500);
        } else if (auto it = answers.find(text); it != answers.end()) {
            answer = it->second;
        }
        if (text == "7") {
            ResetLater();
        }
        last = text;
        if (!answer.empty()) {
            port.Arrive(answer + "\r\n", 10);
        }
    }
};

// The records, as the station hands them over, and their exit statuses; a writer that fails
// says so.
struct Records final : RecordWriter {
    std::string failure;
    std::vector<UpdateRecord> taken;
    QByteArray statuses;
    std::string Append(const UpdateRecord& record) override {
        taken.push_back(record);
        statuses += (statuses.isEmpty() ? "" : " ") + QByteArray::number(record.exitStatus);
        return failure;
    }
};

// A board drawn on a terminal of the given size: the last drawing's lines.
QStringList LastDrawing(std::FILE* out) {
    const QString all = QString::fromUtf8(Contents(out));
    const QString last = all.mid(all.lastIndexOf(QStringLiteral("A\r")) + 1);
    QStringList lines;
    for (QString line : last.split('\n', Qt::SkipEmptyParts)) {
        line.remove('\r').remove(QStringLiteral("\x1b[K")).remove(QStringLiteral("\x1b[J"));
        if (!line.isEmpty()) {
            lines << line;
        }
    }
    return lines;
}

}  // namespace

class StationTest : public QObject {
    Q_OBJECT
private slots:
    // Everything that can be refused is refused before any port is opened, with status 2.
    void refusedBeforeAnyPortIsOpened_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QString>("said");
        QTest::newRow("no port named") << QStringList{"blank-check"}
                                       << "name the ports with --port";
        QTest::newRow("an alias and its device")
            << QStringList{"--port", "COM7", "--port", "/dev/ttyUSB0", "blank-check"}
            << "COM7 and /dev/ttyUSB0 are the same device (/dev/ttyUSB0)";
        QTest::newRow("two aliases of one adapter")
            << QStringList{"--port", "COM7", "--port", "COM9", "--port", "COM8", "blank-check"}
            << "COM7 and COM8 are the same device";
        QTest::newRow("an empty image") << QStringList{"--port", "COM7", "--file", "@empty.upg"}
                                        << "Invalid Target File: @empty.upg: ";
        QTest::newRow("a missing image")
            << QStringList{"--port", "COM7", "--file", "@missing.upg"}
            << "Invalid Target File: @missing.upg: No such file or directory";
        QTest::newRow("a record in a folder that does not exist")
            << QStringList{"--port", "COM7", "--record", "@none/record.jsonl", "blank-check"}
            << "the update record @none/record.jsonl cannot be written: cannot open: No such "
               "file or directory";
        QTest::newRow("a trace folder that cannot be written, before the record is made")
            << QStringList{"--port", "COM7", "--record", "@record.jsonl", "--trace-dir", "/proc",
                           "blank-check"}
            << "Cannot write trace files in \"/proc\"";
    }
    void refusedBeforeAnyPortIsOpened() {
        QFETCH(QStringList, args);
        QFETCH(QString, said);
        QTemporaryDir dir;
        QVERIFY(WriteFile(dir.filePath("empty.upg"), {}));
        const QString at = dir.path() + "/";
        // Should a refusal be missing, the station ends at once on its idle bound.
        std::vector<std::string> arguments{"--wait", "1"};
        for (const QString& arg : args) {
            arguments.push_back(QString(arg).replace("@", at).toStdString());
        }
        int ports = 0;
        SimClock clock;
        StationSystem system{
            [&ports, &clock]() -> std::unique_ptr<Port> {
                ++ports;
                return std::make_unique<FakePort>(clock);
            },
            [] { return std::vector<PortEntry>{}; },
            [](const std::string& name) -> std::string {
                return name == "COM7" || name == "COM8" ? "/dev/ttyUSB0"
                       : name == "COM9"                 ? "/dev/ttyUSB1"
                                                        : name;
            },
            [](const std::string& device) -> std::optional<std::uint64_t> {
                return device.rfind("/dev/ttyUSB", 0) == 0 ? std::optional<std::uint64_t>(device.back())
                                                           : std::nullopt;
            }};
        SignalStops stops(SignalPolicy::Mode::Station);
        std::FILE* out = std::tmpfile();
        std::FILE* err = std::tmpfile();
        const int status = RunStationCommand(arguments, "vantrel", "0", system, stops, clock,
                                             StationIo{out, err, false, {}});
        const QString error = QString::fromUtf8(Contents(err));
        std::fclose(out);
        std::fclose(err);
        QCOMPARE(status, exit_status::kUsage);
        QVERIFY2(error.startsWith("vantrel station: ") && error.contains(said.replace("@", at)),
                 qPrintable(error));
        QCOMPARE(ports, 0);
        QVERIFY(!QFile::exists(at + "none") && !QFile::exists(at + "record.jsonl"));
    }

    // One port, instruments reset one after the other; how the station ends, what it records
    // and tells, and its exit status.
    void serves_data() {
        QTest::addColumn<QString>("functions");
        QTest::addColumn<int>("count");
        QTest::addColumn<int>("wait");
        QTest::addColumn<int>("resets");
        QTest::addColumn<QString>("event");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("records");  // their exit statuses
        QTest::addColumn<QString>("said");
        QTest::addColumn<int>("endsAtS");  // -1: whenever
        const QString blank = "blank-check";
        QTest::newRow("the count reached") << blank << 1 << 0 << 3 << "" << 0 << QByteArray("0")
                                           << "1 instrument handled." << -1;
        QTest::newRow("two in turn, then the idle bound")
            << blank << 0 << 30 << 2 << "" << 0 << QByteArray("0 0") << "No instrument for 30 s."
            << 33;
        QTest::newRow("the idle bound before the count")
            << blank << 3 << 30 << 1 << "" << exit_status::kCountNotReached << QByteArray("0")
            << "Only 1 of 3 instruments handled." << 32;
        QTest::newRow("Ctrl-C during a function: it finishes, no new one")
            << blank << 0 << 0 << 2 << "SIGINT on 1" << 130 << QByteArray("0")
            << "Interrupted: no new instruments" << -1;
        QTest::newRow("Ctrl-C while identifying: not taken, menu left")
            << blank << 0 << 0 << 2 << "SIGINT on identification" << 130 << QByteArray()
            << "COM3 model 1: not taken: the station is stopping" << -1;
        QTest::newRow("SIGTERM during a function: cancelled")
            << blank << 0 << 0 << 2 << "SIGTERM on 1" << 143 << QByteArray("143")
            << "Interrupted: cancelling the running transfers." << -1;
        QTest::newRow("a failure's reason") << "auto" << 1 << 0 << 1 << "protected" << 1
                                            << QByteArray("1")
                                            << "COM3 model 1: !!! Download ABORTED !!!: User Area "
                                               "Sectors Bank1 protected" << -1;
        QTest::newRow("the image changed during the transfer")
            << "download" << 1 << 0 << 1 << "image changes" << 1 << QByteArray("1")
            << "COM3 model 1: !!! Download ABORTED !!!: Target file changed since the station "
               "started" << -1;
        // Drawn by the station's own thread while the port's thread changes it.
        QTest::newRow("two in turn on a terminal's board")
            << blank << 2 << 0 << 2 << "terminal" << 0 << QByteArray("0 0")
            << "2 handled of 2 (2 done, 0 failed)" << -1;
        // Declined instruments are recorded as failed and not counted: two for a count of 1.
        QTest::newRow("a model outside the job, twice")
            << blank << 1 << 30 << 2 << "declined" << 1 << QByteArray("1 1")
            << "COM3 model 1: declined: model 1 is not in the job" << -1;
        QTest::newRow("a record line lost")
            << blank << 1 << 0 << 1 << "record fails" << exit_status::kRecordNotWritten
            << QByteArray("0") << "COM3: the update record was not written: No space left" << -1;
        // --trace-all (and --trace-bytes); a trace file lost leaves the outcome as it was.
        QTest::newRow("every instrument's trace, whole frames")
            << "download" << 1 << 0 << 1 << "trace all, bytes" << 0 << QByteArray("0")
            << "COM3 model 1: wire trace in " << -1;
        QTest::newRow("a trace file not written")
            << "auto" << 1 << 0 << 1 << "protected, trace folder gone" << 1 << QByteArray("1")
            << "COM3: Cannot write the trace to \"" << -1;
    }
    void serves() {
        QFETCH(QString, functions);
        QFETCH(QString, event);
        QFETCH(int, endsAtS);
        QTemporaryDir dir;
        const QString file = dir.filePath("image.upg");
        QVERIFY(WriteFile(file, RandomImage(5000)));
        SimClock clock;
        const std::uint64_t startMs = clock.NowMs();
        Instrument instrument(clock);
        QFETCH(int, resets);
        instrument.resets = resets;
        instrument.protectedSectors = event.startsWith("protected");
        SignalStops stops(SignalPolicy::Mode::Station);
        int crs = 0;
        int frames = 0;
        instrument.onWrite = [&](const std::string& text) {
            const std::int64_t nowNs = static_cast<std::int64_t>(clock.NowMs()) * 1'000'000;
            crs += text == "\r" ? 1 : 0;
            if ((event == "SIGINT on 1" && text == "1") ||
                (event == "SIGINT on identification" && text == "\r" && crs == 2)) {
                stops.Deliver(SIGINT, nowNs);
            } else if (event == "SIGTERM on 1" && text == "1") {
                stops.Deliver(SIGTERM, nowNs);
            } else if (event == "image changes" && ScriptedReceiver::IsFrame({text.begin(), text.end()}) &&
                       ++frames == 2) {
                QVERIFY(WriteFile(file, RandomImage(5000, 99)));
            }
        };
        instrument.ResetLater();
        Records records;
        records.failure = event == "record fails" ? "No space left on device" : "";
        StationOptions options;
        QFETCH(int, count);
        QFETCH(int, wait);
        options.count = count;
        options.waitSeconds = wait;
        options.targetFile = file.toStdString();
        options.functions = {*FunctionFromName(functions.toStdString())};
        if (event.contains("trace")) {
            options.traceFolder =
                (event.endsWith("gone") ? dir.filePath("gone") : dir.path()).toStdString();
            options.traceAll = event.startsWith("trace all");
            options.traceBytes = event.endsWith("bytes");
        }
        if (event == "declined") {
            options.models = {0, 2};
        }
        const ImageDigest image = DigestImageFile(options.targetFile);
        int pauses = 0;
        StationSystem system{[&] { return std::make_unique<WatchedPort>(instrument.port); },
                             [] { return std::vector<PortEntry>{}; },
                             [](const std::string&) { return std::string("/dev/fake"); }};
        system.pause = [&](std::uint64_t ms, const StopSignal&) {
            ++pauses;
            clock.SleepMs(ms);
        };
        std::FILE* out = std::tmpfile();
        StationBoard board(out, event == "terminal", [] { return TerminalSize{24, 80}; });
        Station station(options, "vantrel 0", &image, system, board, stops, clock, &records);
        const int status = station.Run({{"COM3", "COM3"}});
        const QString told = QString::fromUtf8(Contents(out));
        std::fclose(out);

        QTEST(status, "status");
        QTEST(records.statuses, "records");
        QFETCH(QString, said);
        QVERIFY2(told.contains(said), qPrintable(told));
        if (endsAtS >= 0) {
            const std::uint64_t endedMs = clock.NowMs() - startMs;
            QVERIFY2(endedMs >= std::uint64_t(endsAtS - 2) * 1000 && endedMs <= std::uint64_t(endsAtS) * 1000,
                     qPrintable(QString::number(endedMs)));
        }
        // An instrument identified is never left at its menu; the station never waits by
        // sleeping in slices (its waits end on what they wait for).
        if (instrument.last != "Y") {
            QCOMPARE(instrument.last, std::string("7"));
        }
        QCOMPARE(pauses, 0);
        // The result and the outcome agree; a declined instrument's record says why.
        for (const UpdateRecord& record : records.taken) {
            QCOMPARE(record.declined.empty(), event != "declined");
            for (const auto& f : record.functions) {
                QVERIFY(f.result);
                const bool succeeded = f.name == "download" ? *f.result >= 0 : *f.result == 0;
                QCOMPARE(succeeded, f.outcome == LoadString(Str::DownloadCompleted) ||
                                        f.outcome == "User area is blank");
            }
        }
        QVERIFY(instrument.port.WaitCalls() < 50);
        if (event.contains("trace")) {
            // The record names the file, which holds the whole frames, or says why there is none.
            const UpdateRecord& r = records.taken.front();
            QCOMPARE(r.trace.empty() || r.traceError.empty(), true);
            QVERIFY2(!r.traceError.empty() ||
                         ReadFile(QString::fromStdString(r.trace)).contains(": 02 01 FE "),
                     r.trace.c_str());
        }
    }

    // The board never takes more lines than the terminal has, busy and failed rows first;
    // a narrow one keeps each row's port, phase, counts and last result.
    void boardFitsTheTerminal_data() {
        QTest::addColumn<int>("rows");
        QTest::addColumn<int>("columns");
        QTest::addColumn<int>("ports");
        QTest::addColumn<QStringList>("shown");  // in this order, each in a line of its own
        QTest::addColumn<QString>("prefix");     // of the port names
        QTest::newRow("16 ports in 10 lines")
            << 10 << 160 << 16
            << QStringList{"COM4 ", "COM9 ", "COM7 ", "COM12", "+9 waiting", "1 handled"}
            << "COM";
        QTest::newRow("40 columns")
            << 30 << 40 << 4
            << QStringList{"COM4   download  37%   0/0", "COM9   erase 3/7       0/0",
                           "COM7   waiting         0/1  ABORTED: ", "COM12  waiting"}
            << "COM";
        QTest::newRow("a failure's reason, wide")
            << 30 << 160 << 3
            << QStringList{"COM4 ", "COM9 ", "COM7   /dev/ttyUSB0   model 1  waiting",
                           "0 done 1 failed  !!! Download ABORTED !!!: User Area Sectors Bank1 "
                           "protected",
                           "1 handled"}
            << "COM";
        QTest::newRow("a job's slot names, in a column of their width")
            << 30 << 160 << 4
            << QStringList{"fixture-A-4  /dev/ttyUSB0", "fixture-A-9  /dev/ttyUSB0",
                           "fixture-A-7  /dev/ttyUSB0   model 1  waiting",
                           "fixture-A-12 /dev/ttyUSB0"}
            << "fixture-A-";
    }
    void boardFitsTheTerminal() {
        QFETCH(int, rows);
        QFETCH(int, columns);
        QFETCH(int, ports);
        std::FILE* out = std::tmpfile();
        StationBoard board(out, true, [&] { return TerminalSize{rows, columns}; });
        // COM4 transfers, COM9 erases, COM12 waits, COM7 failed; the rest wait.
        const int names[] = {4, 7, 9, 12};
        for (int i = 0; i < ports; ++i) {
            QFETCH(QString, prefix);
            const std::size_t row = board.AddRow(
                prefix.toStdString() + std::to_string(i < 4 ? names[i] : 20 + i), "/dev/ttyUSB0");
            board.SetPhase(row, "waiting");
        }
        TransferFigures figures;
        figures.percent = 37;
        figures.bytes = 3789;
        figures.total = 10240;
        figures.elapsedMs = 1000;
        board.SetTransfer(0, figures);
        board.SetPhase(2, "erase 3/7");
        board.SetModel(1, 1);
        board.Handled(1, false,
                      LastResult(LoadString(Str::DownloadAborted),
                                 "User Area Sectors Bank1 protected"));
        QVERIFY(board.Redraw());
        const QStringList lines = LastDrawing(out);
        std::fclose(out);
        QVERIFY2(lines.size() < rows, qPrintable(lines.join('\n')));
        int at = 0;
        QFETCH(QStringList, shown);
        for (const QString& text : shown) {
            while (at < lines.size() && !lines[at].startsWith(text) && !lines[at].contains(text)) {
                ++at;
            }
            QVERIFY2(at < lines.size(), qPrintable(text + " in\n" + lines.join('\n')));
        }
        for (const QString& line : lines) {
            QVERIFY2(line.size() < columns, qPrintable(line));
        }
    }

    // The board is drawn again only when something on it changed; a record line lost stays at
    // its end, under the station's last word.
    void boardRedrawsOnlyOnChange() {
        std::FILE* out = std::tmpfile();
        StationBoard board(out, true, [] { return TerminalSize{24, 80}; });
        int changes = 0;
        board.SetOnChange([&changes] { ++changes; });
        const std::size_t row = board.AddRow("COM3", "/dev/ttyUSB0");
        board.SetPhase(row, "waiting");
        QVERIFY(board.Redraw());
        board.SetPhase(row, "waiting");
        board.SetTransfer(row, std::nullopt);
        QVERIFY(!board.Redraw());
        QCOMPARE(changes, 0);
        // Told once until it is drawn.
        board.SetPhase(row, "erase 1/7");
        board.SetPhase(row, "erase 2/7");
        QCOMPARE(changes, 1);
        board.Alert("COM3: the update record was not written: No space left on device");
        board.Note("1 instrument handled.");
        board.Close();
        const QStringList lines = LastDrawing(out);
        std::fclose(out);
        QCOMPARE(lines.mid(lines.size() - 2),
                 (QStringList{"1 instrument handled.",
                              "COM3: the update record was not written: No space left on device"}));
    }
};

QTEST_GUILESS_MAIN(StationTest)
#include "test_station.moc"
