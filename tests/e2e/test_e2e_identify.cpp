// The port list, the remembered port, and ports that cannot be used.

#include <QFileInfo>

#include "e2e_rig.h"

using namespace e2e;

class IdentifyTest : public QObject {
    Q_OBJECT
private slots:
    // The alias is listed; without --port the remembered port is used, and its file only read.
    void remembersThePortWithoutWritingIt() {
        Rig rig;
        QVERIFY(rig.StartSim({"--model", "2"}, "COM12"));
        const RunResult ports = rig.RunVantrel({"ports"});
        QCOMPARE(ports.exitCode, 0);
        QVERIFY2(ports.out.contains("COM12 " + rig.Pty().toLatin1() + "\n"),
                 ports.out.constData());
        const QString memory = rig.Write("config/vantrel/BootLoader.ini", "com12\n");
        QVERIFY(!memory.isEmpty());
        const QDateTime written = QFileInfo(memory).lastModified();
        const RunResult run = rig.RunVantrel({"--wait", "20"});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.contains("Instrument model 2 on COM12 (" + rig.Pty().toLatin1() + ")"),
                 run.out.constData());
        QCOMPARE(QFileInfo(memory).lastModified(), written);
        QCOMPARE(Commands(rig.StopSim()), QStringList{"7"});
    }

    // Nothing is opened but the port given or the very name remembered; otherwise the operator
    // is told why. "COM6" begins COM64's name but is not it.
    void refused_data() {
        QTest::addColumn<QByteArray>("memory");  // empty: no BootLoader.ini
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("status");
        QTest::addColumn<QByteArray>("told");
        const QByteArray choose = "choose one with --port (\"vantrel ports\" lists them)";
        QTest::newRow("nothing remembered") << QByteArray() << QStringList() << 2 << choose;
        QTest::newRow("remembered name gone from the list")
            << QByteArray("COM6\n") << QStringList() << 2 << choose;
        QTest::newRow("COM name with no device, --json")
            << QByteArray() << QStringList{"--port", "COM42", "--json"} << 4
            << QByteArray("COM42 stands for no serial port");
        QTest::newRow("not a serial port") << QByteArray() << QStringList{"--port", "/dev/null"}
                                           << 4 << QByteArray("not a serial port");
    }
    void refused() {
        QFETCH(QByteArray, memory);
        QFETCH(QStringList, args);
        QFETCH(int, status);
        QFETCH(QByteArray, told);
        Rig rig;
        QVERIFY(rig.StartSim({"--model", "0"}, "COM64"));
        if (!memory.isEmpty()) {
            QVERIFY(!rig.Write("config/vantrel/BootLoader.ini", memory).isEmpty());
        }
        const QString record = rig.Path("record.jsonl");
        const RunResult run = rig.RunVantrel(args + QStringList{"--wait", "2", "--record", record});
        QCOMPARE(run.exitCode, status);
        QVERIFY2(run.err.contains(told), run.err.constData());
        QCOMPARE(Records(record).last()["exit_status"].toInt(), status);
        QVERIFY(!Records(record).last()["error"].toString().isEmpty());
        QCOMPARE(Commands(rig.StopSim()), QStringList());
        // --json: the outcome and the summary on stdout, the rest on stderr.
        const QList<QByteArray> lines = run.out.trimmed().split('\n');
        if (args.contains("--json")) {
            QCOMPARE(lines.size(), 2);
            const QJsonObject outcome = QJsonDocument::fromJson(lines[0]).object();
            const QJsonObject summary = QJsonDocument::fromJson(lines[1]).object();
            QVERIFY(outcome["event"] == "outcome" && outcome["ok"] == false &&
                    outcome["text"].toString().contains(told) && outcome["port"] == "COM42");
            QVERIFY(summary["event"] == "summary" && summary["exit_status"] == status &&
                    summary["handled"] == 0);
        }
    }
};

QTEST_GUILESS_MAIN(IdentifyTest)
#include "test_e2e_identify.moc"
