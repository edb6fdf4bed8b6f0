#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "app/service_file.h"

// The activation entry that a normal start writes for the session bus.
class TestServiceFile : public QObject {
    Q_OBJECT
private slots:
    void update_data();
    void update();
    void refusesUnwritable_data();
    void refusesUnwritable();
    void location_data();
    void location();

private:
    static QByteArray ReadAll(const QString& path);
};

QByteArray TestServiceFile::ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<missing>");
}

void TestServiceFile::update_data() {
    QTest::addColumn<QByteArray>("before");  // "<missing>" for no file
    QTest::addColumn<QString>("program");
    QTest::addColumn<QByteArray>("after");

    const QString program = QStringLiteral("/opt/vantrel/bin/VantrelDistribution");
    const QByteArray fresh =
        "[D-BUS Service]\n"
        "Name=VantrelDistribution.Application\n"
        "Exec=/opt/vantrel/bin/VantrelDistribution -Embedding\n";

    QTest::newRow("created with its folders") << QByteArray("<missing>") << program << fresh;
    QTest::newRow("written again unchanged") << fresh << program << fresh;
    QTest::newRow("moved program: path refreshed")
        << QByteArray(
               "[D-BUS Service]\nName=VantrelDistribution.Application\n"
               "Exec=/old/place/VantrelDistribution -Embedding\n")
        << program << fresh;
    QTest::newRow("other entries kept in place")
        << QByteArray(
               "# local tweak\n[D-BUS Service]\nName=VantrelDistribution.Application\n"
               "Exec=/old/VantrelDistribution -Embedding\nSystemdService=v.service\n")
        << program
        << QByteArray(
               "# local tweak\n[D-BUS Service]\nName=VantrelDistribution.Application\n"
               "Exec=/opt/vantrel/bin/VantrelDistribution -Embedding\n"
               "SystemdService=v.service\n");
    QTest::newRow("missing keys added after the last entry")
        << QByteArray("[D-BUS Service]\nUser=tech\n\n") << program
        << QByteArray(
               "[D-BUS Service]\nUser=tech\nName=VantrelDistribution.Application\n"
               "Exec=/opt/vantrel/bin/VantrelDistribution -Embedding\n");
    QTest::newRow("wrong name corrected, repeated keys dropped")
        << QByteArray(
               "[D-BUS Service]\nName = Other.Name\nExec=/a -Embedding\n"
               "Exec=/b -Embedding\nName=Third\n")
        << program << fresh;
    QTest::newRow("other section left alone")
        << QByteArray("[Extra]\nExec=/usr/bin/true\n") << program
        << QByteArray(
               "[D-BUS Service]\nName=VantrelDistribution.Application\n"
               "Exec=/opt/vantrel/bin/VantrelDistribution -Embedding\n"
               "[Extra]\nExec=/usr/bin/true\n");
    QTest::newRow("CR LF lines read") << QByteArray(
                                             "[D-BUS Service]\r\nName=VantrelDistribution."
                                             "Application\r\nExec=/old -Embedding\r\n")
                                      << program << fresh;
    QTest::newRow("path with a blank quoted")
        << QByteArray("<missing>") << QStringLiteral("/opt/my tools/VantrelDistribution")
        << QByteArray(
               "[D-BUS Service]\nName=VantrelDistribution.Application\n"
               "Exec='/opt/my tools/VantrelDistribution' -Embedding\n");
    QTest::newRow("path with a quote and a dollar")
        << QByteArray("<missing>") << QStringLiteral("/opt/tech's $HOME/VantrelDistribution")
        << QByteArray(
               "[D-BUS Service]\nName=VantrelDistribution.Application\n"
               "Exec='/opt/tech'\\\\''s $HOME/VantrelDistribution' -Embedding\n");
    QTest::newRow("path with a backslash")
        << QByteArray("<missing>") << QStringLiteral("/opt/a\\b/VantrelDistribution")
        << QByteArray(
               "[D-BUS Service]\nName=VantrelDistribution.Application\n"
               "Exec='/opt/a\\\\b/VantrelDistribution' -Embedding\n");
    QTest::newRow("path beyond ASCII kept as UTF-8")
        << QByteArray("<missing>") << QStringLiteral("/opt/r\u00e9glage/VantrelDistribution")
        << QByteArray(
               "[D-BUS Service]\nName=VantrelDistribution.Application\n"
               "Exec='/opt/r\xc3\xa9glage/VantrelDistribution' -Embedding\n");
}

void TestServiceFile::update() {
    QFETCH(QByteArray, before);
    QFETCH(QString, program);
    QFETCH(QByteArray, after);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path =
        dir.filePath("share/dbus-1/services/VantrelDistribution.Application.service");
    if (before != "<missing>") {
        QVERIFY(QDir().mkpath(dir.filePath("share/dbus-1/services")));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(before);
    }

    QVERIFY(vantrel::UpdateServiceFile(path, program));
    QCOMPARE(ReadAll(path), after);
    QCOMPARE(QDir(QFileInfo(path).absolutePath()).entryList(QDir::Files),
             QStringList{"VantrelDistribution.Application.service"});
}

void TestServiceFile::refusesUnwritable_data() {
    QTest::addColumn<QString>("program");
    QTest::addColumn<bool>("folderBlocked");

    QTest::newRow("line break in the path") << QStringLiteral("/opt/a\nExec=/bin/sh") << false;
    QTest::newRow("tab in the path") << QStringLiteral("/opt/a\tb/VantrelDistribution") << false;
    QTest::newRow("no path") << QString() << false;
    QTest::newRow("folder blocked by a file")
        << QStringLiteral("/opt/vantrel/bin/VantrelDistribution") << true;
}

void TestServiceFile::refusesUnwritable() {
    QFETCH(QString, program);
    QFETCH(bool, folderBlocked);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    if (folderBlocked) {
        QFile blocker(dir.filePath("dbus-1"));
        QVERIFY(blocker.open(QIODevice::WriteOnly));
    }
    const QString path = dir.filePath("dbus-1/services/VantrelDistribution.Application.service");

    QVERIFY(!vantrel::UpdateServiceFile(path, program));
    QVERIFY(!QFile::exists(path));
}

void TestServiceFile::location_data() {
    QTest::addColumn<QByteArray>("dataHome");  // empty: unset
    QTest::addColumn<QString>("expected");

    QTest::newRow("XDG_DATA_HOME") << QByteArray("/srv/tech/data")
                                   << "/srv/tech/data/dbus-1/services/"
                                      "VantrelDistribution.Application.service";
    QTest::newRow("default under the home folder") << QByteArray()
                                                   << "/home/tech/.local/share/dbus-1/services/"
                                                      "VantrelDistribution.Application.service";
}

void TestServiceFile::location() {
    QFETCH(QByteArray, dataHome);
    QFETCH(QString, expected);

    const QByteArray oldHome = qgetenv("HOME");
    const QByteArray oldDataHome = qgetenv("XDG_DATA_HOME");
    qputenv("HOME", "/home/tech");
    if (dataHome.isEmpty()) {
        qunsetenv("XDG_DATA_HOME");
    } else {
        qputenv("XDG_DATA_HOME", dataHome);
    }
    const QString path = vantrel::ServiceFilePath();
    qputenv("HOME", oldHome);
    oldDataHome.isNull() ? qunsetenv("XDG_DATA_HOME") : qputenv("XDG_DATA_HOME", oldDataHome);

    QCOMPARE(path, expected);
}

QTEST_GUILESS_MAIN(TestServiceFile)
#include "test_service_file.moc"
