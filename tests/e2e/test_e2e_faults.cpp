// Faults on the instrument's side, on model 1: exit status, what the operator read, what the
// boot loader received, and the update record; and Ctrl-C in the middle of a transfer.

#include <signal.h>

#include "e2e_rig.h"

using namespace e2e;

class FaultsTest : public QObject {
    Q_OBJECT
private slots:
    void fault_data() {
        QTest::addColumn<QStringList>("simArgs");
        QTest::addColumn<QStringList>("functions");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("shown");  // a line the operator must have read
        QTest::addColumn<QStringList>("commands");
        QTest::addColumn<QStringList>("results");

        QTest::newRow("fault line at 5")
            << QStringList{"--fault-not-blank"} << QStringList{"download"} << 1
            << QByteArray("User Area Fault Check For User Area Memory NOT blank")
            << QStringList{"5", "7"} << QStringList{"download=-10"};
        QTest::newRow("block 2 refused twice, then taken")
            << QStringList{"--nak-block", "2", "--nak-count", "2"} << QStringList{"download"} << 0
            << QByteArray("!!! Download Completed !!!") << QStringList{"5", "00010000", "Y", "7"}
            << QStringList{"download=10240"};
    }
    void fault() {
        QFETCH(QStringList, simArgs);
        QFETCH(QStringList, functions);
        QFETCH(QByteArray, shown);
        Rig rig;
        const QByteArray image = RandomImage(10000, 3);
        const QString file = rig.Write("sample.upg", image);
        const QString record = rig.Path("record.jsonl");
        QVERIFY(rig.StartSim(QStringList{"--model", "1"} << simArgs));
        const RunResult run = rig.RunVantrel(
            QStringList{"--port", "COM7", "--file", file, "--record", record, "--wait", "30"}
            << functions);
        QVERIFY(run.finished);
        QTEST(run.exitCode, "exitCode");
        QVERIFY2(run.out.contains(shown), run.out.constData());
        const QJsonObject report = rig.StopSim();
        QFETCH(QStringList, commands);
        QCOMPARE(Commands(report), commands);
        const QJsonObject r = LastRecord(record);
        QTEST(FunctionResults(r), "results");
        QTEST(r["exit_status"].toInt(), "exitCode");

        // Every refusal the instrument sent is in the record as a repeat.
        int refused = 0;
        int repeats = 0;
        for (const auto& t : report["transfers"].toArray()) {
            for (const auto& b : t.toObject()["blocks"].toArray()) {
                refused += b.toObject()["answer"].toString() == "NAK" ? 1 : 0;
            }
        }
        for (const auto& t : r["transfers"].toArray()) {
            for (const auto& b : t.toObject()["repeats"].toArray()) {
                repeats += b.toObject()["repeats"].toInt();
            }
        }
        QCOMPARE(repeats, refused);
        if (report["image"].isObject()) {
            QCOMPARE(r["image"].toObject()["crc32"], report["image"].toObject()["crc32"]);
        }
    }

    // Ctrl-C during a transfer: out at once, the receiver cancelled on the real line.
    void interruptDuringTheTransfer() {
        Rig rig;
        const QString file = rig.Write("sample.upg", RandomImage(64 * 1024, 5));
        const QString record = rig.Path("record.jsonl");
        QVERIFY(rig.StartSim({"--model", "1", "--blank", "--baud", "19200"}));
        auto vantrel = rig.StartVantrel(
            {"--port", "COM7", "--file", file, "--record", record, "--wait", "30", "download"});
        QVERIFY(vantrel->WaitForOutput("  0/65536 B"));
        QThread::msleep(500);
        QElapsedTimer timer;
        timer.start();
        ::kill(static_cast<pid_t>(vantrel->Process().processId()), SIGINT);
        const RunResult run = vantrel->Finish();
        QCOMPARE(run.exitCode, 130);
        // Seen within 0.1 s; the cancel then waits for 1 s of quiet.
        QVERIFY2(timer.elapsed() < 3000, QByteArray::number(timer.elapsed()));
        QVERIFY2(run.out.endsWith("Interrupted.\n"), run.out.constData());
        QVERIFY(!run.out.contains("!!! Download"));
        const QJsonObject report = rig.StopSim();
        const QJsonObject transfer = report["transfers"].toArray().at(0).toObject();
        QCOMPARE(transfer["end"].toString(), QString("cancelled by sender"));
        const QJsonObject r = LastRecord(record);
        QCOMPARE(r["exit_status"].toInt(), 130);
        QCOMPARE(r["functions"].toArray().at(0).toObject()["outcome"].toString(),
                 QString("Interrupted."));
    }
};

QTEST_GUILESS_MAIN(FaultsTest)
#include "test_e2e_faults.moc"
