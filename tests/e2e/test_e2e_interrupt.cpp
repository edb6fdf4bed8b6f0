// Ctrl-C leaves at once and cleanly; during a transfer the receiver is cancelled.

#include <signal.h>

#include "e2e_rig.h"

using namespace e2e;

class InterruptTest : public QObject {
    Q_OBJECT
private slots:
    void duringTheTransfer() {
        Rig rig;
        const QString file = rig.WriteFile("sample.upg", PseudoRandom(64 * 1024, 5));
        const QString record = rig.Path("record.jsonl");
        QVERIFY(rig.StartSim({"--model", "1", "--blank", "--baud", "19200"}));
        auto vantrel = rig.StartVantrel(
            {"--port", "COM7", "--file", file, "--record", record, "--wait", "30", "download"});
        QByteArray seen;
        QVERIFY(Rig::WaitForOutput(*vantrel, "  0/65536 B", seen));
        QThread::msleep(500);
        QElapsedTimer timer;
        timer.start();
        ::kill(static_cast<pid_t>(vantrel->processId()), SIGINT);
        const RunResult run = Rig::Finish(*vantrel);
        seen += run.out;
        QCOMPARE(run.exitCode, 130);
        // Seen within 0.1 s; the cancel then waits for 1 s of quiet.
        QVERIFY2(timer.elapsed() < 3000, QByteArray::number(timer.elapsed()));
        QVERIFY2(seen.endsWith("Interrupted.\n"), seen.constData());
        QVERIFY(!seen.contains("!!! Download"));

        const QJsonObject report = rig.StopSim();
        const QJsonObject transfer = report["transfers"].toArray().at(0).toObject();
        QCOMPARE(transfer["end"].toString(), QString("cancelled by sender"));
        QVERIFY(!transfer["completed"].toBool());
        const QJsonObject r = Rig::LastRecord(record);
        QCOMPARE(r["exit_status"].toInt(), 130);
        QCOMPARE(r["functions"].toArray().at(0).toObject()["outcome"].toString(),
                 QString("Interrupted."));
    }

    void duringASilentWait() {
        Rig rig;
        QVERIFY(rig.StartSim({"--model", "0", "--silent-from", "1"}));
        auto vantrel = rig.StartVantrel({"--port", "COM7", "--wait", "60", "blank-check"});
        QByteArray seen;
        QVERIFY(Rig::WaitForOutput(*vantrel, "Blank checking user area...", seen));
        QElapsedTimer timer;
        timer.start();
        ::kill(static_cast<pid_t>(vantrel->processId()), SIGINT);
        const RunResult run = Rig::Finish(*vantrel);
        QCOMPARE(run.exitCode, 130);
        QVERIFY2(timer.elapsed() < 1500, QByteArray::number(timer.elapsed()));
        QVERIFY(run.err.isEmpty());
    }
};

QTEST_GUILESS_MAIN(InterruptTest)
#include "test_e2e_interrupt.moc"
