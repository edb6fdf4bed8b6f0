#include <QtTest>

#include "cli/options.h"

using namespace vantrel::cli;

namespace {

std::vector<std::string> Split(const QString& line) {
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

}  // namespace

class CliOptionsTest : public QObject {
    Q_OBJECT
private slots:
    // Expected: port, file, wait, record and the functions, "|" between them.
    void accepted_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("parsed");
        const char* rows[][3] = {
            {"nothing: identify only", "", "||120||"},
            {"functions keep their order, repeats allowed", "restart auto blank-check blank-check",
             "||120||restart auto blank-check blank-check"},
            {"options before functions",
             "--port COM3 --file a.upg --wait 30 --record r.jsonl auto restart",
             "COM3|a.upg|30|r.jsonl|auto restart"},
            {"options mixed in, with =", "auto --port=/dev/ttyUSB0 restart --wait=1",
             "/dev/ttyUSB0||1||auto restart"},
            {"value that looks like a function", "--file restart download",
             "|restart|120||download"},
            {"largest wait", "--wait 86400", "||86400||"},
        };
        for (const auto& row : rows) {
            QTest::newRow(row[0]) << QString(row[1]) << QString(row[2]);
        }
    }
    void accepted() {
        QFETCH(QString, line);
        const ParseResult r = ParseOptions(Split(line));
        QVERIFY2(r.ok, r.error.c_str());
        QCOMPARE(r.options.command, Options::Command::Run);
        const Options& o = r.options;
        QTEST(QStringList({QString::fromStdString(o.port), QString::fromStdString(o.targetFile),
                           QString::number(o.waitSeconds), QString::fromStdString(o.recordFile),
                           Names(o.functions)})
                  .join('|'),
              "parsed");
    }

    void refused_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("mentions");
        const char* rows[][3] = {
            {"unknown function", "auto reboot", "reboot"},
            {"unknown option", "--baud 9600 auto", "--baud"},
            {"option given twice", "--port COM1 --port COM2", "--port"},
            {"value missing at the end", "auto --file", "--file"},
            {"empty value after =", "--port= auto", "--port"},
            {"wait zero", "--wait 0", "--wait"},
            {"wait fraction", "--wait 1.5", "--wait"},
            {"wait beyond a day", "--wait 86401", "--wait"},
            {"wait overflowing int", "--wait 99999999999", "--wait"},
            {"ports with a function", "ports auto", "ports"},
        };
        for (const auto& row : rows) {
            QTest::newRow(row[0]) << QString(row[1]) << QString(row[2]);
        }
    }
    void refused() {
        QFETCH(QString, line);
        QFETCH(QString, mentions);
        const ParseResult r = ParseOptions(Split(line));
        QVERIFY(!r.ok);
        QVERIFY2(QString::fromStdString(r.error).contains(mentions), r.error.c_str());
    }

    void commands_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<int>("command");
        QTest::newRow("ports") << "ports" << int(Options::Command::ListPorts);
        QTest::newRow("help wins over errors") << "--bogus --help" << int(Options::Command::Help);
    }
    void commands() {
        QFETCH(QString, line);
        const ParseResult r = ParseOptions(Split(line));
        QVERIFY2(r.ok, r.error.c_str());
        QTEST(int(r.options.command), "command");
    }
};

QTEST_GUILESS_MAIN(CliOptionsTest)
#include "test_cli_options.moc"
