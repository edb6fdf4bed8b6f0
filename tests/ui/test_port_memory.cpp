#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>

#include "ui/port_memory.h"

using namespace vantrel;

namespace {

using Entries = std::vector<std::string>;

QByteArray ReadAll(const QString& path) {
    QFile f(path);
    if (!f.open(QIODevice::ReadOnly)) {
        return "<unreadable>";
    }
    return f.readAll();
}

bool WriteFile(const QString& path, const QByteArray& bytes) {
    QFile f(path);
    return f.open(QIODevice::WriteOnly | QIODevice::Truncate) && f.write(bytes) == bytes.size();
}

}  // namespace

Q_DECLARE_METATYPE(Entries)

class PortMemoryTest : public QObject {
    Q_OBJECT
private slots:
    void load_data() {
        QTest::addColumn<QByteArray>("content");
        QTest::addColumn<Entries>("entries");
        QTest::addColumn<int>("before");
        QTest::addColumn<int>("expected");

        const Entries three{"COM1", "COM3", "COM5"};
        const Entries oneTen{"COM1", "COM10", "COM2"};
        QTest::newRow("empty file keeps the first port") << QByteArray() << three << 0 << 0;
        QTest::newRow("white space only keeps it") << QByteArray(" \t\r\n\v\f ") << three << 0 << 0;
        QTest::newRow("saved name") << QByteArray("COM3\n") << three << 0 << 1;
        QTest::newRow("carriage return line end") << QByteArray("COM3\r\n") << three << 0 << 1;
        QTest::newRow("COM3 then COM5 unlisted: none")
            << QByteArray("COM3\nCOM5\n") << Entries{"COM1", "COM3"} << 0 << -1;
        QTest::newRow("unlisted then listed: listed")
            << QByteArray("COM9\tCOM3") << three << 0 << 1;
        QTest::newRow("mixed case") << QByteArray("cOm5") << three << 0 << 2;
        QTest::newRow("COM1 beside COM10 picks COM1") << QByteArray("COM1\n") << oneTen << 2 << 0;
        QTest::newRow("COM10 beside COM1 picks COM10") << QByteArray("COM10\n") << oneTen << 0 << 1;
        QTest::newRow("bare COM picks the first entry") << QByteArray("COM\n") << oneTen << 2 << 0;
        QTest::newRow("token longer than every entry")
            << QByteArray("COM10\n") << Entries{"COM1", "COM2"} << 0 << -1;
        QTest::newRow("empty port list") << QByteArray("COM1\n") << Entries{} << -1 << -1;
        QTest::newRow("huge token matches nothing")
            << (QByteArray("COM3") + QByteArray(1 << 20, 'X')) << three << 0 << -1;
        QTest::newRow("huge token, then a listed name")
            << (QByteArray(1 << 20, 'C') + "\nCOM5\n") << three << 0 << 2;
        QTest::newRow("NUL inside the token is part of it")
            << QByteArray("COM3\x00", 5) << three << 0 << -1;
        QTest::newRow("binary token, then the name")
            << QByteArray("\x01\x02\xfe \x00\x1a COM1", 11) << three << 1 << 0;
        QTest::newRow("high bytes do not fold to letters")
            << QByteArray("\xc3\x8fOM1") << three << 0 << -1;
    }
    void load() {
        QFETCH(QByteArray, content);
        QFETCH(Entries, entries);
        QFETCH(int, before);
        QFETCH(int, expected);
        QTemporaryDir dir;
        const QString path = dir.filePath("BootLoader.ini");
        QVERIFY(WriteFile(path, content));
        QCOMPARE(LoadPortMemory(path.toStdString(), entries, before), expected);
    }

    // Nothing readable as a file at the path: the selection that the port list made stays,
    // and nothing blocks (a FIFO would wait for a writer forever).
    void loadWithoutFile_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("missing") << "missing";
        QTest::newRow("folder") << "folder";
        QTest::newRow("fifo") << "fifo";
    }
    void loadWithoutFile() {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        const QString path = dir.filePath("BootLoader.ini");
        if (kind == "folder") {
            QVERIFY(QDir(dir.path()).mkdir("BootLoader.ini"));
        } else if (kind == "fifo") {
            QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        }
        QCOMPARE(LoadPortMemory(path.toStdString(), {"COM1", "COM3"}, 1), 1);
    }

    void save_data() {
        QTest::addColumn<QByteArray>("earlier");
        QTest::addColumn<QString>("selected");
        QTest::addColumn<QByteArray>("expected");
        QTest::newRow("new file") << QByteArray() << "COM3" << QByteArray("COM3\n");
        QTest::newRow("no selection: line feed only") << QByteArray() << "" << QByteArray("\n");
        QTest::newRow("longer earlier content is gone")
            << QByteArray("COM10\nCOM11 and some more text\n") << "COM3" << QByteArray("COM3\n");
        QTest::newRow("no carriage return added")
            << QByteArray("COM1\r\n") << "COM12" << QByteArray("COM12\n");
    }
    void save() {
        QFETCH(QByteArray, earlier);
        QFETCH(QString, selected);
        QFETCH(QByteArray, expected);
        QTemporaryDir dir;
        const QString path = dir.filePath("BootLoader.ini");
        if (!earlier.isEmpty()) {
            QVERIFY(WriteFile(path, earlier));
        }
        QVERIFY(SavePortMemory(path.toStdString(), selected.toStdString()));
        QCOMPARE(ReadAll(path), expected);
        // The temporary file of the replacement does not stay behind.
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{"BootLoader.ini"});
    }

    // What one exit writes, the next start reads back.
    void saveThenLoad_data() {
        QTest::addColumn<QString>("selected");
        QTest::addColumn<int>("expected");
        QTest::newRow("COM1 beside COM10") << "COM1" << 0;
        QTest::newRow("no selection keeps the first port") << "" << 0;
    }
    void saveThenLoad() {
        QFETCH(QString, selected);
        QFETCH(int, expected);
        QTemporaryDir dir;
        const std::string path = dir.filePath("vantrel/BootLoader.ini").toStdString();
        QVERIFY(SavePortMemory(path, selected.toStdString()));
        QCOMPARE(LoadPortMemory(path, {"COM1", "COM10", "COM2"}, 0), expected);
    }

    // A place that cannot take the file: the save reports false, leaves nothing behind and
    // does not throw, so the exit completes.
    void saveFails_data() {
        QTest::addColumn<QString>("kind");
        QTest::newRow("folder is a file") << "folder-is-file";
        QTest::newRow("path is a folder") << "path-is-folder";
    }
    void saveFails() {
        QFETCH(QString, kind);
        QTemporaryDir dir;
        QString path;
        if (kind == "folder-is-file") {
            QVERIFY(WriteFile(dir.filePath("vantrel"), "x"));
            path = dir.filePath("vantrel/BootLoader.ini");
        } else {
            QVERIFY(QDir(dir.path()).mkdir("BootLoader.ini"));
            path = dir.filePath("BootLoader.ini");
        }
        QVERIFY(!SavePortMemory(path.toStdString(), "COM3"));
        QCOMPARE(QDir(dir.path())
                     .entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden)
                     .size(),
                 1);
    }

    void path_data() {
        QTest::addColumn<QByteArray>("config");
        QTest::addColumn<QByteArray>("home");
        QTest::addColumn<QString>("expected");
        QTest::newRow("XDG_CONFIG_HOME")
            << QByteArray("/x/cfg") << QByteArray("/home/u") << "/x/cfg/vantrel/BootLoader.ini";
        QTest::newRow("unset: ~/.config")
            << QByteArray() << QByteArray("/home/u") << "/home/u/.config/vantrel/BootLoader.ini";
        QTest::newRow("relative is ignored") << QByteArray("cfg") << QByteArray("/home/u")
                                             << "/home/u/.config/vantrel/BootLoader.ini";
    }
    void path() {
        QFETCH(QByteArray, config);
        QFETCH(QByteArray, home);
        QFETCH(QString, expected);
        const QByteArray oldConfig = qgetenv("XDG_CONFIG_HOME");
        const QByteArray oldHome = qgetenv("HOME");
        if (config.isEmpty()) {
            qunsetenv("XDG_CONFIG_HOME");
        } else {
            qputenv("XDG_CONFIG_HOME", config);
        }
        qputenv("HOME", home);
        const QString got = QString::fromStdString(PortMemoryPath());
        qputenv("XDG_CONFIG_HOME", oldConfig);
        qputenv("HOME", oldHome);
        QCOMPARE(got, expected);
    }
};

QTEST_GUILESS_MAIN(PortMemoryTest)
#include "test_port_memory.moc"
