// Ctrl-C in the middle of a transfer on model 1: exit status, what the operator read, what the
// boot loader received, and the update record. (The boot loader's own faults are played by the
// scripted boot loader of the session tests.)

#include <signal.h>

#include "e2e_rig.h"

using namespace e2e;

class FaultsTest : public QObject {
    Q_OBJECT
private slots:
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
