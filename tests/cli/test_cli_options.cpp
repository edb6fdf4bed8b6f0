// The command line of `vantrel` and `vantrel station`, and what the console refuses at its
// start: every refusal comes before the port is opened (a fake port counts the opens), and a
// trace file that would empty the image is never opened.

#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>

#include "cli/console_command.h"
#include "cli/options.h"
#include "cli/station_options.h"
#include "fake_port.h"
#include "images.h"

using namespace vantrel;
using namespace vantrel::cli;
using namespace vantrel::test;

namespace {

std::vector<std::string> Words(const QString& line) {
    std::vector<std::string> args;
    for (const QString& word : line.split(' ', Qt::SkipEmptyParts)) {
        args.push_back(word.toStdString());
    }
    return args;
}

QString Names(const std::vector<Function>& functions) {
    QStringList names;
    for (Function f : functions) {
        names << QString::fromStdString(FunctionName(f));
    }
    return names.join(' ');
}

// What a line parses to: "port|file|wait|record|functions" for a console run, for a station
// "station: ports|file|count|wait|record|functions" or "station: help", the command's name
// for the others, or "refused: " and the error.
QString Parsed(const QString& line) {
    if (line.startsWith("station ")) {
        // The whole command line hands the station's part, errors and help included, to the
        // station's parse.
        const ParseResult top = ParseOptions(Words(line));
        if (!top.ok || top.options.command != Options::Command::Station) {
            return "not the station's: " + QString::fromStdString(top.error);
        }
        const StationParseResult r = ParseStationOptions(Words(line.mid(8)));
        if (!r.ok) {
            return "refused: " + QString::fromStdString(r.error);
        }
        const StationOptions& o = r.options;
        if (o.help) {
            return "station: help";
        }
        QStringList ports;
        for (const auto& port : o.ports) {
            ports << QString::fromStdString(port);
        }
        return "station: " +
               QStringList({ports.join(','), QString::fromStdString(o.targetFile),
                            QString::number(o.count), QString::number(o.waitSeconds),
                            QString::fromStdString(o.recordFile), Names(o.functions)})
                   .join('|') +
               (o.jobFile.empty() ? "" : " job " + QString::fromStdString(o.jobFile)) +
               (o.json ? " json" : "");
    }
    const ParseResult r = ParseOptions(Words(line));
    if (!r.ok) {
        return "refused: " + QString::fromStdString(r.error);
    }
    const Options& o = r.options;
    switch (o.command) {
        case Options::Command::ListPorts:
            return "ports";
        case Options::Command::Help:
            return "help";
        case Options::Command::Version:
            return "version";
        case Options::Command::Doctor: {
            QStringList ports;
            for (const auto& port : o.doctorPorts) {
                ports << QString::fromStdString(port);
            }
            return "doctor: " + ports.join(',') + (o.doctorOpen ? " open" : "");
        }
        case Options::Command::JobCheck:
            return "job check: " + QString::fromStdString(o.jobFile);
        case Options::Command::Station:
        case Options::Command::Run:
            break;
    }
    return QStringList({QString::fromStdString(o.port), QString::fromStdString(o.targetFile),
                        QString::number(o.waitSeconds), QString::fromStdString(o.recordFile),
                        Names(o.functions)})
               .join('|') +
           (o.jobFile.empty() ? "" : " job " + QString::fromStdString(o.jobFile)) +
           (o.json ? " json" : "");
}

}  // namespace

class CliOptionsTest : public QObject {
    Q_OBJECT
private slots:
    // Expected: as Parsed() gives it; for a refusal, "refused: " and what the error names.
    void parse_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("parsed");
        const char* rows[][3] = {
            {"nothing: identify only", "", "||120||"},
            {"functions keep their order, repeats allowed", "restart auto blank-check blank-check",
             "||120||restart auto blank-check blank-check"},
            {"options mixed in, with =, largest wait, decimal only",
             "auto --port=/dev/ttyUSB0 restart --wait=086400 --file x.upg --record=r.jsonl",
             "/dev/ttyUSB0|x.upg|86400|r.jsonl|auto restart"},
            {"value that looks like a function", "--file restart download",
             "|restart|120||download"},
            {"ports", "ports", "ports"},
            {"help wins over an unknown option", "--bogus --help", "help"},
            {"version", "--version", "version"},
            {"station's help", "station --port COM7 -h --bogus", "station: help"},
            {"unknown function", "auto reboot", "refused: \"reboot\""},
            {"unknown option, not its value", "--baud 9600 auto", "refused: --baud"},
            {"option given twice", "--port COM1 --port COM2", "refused: --port given more"},
            {"value missing at the end", "auto --file", "refused: --file"},
            {"empty value after =", "--port= auto", "refused: --port: the value is empty"},
            {"an option where the value belongs", "--file --count 1 auto",
             "refused: --file: the value \"--count\" begins with \"--\""},
            {"wait zero", "--wait 0", "refused: --wait: takes whole seconds"},
            {"wait fraction", "--wait 1.5", "refused: --wait"},
            {"wait beyond a day", "--wait 86401", "refused: --wait"},
            {"ports with a function", "ports auto", "refused: \"ports\" takes no"},
            {"an option before a command", "--port COM1 ports", "refused: \"ports\" comes first"},
            {"station: ports repeated and deduplicated, defaults",
             "station --port COM7 --file a.upg --port=COM8 --port COM7",
             "station: COM7,COM8|a.upg|0|0||auto restart"},
            {"station: every option", "station --count 30 blank-check --wait 600 --record r",
             "station: ||30|600|r|blank-check"},
            {"station: an option where the value belongs", "station --file --count 1 blank-check",
             "refused: --file"},
            {"station: count beyond its bound", "station --count 1000001 erase",
             "refused: --count: takes a whole number from 1 to 1000000"},
            {"station: a download without a file", "station --port COM7",
             "refused: --file is required"},
            {"station: --file given twice", "station --file a --file b erase",
             "refused: --file given more"},
            {"the trace's bytes without the trace", "--trace-bytes auto",
             "refused: --trace-bytes requires --trace"},
            {"station: every instrument's trace without a folder",
             "station --record r --trace-all erase", "refused: --trace-all requires --trace-dir"},
            {"station: the trace's bytes where no trace is written",
             "station --trace-bytes erase", "refused: --trace-bytes: no trace files are written"},
            // The production line's: a job is locked, whether or not it writes the key.
            {"job and json", "--job j.toml --json", "||120|| job j.toml json"},
            {"job: the image is locked", "--job j.toml --file x.upg",
             "refused: --file is fixed by the job and cannot be given with --job"},
            {"job: the functions are locked", "restart --job=j.toml",
             "refused: the function \"restart\" is fixed by the job"},
            {"station: a job needs no port or file", "station --json --job j.toml",
             "station: ||0|0||auto restart job j.toml json"},
            {"station: a job's wait is locked", "station --job j.toml --wait 5",
             "refused: --wait is fixed by the job"},
            {"station: json given twice", "station --json --json --port COM1 erase",
             "refused: --json given more"},
            {"doctor: ports repeated, open", "doctor --port COM3 --open --port /dev/ttyUSB0",
             "doctor: COM3,/dev/ttyUSB0 open"},
            {"doctor: every port", "doctor", "doctor: "},
            {"doctor takes no functions", "doctor auto", "refused: auto"},
            {"job check", "job check line3.toml", "job check: line3.toml"},
            {"job check without a file", "job check", "refused: FILE is required"},
            {"job without check", "job line3.toml", "refused: "},
        };
        for (const auto& row : rows) {
            QTest::newRow(row[0]) << QString(row[1]) << QString(row[2]);
        }
    }
    void parse() {
        QFETCH(QString, line);
        QFETCH(QString, parsed);
        const QString got = Parsed(line);
        if (parsed.startsWith("refused: ")) {
            QVERIFY2(got.startsWith("refused: ") && got.contains(parsed.mid(9)), qPrintable(got));
            return;
        }
        QCOMPARE(got, parsed);
    }

    // The console's start: a target file or a record file that cannot be used ends the run
    // with status 2 before the port is opened; a record line lost at the end makes a good run
    // status 5 and is the last thing said. {dir} holds image.upg (3000 bytes), empty.upg
    // (0 bytes) and a folder "folder".
    void start_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<bool>("instrument");  // a model-1 instrument is reset after 1 s
        QTest::addColumn<int>("status");
        QTest::addColumn<bool>("opened");
        QTest::addColumn<QString>("told");  // the end of all that was printed

        const QString invalid = "Invalid Target File: ";
        QTest::newRow("auto without --file") << "auto" << true << 2 << false
                                             << invalid +
                                                    "download and auto need the image: "
                                                    "give it with --file";
        QTest::newRow("download, missing file")
            << "--file {dir}/missing.upg download" << true << 2 << false
            << invalid + "{dir}/missing.upg: No such file or directory";
        QTest::newRow("auto, a folder") << "--file {dir}/folder auto" << true << 2 << false
                                        << invalid + "{dir}/folder: not a regular file";
        QTest::newRow("auto, an empty image")
            << "--file {dir}/empty.upg auto restart" << true << 2 << false
            << invalid + "{dir}/empty.upg: the file is empty";
        QTest::newRow("record into a missing folder")
            << "--record {dir}/none/r.jsonl" << true << 2 << false
            << "the update record {dir}/none/r.jsonl cannot be written: cannot open: No such "
               "file or directory";
        QTest::newRow("record is a folder") << "--file {dir}/image.upg --record {dir}/folder auto"
                                            << true << 2 << false << "Is a directory";
        const QString trace = "Cannot write the trace to \"";
        QTest::newRow("trace that cannot be written")
            << "--trace /proc/run.trace" << true << 2 << false
            << trace + "/proc/run.trace\": No such file or directory";
        QTest::newRow("trace is a device")
            << "--trace /dev/null" << true << 2 << false
            << trace + "/dev/null\": it is a device, not a file";
        QTest::newRow("trace is the image, left whole")
            << "--file {dir}/image.upg --trace {dir}/image.upg auto" << true << 2 << false
            << trace + "{dir}/image.upg\": it is the target file";
        QTest::newRow("usable files: the port is opened, the record names the trace")
            << "--file {dir}/image.upg --record {dir}/r.jsonl --trace {dir}/t.trace --wait 1 auto"
            << false << 3 << true << "reset the instrument while Vantrel waits for it.";
        QTest::newRow("a file only the record names is not checked")
            << "--file {dir}/empty.upg --wait 1" << false << 3 << true << "";
        QTest::newRow("record line lost after a good run: 5, said last")
            << "--record /dev/full" << true << 5 << true
            << "vantrel: the update record /dev/full was not written: cannot write: No space "
               "left on device";
        QTest::newRow("record line lost after a failed run: its own status")
            << "--record /dev/full --wait 1" << false << 3 << true
            << "was not written: cannot write: No space left on device";
    }
    void start() {
        QFETCH(QString, line);
        QFETCH(bool, instrument);
        QFETCH(int, status);
        QFETCH(bool, opened);
        QFETCH(QString, told);
        QTemporaryDir dir;
        QVERIFY(WriteFile(dir.filePath("image.upg"), RandomImage(3000)));
        QVERIFY(WriteFile(dir.filePath("empty.upg"), {}));
        QVERIFY(QDir(dir.path()).mkdir("folder"));
        line.replace("{dir}", dir.path());
        told.replace("{dir}", dir.path());
        const ParseResult parsed = ParseOptions(Words(line));
        QVERIFY2(parsed.ok, parsed.error.c_str());

        SimClock clock;
        FakePort fake(clock);
        if (instrument) {
            fake.SetResponder([](FakePort& peer, const FakePort::Bytes& written) {
                if (written == FakePort::Bytes{'\r'}) {
                    peer.Arrive(">\r\n", 10);
                }
            });
            fake.Arrive("\n\n\n\r", 1000);
        }
        ConsoleSystem system{fake,
                             clock,
                             [] {
                                 return std::vector<PortEntry>{{"COM3", "/dev/fake"}};
                             },
                             dir.filePath("BootLoader.ini").toStdString(),
                             false,
                             nullptr,
                             {}};
        Options options = parsed.options;
        options.port = "COM3";
        // Output and errors in one stream, in the order they were printed.
        std::FILE* out = std::tmpfile();
        QCOMPARE(RunConsoleCommand(options, "vantrel", "9.9", system, out, out), status);
        const QByteArray printed = Contents(out);
        std::fclose(out);
        QVERIFY2(printed.trimmed().endsWith(told.toUtf8()), printed.constData());
        QCOMPARE(fake.OpenCount() > 0, opened);
        QCOMPARE(ReadFile(dir.filePath("image.upg")).size(), 3000);
        if (opened && line.contains("r.jsonl")) {
            const QJsonObject record =
                QJsonDocument::fromJson(ReadFile(dir.filePath("r.jsonl"))).object();
            QCOMPARE(record["exit_status"].toInt(), status);
            QCOMPARE(record["program"].toString(), QString("vantrel 9.9"));
            QCOMPARE(record["trace"].toString(), line.contains("t.trace") ? dir.filePath("t.trace")
                                                                           : QString());
            QVERIFY(!line.contains("t.trace") ||
                    ReadFile(dir.filePath("t.trace")).contains("-- close /dev/fake\n"));
        }
    }
};

QTEST_GUILESS_MAIN(CliOptionsTest)
#include "test_cli_options.moc"
