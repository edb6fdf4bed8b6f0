#include <QtTest>

#include "cli/options.h"

using namespace vantrel::cli;

class CliOptionsTest : public QObject {
    Q_OBJECT
private slots:
    // Expected: port, file, wait, record and the functions, "|" between them; or the other
    // command's name; or "refused: " and what the error names.
    void parse_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("parsed");
        const char* rows[][3] = {
            {"nothing: identify only", "", "||120||"},
            {"functions keep their order, repeats allowed", "restart auto blank-check blank-check",
             "||120||restart auto blank-check blank-check"},
            {"options before functions",
             "--port COM3 --file a.upg --wait 30 --record r.jsonl auto restart",
             "COM3|a.upg|30|r.jsonl|auto restart"},
            {"options mixed in, with =, largest wait",
             "auto --port=/dev/ttyUSB0 restart --wait=86400", "/dev/ttyUSB0||86400||auto restart"},
            {"value that looks like a function", "--file restart download",
             "|restart|120||download"},
            {"ports", "ports", "ports"},
            {"help wins over errors", "--bogus --help", "help"},
            {"unknown function", "auto reboot", "refused: reboot"},
            {"unknown option", "--baud 9600 auto", "refused: --baud"},
            {"option given twice", "--port COM1 --port COM2", "refused: --port"},
            {"value missing at the end", "auto --file", "refused: --file"},
            {"empty value after =", "--port= auto", "refused: --port"},
            {"wait zero", "--wait 0", "refused: --wait"},
            {"wait fraction", "--wait 1.5", "refused: --wait"},
            {"wait beyond a day", "--wait 86401", "refused: --wait"},
            {"ports with a function", "ports auto", "refused: ports"},
        };
        for (const auto& row : rows) {
            QTest::newRow(row[0]) << QString(row[1]) << QString(row[2]);
        }
    }
    void parse() {
        QFETCH(QString, line);
        QFETCH(QString, parsed);
        std::vector<std::string> args;
        for (const QString& word : line.split(' ', Qt::SkipEmptyParts)) {
            args.push_back(word.toStdString());
        }
        const ParseResult r = ParseOptions(args);
        if (parsed.startsWith("refused: ")) {
            QVERIFY(!r.ok);
            QVERIFY2(QString::fromStdString(r.error).contains(parsed.mid(9)), r.error.c_str());
            return;
        }
        QVERIFY2(r.ok, r.error.c_str());
        const Options& o = r.options;
        QStringList names;
        for (Function f : o.functions) {
            names << QString::fromStdString(FunctionName(f));
        }
        QString got =
            QStringList({QString::fromStdString(o.port), QString::fromStdString(o.targetFile),
                         QString::number(o.waitSeconds), QString::fromStdString(o.recordFile),
                         names.join(' ')})
                .join('|');
        if (o.command == Options::Command::ListPorts) {
            got = "ports";
        } else if (o.command == Options::Command::Help) {
            got = "help";
        } else {
            QCOMPARE(o.command, Options::Command::Run);
        }
        QCOMPARE(got, parsed);
    }
};

QTEST_GUILESS_MAIN(CliOptionsTest)
#include "test_cli_options.moc"
