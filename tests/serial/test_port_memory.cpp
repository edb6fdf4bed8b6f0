#include <sys/stat.h>

#include <QDir>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>

#include "images.h"
#include "serial/port_memory.h"

using namespace vantrel;
using namespace vantrel::test;

using Entries = std::vector<std::string>;
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
        QTest::newRow("white space only keeps the selection")
            << QByteArray(" \t\r\n\v\f ") << three << 2 << 2;
        QTest::newRow("COM3 then COM5 unlisted: none")
            << QByteArray("COM3\nCOM5\n") << Entries{"COM1", "COM3"} << 0 << -1;
        QTest::newRow("mixed case") << QByteArray("cOm5") << three << 0 << 2;
        QTest::newRow("COM10 beside COM1 picks COM10") << QByteArray("COM10\n") << oneTen << 0 << 1;
        QTest::newRow("bare COM picks the first entry") << QByteArray("COM\n") << oneTen << 2 << 0;
        QTest::newRow("token longer than every entry")
            << QByteArray("COM10\n") << Entries{"COM1", "COM2"} << 0 << -1;
        QTest::newRow("huge token, then a listed name")
            << (QByteArray(1 << 20, 'C') + "\nCOM5\n") << three << 0 << 2;
    }
    void load() {
        QFETCH(QByteArray, content);
        QFETCH(Entries, entries);
        QFETCH(int, before);
        QTemporaryDir dir;
        const QString path = dir.filePath("BootLoader.ini");
        QVERIFY(WriteFile(path, content));
        QTEST(LoadPortMemory(path.toStdString(), entries, before), "expected");
    }

    // A FIFO at the path: the selection that the port list made stays, and nothing blocks
    // (reading it would wait for a writer forever).
    void loadFromFifo() {
        QTemporaryDir dir;
        const QString path = dir.filePath("BootLoader.ini");
        QCOMPARE(::mkfifo(QFile::encodeName(path).constData(), 0600), 0);
        QCOMPARE(LoadPortMemory(path.toStdString(), {"COM1", "COM3"}, 1), 1);
    }

    // The file is replaced whole, and the temporary file of the replacement does not stay.
    void save() {
        QTemporaryDir dir;
        const QString path = dir.filePath("BootLoader.ini");
        QVERIFY(WriteFile(path, "COM10\nCOM11 and some more text\n"));
        QVERIFY(SavePortMemory(path.toStdString(), "COM3"));
        QCOMPARE(ReadFile(path), QByteArray("COM3\n"));
        QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden),
                 QStringList{"BootLoader.ini"});
    }

    // A save that cannot be done changes nothing and says so.
    void saveFails() {
        QTemporaryDir dir;
        QVERIFY(WriteFile(dir.filePath("vantrel"), "x"));
        QVERIFY(!SavePortMemory(dir.filePath("vantrel/BootLoader.ini").toStdString(), "COM3"));
        QCOMPARE(QDir(dir.path())
                     .entryList(QDir::Files | QDir::Dirs | QDir::NoDotAndDotDot | QDir::Hidden)
                     .size(),
                 1);
    }
};

QTEST_GUILESS_MAIN(PortMemoryTest)
#include "test_port_memory.moc"
