// The port list, the remembered port, and unusable ports.

#include <QFileInfo>

#include "e2e_rig.h"

using namespace e2e;

class IdentifyTest : public QObject {
    Q_OBJECT
private slots:
    void portsListsTheAlias() {
        Rig rig;
        QVERIFY(rig.StartSim({"--model", "0"}, "COM12"));
        const RunResult run = rig.RunVantrel({"ports"});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.contains("COM12  " + rig.Pty().toLatin1() + "\n"), run.out.constData());
    }

    // Without --port the remembered port is used, and its file only read.
    void remembersThePortWithoutWritingIt() {
        Rig rig;
        QVERIFY(rig.StartSim({"--model", "2"}, "COM9"));
        const QString memory = rig.Write("config/vantrel/BootLoader.ini", "com9\n");
        QVERIFY(!memory.isEmpty());
        const QDateTime written = QFileInfo(memory).lastModified();
        const RunResult run = rig.RunVantrel({"--wait", "20"});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.contains("Instrument model 2 on COM9 (" + rig.Pty().toLatin1() + ")"),
                 run.out.constData());
        QCOMPARE(QFileInfo(memory).lastModified(), written);
        QCOMPARE(Commands(rig.StopSim()), QStringList{"7"});
    }

    // Without --port only the very name remembered is opened; otherwise nothing, and the
    // operator is told to choose. "COM6" begins COM64's name but is not it.
    void noPortChosen_data() {
        QTest::addColumn<QByteArray>("memory");  // empty: no BootLoader.ini
        QTest::newRow("nothing remembered") << QByteArray();
        QTest::newRow("remembered name gone from the list") << QByteArray("COM6\n");
    }
    void noPortChosen() {
        QFETCH(QByteArray, memory);
        Rig rig;
        QVERIFY(rig.StartSim({"--model", "0"}, "COM64"));
        if (!memory.isEmpty()) {
            QVERIFY(!rig.Write("config/vantrel/BootLoader.ini", memory).isEmpty());
        }
        const RunResult run = rig.RunVantrel({"--wait", "2"});
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains("--port") && run.err.contains("\"vantrel ports\""),
                 run.err.constData());
        QVERIFY(run.out.isEmpty());
    }

    void unusablePort_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<QByteArray>("told");
        QTest::newRow("COM name with no device")
            << QStringList{"--port", "COM42"} << QByteArray("COM42 stands for no serial port");
        QTest::newRow("not a serial port")
            << QStringList{"--port", "/dev/null"} << QByteArray("not a serial port");
    }
    void unusablePort() {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, told);
        Rig rig;
        const QString record = rig.Path("record.jsonl");
        const RunResult run = rig.RunVantrel(args << "--record" << record);
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 4);
        QVERIFY2(run.err.contains(told), run.err.constData());
        QCOMPARE(LastRecord(record)["exit_status"].toInt(), 4);
        QVERIFY(!LastRecord(record)["error"].toString().isEmpty());
    }
};

QTEST_GUILESS_MAIN(IdentifyTest)
#include "test_e2e_identify.moc"
