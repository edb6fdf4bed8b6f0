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
    void accepted_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("port");
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("wait");
        QTest::addColumn<QString>("record");
        QTest::addColumn<QString>("functions");

        QTest::newRow("nothing: identify only") << ""
                                                << ""
                                                << "" << 120 << ""
                                                << "";
        QTest::newRow("functions keep their order, repeats allowed")
            << "restart auto blank-check blank-check"
            << ""
            << "" << 120 << ""
            << "restart auto blank-check blank-check";
        QTest::newRow("all six") << "blank-check memory-test erase download auto restart"
                                 << ""
                                 << "" << 120 << ""
                                 << "blank-check memory-test erase download auto restart";
        QTest::newRow("options before functions")
            << "--port COM3 --file a.upg --wait 30 --record r.jsonl auto restart"
            << "COM3"
            << "a.upg" << 30 << "r.jsonl"
            << "auto restart";
        QTest::newRow("options mixed in, with =") << "auto --port=/dev/ttyUSB0 restart --wait=1"
                                                  << "/dev/ttyUSB0"
                                                  << "" << 1 << ""
                                                  << "auto restart";
        QTest::newRow("value that looks like a function") << "--file restart download"
                                                          << ""
                                                          << "restart" << 120 << ""
                                                          << "download";
        QTest::newRow("largest wait") << "--wait 86400"
                                      << ""
                                      << "" << 86400 << ""
                                      << "";
    }
    void accepted() {
        QFETCH(QString, line);
        const ParseResult r = ParseOptions(Split(line));
        QVERIFY2(r.ok, r.error.c_str());
        QCOMPARE(r.options.command, Options::Command::Run);
        QTEST(QString::fromStdString(r.options.port), "port");
        QTEST(QString::fromStdString(r.options.targetFile), "file");
        QTEST(r.options.waitSeconds, "wait");
        QTEST(QString::fromStdString(r.options.recordFile), "record");
        QTEST(Names(r.options.functions), "functions");
    }

    void refused_data() {
        QTest::addColumn<QString>("line");
        QTest::addColumn<QString>("mentions");

        QTest::newRow("unknown function") << "auto reboot"
                                          << "reboot";
        QTest::newRow("function in upper case") << "AUTO"
                                                << "AUTO";
        QTest::newRow("unknown option") << "--baud 9600 auto"
                                        << "--baud";
        QTest::newRow("option given twice") << "--port COM1 --port COM2"
                                            << "--port";
        QTest::newRow("value missing at the end") << "auto --file"
                                                  << "--file";
        QTest::newRow("empty value after =") << "--port= auto"
                                             << "--port";
        QTest::newRow("wait zero") << "--wait 0"
                                   << "--wait";
        QTest::newRow("wait fraction") << "--wait 1.5"
                                       << "--wait";
        QTest::newRow("wait not a number") << "--wait soon"
                                           << "--wait";
        QTest::newRow("wait beyond a day") << "--wait 86401"
                                           << "--wait";
        QTest::newRow("wait overflowing int") << "--wait 99999999999"
                                              << "--wait";
        QTest::newRow("ports with a function") << "ports auto"
                                               << "ports";
        QTest::newRow("ports with an option") << "--port COM1 ports"
                                              << "ports";
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
        QTest::newRow("-h") << "auto -h" << int(Options::Command::Help);
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
