#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "app/command_line.h"
#include "app/service_file.h"

using vantrel::StartMode;

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

        QTest::newRow("empty") << QStringList{} << StartMode::User << QStringList{};
        QTest::newRow("slash Automation")
            << QStringList{"/Automation"} << StartMode::Automated << QStringList{};
        QTest::newRow("anywhere in the line") << QStringList{"one", "-Embedding", "three"}
                                              << StartMode::Embedded << QStringList{"one", "three"};
        QTest::newRow("case matters") << QStringList{"/automation", "-EMBEDDING"} << StartMode::User
                                      << QStringList{"/automation", "-EMBEDDING"};
        QTest::newRow("both: only Embedding looked for and removed")
            << QStringList{"-Automation", "/Embedding"} << StartMode::Embedded
            << QStringList{"-Automation"};
        QTest::newRow("not a switch: no sign, double dash, longer word, path, bare signs")
            << QStringList{"Embedding", "--Embedding", "-Embeddings", "/home/tech/Automation", "-"}
            << StartMode::User
            << QStringList{"Embedding", "--Embedding", "-Embeddings", "/home/tech/Automation", "-"};
    }
    void startSwitch() {
        QFETCH(QStringList, given);
        QTEST(vantrel::TakeStartSwitch(given), "mode");
        QTEST(given, "remaining");
    }
    void update_data() {
        QTest::addColumn<QByteArray>("before");  // empty for no file
        QTest::addColumn<QString>("program");
        QTest::addColumn<QByteArray>("after");

        const QString program = QStringLiteral("/opt/vantrel/bin/VantrelDistribution");
        const QByteArray head = "[D-BUS Service]\nName=VantrelDistribution.Application\n";
        const QByteArray fresh = head + "Exec=/opt/vantrel/bin/VantrelDistribution -Embedding\n";

        QTest::newRow("created with its folders") << QByteArray() << program << fresh;
        QTest::newRow("path refreshed, other entries kept in place")
            << "# local tweak\n" + head + "Exec=/old/VantrelDistribution -Embedding\nX=v\n"
            << program << "# local tweak\n" + fresh + "X=v\n";
        QTest::newRow("missing keys added after the last entry")
            << QByteArray("[D-BUS Service]\nUser=tech\n\n") << program
            << QByteArray("[D-BUS Service]\nUser=tech\n") + fresh.mid(16);
        QTest::newRow("wrong name corrected, repeated keys dropped")
            << QByteArray(
                   "[D-BUS Service]\nName = Other.Name\nExec=/a -Embedding\n"
                   "Exec=/b -Embedding\nName=Third\n")
            << program << fresh;
        QTest::newRow("other section left alone")
            << QByteArray("[Extra]\nExec=/usr/bin/true\n") << program
            << fresh + "[Extra]\nExec=/usr/bin/true\n";
        QTest::newRow("CR LF lines read")
            << QByteArray(
                   "[D-BUS Service]\r\nName=VantrelDistribution.Application\r\n"
                   "Exec=/old -Embedding\r\n")
            << program << fresh;
        QTest::newRow("blank, quote, dollar and backslash quoted")
            << QByteArray() << QStringLiteral("/opt/my tech's $HOME\\b/VantrelDistribution")
            << head + "Exec='/opt/my tech'\\\\''s $HOME\\\\b/VantrelDistribution' -Embedding\n";
    }
    void update() {
        QFETCH(QByteArray, before);
        QFETCH(QString, program);
        QTemporaryDir dir;
        const QString folder = dir.filePath("share/dbus-1/services");
        const QString path = folder + "/VantrelDistribution.Application.service";
        if (!before.isEmpty()) {
            QVERIFY(QDir().mkpath(folder));
            QFile file(path);
            QVERIFY(file.open(QIODevice::WriteOnly) && file.write(before) == before.size());
        }
        QVERIFY(vantrel::UpdateServiceFile(path, program));
        QFile file(path);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QTEST(file.readAll(), "after");
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
        const QString path = dir.filePath("dbus-1/services/VantrelDistribution.Application.service");
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
        const QByteArray oldDataHome = qgetenv("XDG_DATA_HOME");
        const QByteArray oldDataDirs = qgetenv("XDG_DATA_DIRS");
        qputenv("XDG_DATA_HOME", dir.filePath("home").toUtf8());
        qputenv("XDG_DATA_DIRS", (dir.filePath("local") + ':' + dir.filePath("usr")).toUtf8());
        const QString name = "/dbus-1/services/VantrelDistribution.Application.service";
        QVERIFY(QDir().mkpath(dir.filePath("usr/dbus-1/services")));
        QFile system(dir.filePath("usr") + name);
        QVERIFY(system.open(QIODevice::WriteOnly) &&
                system.write("[D-BUS Service]\nName=VantrelDistribution.Application\nExec=" +
                             systemExec) > 0);
        system.close();
        const QString program = QStringLiteral("/usr/bin/VantrelDistribution");
        QVERIFY(!userEntry || vantrel::UpdateServiceFile(dir.filePath("home") + name, program));
        const bool needed = vantrel::UserServiceFileNeeded(program);
        oldDataHome.isNull() ? qunsetenv("XDG_DATA_HOME") : qputenv("XDG_DATA_HOME", oldDataHome);
        oldDataDirs.isNull() ? qunsetenv("XDG_DATA_DIRS") : qputenv("XDG_DATA_DIRS", oldDataDirs);
        QTEST(needed, "needed");
    }
};

QTEST_GUILESS_MAIN(TestAppSetup)
#include "test_app_setup.moc"
