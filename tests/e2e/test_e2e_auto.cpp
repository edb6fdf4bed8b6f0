// `vantrel auto restart` against each model, blank and programmed: the menu dialogue, the
// image received, the update record and the wire trace, checked against the simulator's
// report; the trace of a block the instrument refused once, and of whole frames. A signal in
// the middle of a transfer, and the image replaced after the start: exit status, what the
// operator read, what the boot loader received, and what the record says of it.

#include <signal.h>

#include <QCryptographicHash>

#include "e2e_rig.h"

using namespace e2e;

class AutoRestartTest : public QObject {
    Q_OBJECT
private slots:
    void autoRestart_data() {
        QTest::addColumn<int>("model");
        QTest::addColumn<bool>("blank");
        QTest::addColumn<int>("size");
        QTest::addColumn<QStringList>("fault");   // the simulator's
        QTest::addColumn<QStringList>("detail");  // of the trace
        QTest::addColumn<QStringList>("traced");  // the transfer's lines in the trace, in order
        QTest::newRow("model 2, programmed, 3000 bytes")
            << 2 << false << 3000 << QStringList{"--nak-block", "3"} << QStringList{}
            << QStringList{"-> block 3, 1024 bytes, CRC 0x", "<- NAK",
                           "-> block 3, sending 2, 1024 bytes, CRC 0x", "<- ACK", "-> EOT"};
        // Whole frames: STX, the block's number and its complement, the data, the CRC.
        QTest::newRow("model 0, blank, 100 KiB")
            << 0 << true << 100 * 1024 << QStringList{} << QStringList{"--trace-bytes"}
            << QStringList{": 02 01 FE " + RandomImage(1024, 100 * 1024).toHex(' ').toUpper(),
                           "<- ACK", "-> EOT"};
    }
    void autoRestart() {
        QFETCH(int, model);
        QFETCH(bool, blank);
        QFETCH(int, size);
        QFETCH(QStringList, fault);
        QFETCH(QStringList, detail);
        Rig rig;
        const QByteArray image = RandomImage(size, static_cast<quint32>(size));
        const QByteArray sent = Padded(image);
        const QString file = rig.Write("sample.upg", image);
        const QString record = rig.Path("record.jsonl");
        const QString trace = rig.Path("run.trace");
        QVERIFY(rig.StartSim(
            QStringList{"--model", QString::number(model), blank ? "--blank" : "--not-blank"} +
            fault));

        const RunResult run = rig.RunVantrel(QStringList{"--port", "COM7", "--file", file,
                                                         "--record", record, "--wait", "30",
                                                         "--trace", trace, "auto", "restart"} +
                                             detail);
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

        // The run's wire trace, named by the record, from the port's opening to its closing.
        QCOMPARE(r["trace"].toString(), trace);
        QFETCH(QStringList, traced);
        const QString missing = MissingInOrder(
            QString::fromLatin1(ReadFile(trace)),
            QStringList{"# Vantrel wire trace of COM7 (" + rig.Pty() + ")", "-- open " + rig.Pty(),
                        "== transfer begun"} +
                traced + QStringList{"== restart ended: done", "-- close " + rig.Pty()});
        QVERIFY2(missing.isEmpty(), qPrintable(missing.left(3000)));
    }

    // Ctrl-C, SIGTERM (a service manager's stop) or SIGHUP (the terminal closed) during a
    // transfer on model 1: the receiver is cancelled on the real line, the record tells the
    // interrupted transfer as it was, and the status names the signal.
    void signalDuringTheTransfer_data() {
        QTest::addColumn<int>("signal");
        QTest::newRow("SIGINT") << SIGINT;
        QTest::newRow("SIGTERM") << SIGTERM;
        QTest::newRow("SIGHUP") << SIGHUP;
    }
    void signalDuringTheTransfer() {
        QFETCH(int, signal);
        Rig rig;
        const QString file = rig.Write("sample.upg", RandomImage(64 * 1024, 5));
        const QString record = rig.Path("record.jsonl");
        QVERIFY(rig.StartSim({"--model", "1", "--blank", "--baud", "19200"}));
        rig.StartVantrel(
            {"--port", "COM7", "--file", file, "--wait", "30", "--record", record, "download"});
        QVERIFY(rig.program.WaitForOutput("  0/65536 B"));
        QThread::msleep(500);
        QElapsedTimer timer;
        timer.start();
        ::kill(static_cast<pid_t>(rig.program.Process().processId()), signal);
        const RunResult run = rig.program.Finish();
        QCOMPARE(run.exitCode, 128 + signal);
        // Seen within 0.1 s; the cancel then waits for 1 s of quiet.
        QVERIFY2(timer.elapsed() < 3000, QByteArray::number(timer.elapsed()));
        QVERIFY2(run.out.endsWith("Interrupted.\n"), run.out.constData());
        QVERIFY(!run.out.contains("!!! Download"));
        const QJsonObject received = rig.StopSim()["transfers"].toArray().at(0).toObject();
        QCOMPARE(received["end"].toString(), QString("cancelled by sender"));

        const QJsonObject r = Records(record).last();
        QCOMPARE(r["exit_status"].toInt(), 128 + signal);
        const QJsonObject sent = r["transfers"].toArray().at(0).toObject();
        QCOMPARE(sent["result"].toInt(), -8);
        QCOMPARE(sent["repeats"].toArray(), QJsonArray());
        QCOMPARE(sent["frames_sent"].toInt(), received["blocks"].toArray().size());
    }

    // The image replaced by another after the start (cp other.upg sample.upg): before the
    // download it is refused, during the transfer the receiver is cancelled before the end
    // (EOT), so nothing of the other image counts as sent; never completed,
    // and the record names the image read at the start. Before the download: while the blank
    // check waits a second for its answer.
    void imageReplaced_data() {
        QTest::addColumn<bool>("duringTransfer");
        QTest::newRow("before the download") << false;
        QTest::newRow("during the transfer") << true;
    }
    void imageReplaced() {
        QFETCH(bool, duringTransfer);
        Rig rig;
        const QByteArray image = RandomImage(8 * 1024, 5);
        const QString file = rig.Write("sample.upg", image);
        const QString record = rig.Path("record.jsonl");
        QVERIFY(rig.StartSim(duringTransfer ? QStringList{"--model", "1", "--baud", "19200"}
                                            : QStringList{"--model", "1", "--slow", "1000"}));
        QStringList args = {"--port", "COM7", "--file", file, "--wait", "30", "--record", record};
        args << (duringTransfer ? QStringList{"auto", "restart"}
                                : QStringList{"blank-check", "auto", "restart"});
        rig.StartVantrel(args);
        QVERIFY(rig.program.WaitForOutput(duringTransfer ? "  0/8192 B"
                                                         : "Blank checking user area..."));
        QVERIFY(!rig.Write("other.upg", RandomImage(8 * 1024, 6)).isEmpty());
        QVERIFY(QFile::remove(file) && QFile::rename(rig.Path("other.upg"), file));
        const RunResult run = rig.program.Finish();
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.out.contains("Target file changed since it was read at the start"),
                 run.out.constData());
        QVERIFY(!run.out.contains("Completed"));
        const QJsonObject report = rig.StopSim();
        QVERIFY(report["user_area"].toString() != "programmed");

        const QJsonObject r = Records(record).last();
        QCOMPARE(r["exit_status"].toInt(), 1);
        QCOMPARE(r["image"].toObject()["size"].toInt(), image.size());
        QCOMPARE(r["image"].toObject()["sha256"].toString().toLatin1(),
                 QCryptographicHash::hash(Padded(image), QCryptographicHash::Sha256).toHex());
        if (duringTransfer) {
            QCOMPARE(r["transfers"].toArray().at(0).toObject()["result"].toInt(), -6);
            QCOMPARE(report["transfers"].toArray().at(0).toObject()["end"].toString(),
                     QString("cancelled by sender"));
        } else {
            QCOMPARE(Commands(report), (QStringList{"1", "7"}));
            QVERIFY(r["transfers"].toArray().isEmpty());
        }
    }
};

QTEST_GUILESS_MAIN(AutoRestartTest)
#include "test_e2e_auto.moc"
