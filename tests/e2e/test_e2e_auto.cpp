// `vantrel auto restart` against each model, blank and programmed: the menu dialogue, the
// image received and the update record, checked against the simulator's report. And Ctrl-C in
// the middle of a transfer: exit status, what the operator read, what the boot loader received
// (the record of an interrupted run is the console tests' concern).

#include <signal.h>

#include "e2e_rig.h"

using namespace e2e;

class AutoRestartTest : public QObject {
    Q_OBJECT
private slots:
    void autoRestart_data() {
        QTest::addColumn<int>("model");
        QTest::addColumn<bool>("blank");
        QTest::addColumn<int>("size");
        QTest::newRow("model 2, programmed, 3000 bytes") << 2 << false << 3000;
        QTest::newRow("model 0, blank, 100 KiB") << 0 << true << 100 * 1024;
    }
    void autoRestart() {
        QFETCH(int, model);
        QFETCH(bool, blank);
        QFETCH(int, size);
        Rig rig;
        const QByteArray image = RandomImage(size, static_cast<quint32>(size));
        const QByteArray sent = Padded(image);
        const QString file = rig.Write("sample.upg", image);
        const QString record = rig.Path("record.jsonl");
        QVERIFY(
            rig.StartSim({"--model", QString::number(model), blank ? "--blank" : "--not-blank"}));

        const RunResult run = rig.RunVantrel({"--port", "COM7", "--file", file, "--record", record,
                                              "--wait", "30", "auto", "restart"});
        QCOMPARE(run.exitCode, 0);
        const qsizetype completed = run.out.indexOf("\n!!! Download Completed !!!\n");
        QVERIFY2(completed > 0, run.out.constData());
        QVERIFY(run.out.indexOf("\n!!! Restarting !!!\n") > completed);

        const QJsonObject report = rig.StopSim();
        const QString address = model == 2 ? "00000000" : "00010000";
        QStringList expected = blank ? QStringList{"2", "1"} : QStringList{"2", "1", "3", "Y"};
        expected += QStringList{"5", address, "Y", "6", "Y"};
        QCOMPARE(Commands(report), expected);
        QCOMPARE(report["user_area"].toString(), QString("programmed"));
        const QJsonObject transfer = report["transfers"].toArray().at(0).toObject();
        QCOMPARE(transfer["mode"].toString(), QString("crc"));
        QCOMPARE(transfer["end"].toString(), QString("completed"));

        const QJsonObject r = Records(record).last();
        QCOMPARE(r["exit_status"].toInt(), 0);
        QCOMPARE(r["model"].toInt(), model);
        QCOMPARE(r["port"].toObject()["device"].toString(), rig.Pty());
        QCOMPARE(r["image"].toObject()["crc32"], report["image"].toObject()["crc32"]);
        const QJsonObject mine = r["transfers"].toArray().at(0).toObject();
        QCOMPARE(mine["frames_sent"].toInt(), transfer["blocks"].toArray().size());
        QCOMPARE(mine["result"].toInt(), sent.size());
        const QJsonDocument functions = QJsonDocument::fromJson(R"([
            {"name": "auto", "result": 0, "outcome": "!!! Download Completed !!!", "reason": null},
            {"name": "restart", "result": 0, "outcome": "!!! Restarting !!!", "reason": null}])");
        QCOMPARE(r["functions"].toArray(), functions.array());
        QCOMPARE(r["status"].toArray().last().toObject()["text"].toString(),
                 QString("Connection Lost - Reset the Instrument"));
    }

    // Ctrl-C during a transfer on model 1: out at once, the receiver cancelled on the real line.
    void interruptDuringTheTransfer() {
        Rig rig;
        const QString file = rig.Write("sample.upg", RandomImage(64 * 1024, 5));
        QVERIFY(rig.StartSim({"--model", "1", "--blank", "--baud", "19200"}));
        rig.StartVantrel({"--port", "COM7", "--file", file, "--wait", "30", "download"});
        QVERIFY(rig.program.WaitForOutput("  0/65536 B"));
        QThread::msleep(500);
        QElapsedTimer timer;
        timer.start();
        ::kill(static_cast<pid_t>(rig.program.Process().processId()), SIGINT);
        const RunResult run = rig.program.Finish();
        QCOMPARE(run.exitCode, 130);
        // Seen within 0.1 s; the cancel then waits for 1 s of quiet.
        QVERIFY2(timer.elapsed() < 3000, QByteArray::number(timer.elapsed()));
        QVERIFY2(run.out.endsWith("Interrupted.\n"), run.out.constData());
        QVERIFY(!run.out.contains("!!! Download"));
        const QJsonObject transfer = rig.StopSim()["transfers"].toArray().at(0).toObject();
        QCOMPARE(transfer["end"].toString(), QString("cancelled by sender"));
    }
};

QTEST_GUILESS_MAIN(AutoRestartTest)
#include "test_e2e_auto.moc"
