#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "app/command_line.h"
#include "app/service_file.h"
#include "images.h"

using vantrel::StartMode;
using vantrel::test::ReadFile;
using vantrel::test::WriteFile;

Q_DECLARE_METATYPE(vantrel::StartMode)

// How the program tells an automation start from the operator's start, and the activation
// entry that a normal start writes for the session bus.
class TestAppSetup : public QObject {
    Q_OBJECT
private slots:
    void startSwitch_data() {
        QTest::addColumn<QStringList>("given");
        QTest::addColumn<StartMode>("mode");
        QTest::addColumn<QStringList>("remaining");

        QTest::newRow("slash Automation")
            << QStringList{"/Automation"} << StartMode::Automated << QStringList{};
        QTest::newRow("anywhere in the line") << QStringList{"one", "-Embedding", "three"}
                                              << StartMode::Embedded << QStringList{"one", "three"};
        QTest::newRow("both: only Embedding looked for and removed")
            << QStringList{"-Automation", "/Embedding"} << StartMode::Embedded
            << QStringList{"-Automation"};
        const QStringList none{"Embedding", "--Embedding", "-Embeddings", "-EMBEDDING",
                               "/automation", "/home/tech/Automation", "-"};
        QTest::newRow("not a switch: no sign, double dash, longer word, case, path, bare sign")
            << none << StartMode::User << none;
    }
    void startSwitch() {
        QFETCH(QStringList, given);
        QTEST(vantrel::TakeStartSwitch(given), "mode");
        QTEST(given, "remaining");
    }
    void traceOption_data() {
        QTest::addColumn<QStringList>("given");
        QTest::addColumn<QString>("path");
        QTest::addColumn<QString>("error");  // a part of it; empty for none
        QTest::addColumn<QStringList>("remaining");

        QTest::newRow("file after the option, anywhere in the line")
            << QStringList{"-Embedding", "--trace", "line.trace", "x"} << "line.trace" << ""
            << QStringList{"-Embedding", "x"};
        QTest::newRow("file joined by =") << QStringList{"--trace=/tmp/a b"} << "/tmp/a b" << ""
                                          << QStringList{};
        QTest::newRow("no file") << QStringList{"--trace"} << "" << "needs a file"
                                 << QStringList{};
        QTest::newRow("empty file") << QStringList{"--trace="} << "" << "needs a file"
                                    << QStringList{};
        QTest::newRow("twice") << QStringList{"--trace", "a", "--trace=b"} << "a"
                               << "more than once" << QStringList{"--trace=b"};
        QTest::newRow("not the option: one dash, longer word")
            << QStringList{"-trace", "--traces"} << "" << "" << QStringList{"-trace", "--traces"};
    }
    void traceOption() {
        QFETCH(QStringList, given);
        QFETCH(QString, error);
        const vantrel::TraceRequest request = vantrel::TakeTraceOption(given);
        QTEST(request.path, "path");
        QVERIFY2(request.error.isEmpty() == error.isEmpty() && request.error.contains(error),
                 qPrintable(request.error));
        QTEST(given, "remaining");
    }

    void update_data() {
        QTest::addColumn<QByteArray>("before");  // empty for no file
        QTest::addColumn<QByteArray>("after");

        const QByteArray head = "[D-BUS Service]\nName=VantrelDistribution.Application\n";
        const QByteArray fresh = head + "Exec=/opt/vantrel/bin/VantrelDistribution -Embedding\n";

        QTest::newRow("created with its folders") << QByteArray() << fresh;
        QTest::newRow("path refreshed, other entries kept in place")
            << "# local tweak\n" + head + "Exec=/old/VantrelDistribution -Embedding\nX=v\n"
            << "# local tweak\n" + fresh + "X=v\n";
        QTest::newRow("missing keys added after the last entry")
            << QByteArray("[D-BUS Service]\nUser=tech\n\n")
            << QByteArray("[D-BUS Service]\nUser=tech\n") + fresh.mid(16);
        QTest::newRow("wrong name corrected, repeated keys dropped")
            << QByteArray(
                   "[D-BUS Service]\nName = Other.Name\nExec=/a -Embedding\n"
                   "Exec=/b -Embedding\nName=Third\n")
            << fresh;
        QTest::newRow("other section left alone")
            << QByteArray("[Extra]\nExec=/usr/bin/true\n")
            << fresh + "[Extra]\nExec=/usr/bin/true\n";
        QTest::newRow("CR LF lines read")
            << QByteArray(
                   "[D-BUS Service]\r\nName=VantrelDistribution.Application\r\n"
                   "Exec=/old -Embedding\r\n")
            << fresh;
    }
    void update() {
        QFETCH(QByteArray, before);
        QTemporaryDir dir;
        const QString folder = dir.filePath("share/dbus-1/services");
        const QString path = folder + "/VantrelDistribution.Application.service";
        QVERIFY(before.isEmpty() || (QDir().mkpath(folder) && WriteFile(path, before)));
        QVERIFY(vantrel::UpdateServiceFile(path, "/opt/vantrel/bin/VantrelDistribution"));
        QTEST(ReadFile(path), "after");
        QCOMPARE(QDir(folder).entryList(QDir::Files),
                 QStringList{"VantrelDistribution.Application.service"});
    }

    void refusesUnwritable_data() {
        QTest::addColumn<QString>("program");
        QTest::addColumn<bool>("folderBlocked");
        QTest::newRow("line break in the path") << QStringLiteral("/opt/a\nExec=/bin/sh") << false;
        QTest::newRow("no path") << QString() << false;
        QTest::newRow("folder blocked by a file")
            << QStringLiteral("/opt/VantrelDistribution") << true;
    }
    void refusesUnwritable() {
        QFETCH(QString, program);
        QFETCH(bool, folderBlocked);
        QTemporaryDir dir;
        QVERIFY(!folderBlocked || QFile(dir.filePath("dbus-1")).open(QIODevice::WriteOnly));
        const QString path =
            dir.filePath("dbus-1/services/VantrelDistribution.Application.service");
        QVERIFY(!vantrel::UpdateServiceFile(path, program));
        QVERIFY(!QFile::exists(path));
    }

    // A normal start adds no per-user entry that would shadow an installed one.
    void userEntryNeeded_data() {
        QTest::addColumn<QByteArray>("systemExec");  // Exec of the entry in /usr/share's place
        QTest::addColumn<bool>("userEntry");
        QTest::addColumn<bool>("needed");
        const QByteArray installed = "/usr/bin/VantrelDistribution -Embedding";
        QTest::newRow("installed entry starts this program") << installed << false << false;
        QTest::newRow("installed entry starts another copy")
            << QByteArray("/opt/old/VantrelDistribution -Embedding") << false << true;
        QTest::newRow("existing per-user entry kept current") << installed << true << true;
    }
    void userEntryNeeded() {
        QFETCH(QByteArray, systemExec);
        QFETCH(bool, userEntry);
        QTemporaryDir dir;
        qputenv("XDG_DATA_HOME", dir.filePath("home").toUtf8());
        qputenv("XDG_DATA_DIRS", (dir.filePath("local") + ':' + dir.filePath("usr")).toUtf8());
        const QString name = "/dbus-1/services/VantrelDistribution.Application.service";
        QVERIFY(QDir().mkpath(dir.filePath("usr/dbus-1/services")));
        QVERIFY(WriteFile(dir.filePath("usr") + name,
                          "[D-BUS Service]\nName=VantrelDistribution.Application\nExec=" +
                              systemExec));
        const QString program = QStringLiteral("/usr/bin/VantrelDistribution");
        QVERIFY(!userEntry || vantrel::UpdateServiceFile(dir.filePath("home") + name, program));
        QTEST(vantrel::UserServiceFileNeeded(program), "needed");
    }
};

QTEST_GUILESS_MAIN(TestAppSetup)
#include "test_app_setup.moc"
