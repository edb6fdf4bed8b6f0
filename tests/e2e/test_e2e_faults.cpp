// Faults on the instrument's side, on model 1: exit status, what the operator read, what the
// boot loader received, and the update record.

#include <QFile>

#include "e2e_rig.h"

using namespace e2e;

namespace {

QStringList FunctionResults(const QJsonObject& record) {
    QStringList list;
    for (const auto& f : record["functions"].toArray()) {
        const QJsonObject o = f.toObject();
        list << o["name"].toString() + "=" +
                    (o["result"].isNull() ? QString("null") : QString::number(o["result"].toInt()));
    }
    return list;
}

}  // namespace

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
        // After a cancel the boot loader clears its line for a second: the exit may be lost.
        QTest::addColumn<bool>("exitMayBeLost");

        QTest::newRow("protected sectors: nothing after 2 but the exit")
            << QStringList{"--protected"} << QStringList{"auto", "restart"} << 1
            << QByteArray("!!! Download ABORTED !!!") << QStringList{"2", "7"}
            << QStringList{"auto=1"} << false;
        QTest::newRow("fault line at 5")
            << QStringList{"--fault-not-blank"} << QStringList{"download"} << 1
            << QByteArray("User Area Fault Check For User Area Memory NOT blank")
            << QStringList{"5", "7"} << QStringList{"download=-10"} << false;
        QTest::newRow("erase fails at block 3")
            << QStringList{"--erase-fail-at", "3"} << QStringList{"erase", "download"} << 1
            << QByteArray("Erasing block 03") << QStringList{"3", "Y", "7"}
            << QStringList{"erase=1"} << false;
        QTest::newRow("cable pulled at the blank check: connection lost")
            << QStringList{"--silent-from", "1"} << QStringList{"auto", "restart"} << 1
            << QByteArray("Blank checking user area...\nConnection Lost - Reset the Instrument\n")
            << QStringList{"2", "1"} << QStringList{"auto=1"} << false;
        QTest::newRow("receiver cancels at block 3")
            << QStringList{"--cancel-at-block", "3"} << QStringList{"download", "restart"} << 1
            << QByteArray("!!! Download ABORTED !!!") << QStringList{"5", "00010000", "Y", "7"}
            << QStringList{"download=-1"} << true;
        QTest::newRow("block 2 refused twice, then taken")
            << QStringList{"--nak-block", "2", "--nak-count", "2"} << QStringList{"download"} << 0
            << QByteArray("!!! Download Completed !!!") << QStringList{"5", "00010000", "Y", "7"}
            << QStringList{"download=10240"} << false;
        QTest::newRow("checksum mode")
            << QStringList{"--checksum"} << QStringList{"download"} << 0
            << QByteArray("!!! Download Completed !!!") << QStringList{"5", "00010000", "Y", "7"}
            << QStringList{"download=10240"} << false;
    }
    void fault() {
        QFETCH(QStringList, simArgs);
        QFETCH(QStringList, functions);
        QFETCH(QByteArray, shown);
        Rig rig;
        const QByteArray image = PseudoRandom(10000, 3);
        const QString file = rig.WriteFile("sample.upg", image);
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
        QFETCH(bool, exitMayBeLost);
        QStringList seen = Commands(report);
        if (exitMayBeLost && seen.size() + 1 == commands.size() && commands.last() == "7") {
            seen << "7";
        }
        QCOMPARE(seen, commands);
        const QJsonObject r = Rig::LastRecord(record);
        QTEST(FunctionResults(r), "results");
        QTEST(r["exit_status"].toInt(), "exitCode");

        const QJsonArray theirs = report["transfers"].toArray();
        const QJsonArray mine = r["transfers"].toArray();
        QCOMPARE(mine.size(), theirs.size());
        for (int t = 0; t < theirs.size(); ++t) {
            const QJsonObject sim = theirs[t].toObject();
            const QJsonObject ours = mine[t].toObject();
            QCOMPARE(ours["check"].toString(), sim["mode"].toString());
            QCOMPARE(ours["frames_sent"].toInt(), sim["blocks"].toArray().size());
            int refused = 0;
            for (const auto& b : sim["blocks"].toArray()) {
                refused += b.toObject()["answer"].toString() == "NAK" ? 1 : 0;
            }
            int repeats = 0;
            for (const auto& b : ours["repeats"].toArray()) {
                repeats += b.toObject()["repeats"].toInt();
            }
            QCOMPARE(repeats, refused);
        }
        if (report["image"].isObject()) {
            QCOMPARE(r["image"].toObject()["crc32"].toString(),
                     report["image"].toObject()["crc32"].toString());
        }
    }

    // The file removed during the download menu: aborted, the receiver cancelled.
    void targetVanishesBeforeTheTransfer() {
        Rig rig;
        const QString file = rig.WriteFile("sample.upg", PseudoRandom(4096, 9));
        const QString record = rig.Path("record.jsonl");
        QVERIFY(rig.StartSim({"--model", "1", "--slow", "1500"}));
        auto vantrel = rig.StartVantrel(
            {"--port", "COM7", "--file", file, "--record", record, "--wait", "30", "download"});
        QByteArray seen;
        QVERIFY(Rig::WaitForOutput(*vantrel, "Downloading ", seen));
        QVERIFY(QFile::remove(file));
        const RunResult run = Rig::Finish(*vantrel);
        seen += run.out;
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(seen.contains("Cannot open " + file.toLatin1()), seen.constData());
        QVERIFY(seen.contains("\n!!! Download ABORTED !!!\n"));
        const QJsonObject report = rig.StopSim();
        // The menu reads the CANs after the first and, unless closed first, the exit.
        QStringList commands = Commands(report);
        QCOMPARE(commands.mid(0, 3), (QStringList{"5", "00010000", "Y"}));
        if (commands.last() == "7") {
            commands.removeLast();
        }
        QVERIFY(commands.size() > 3);
        for (const QString& c : commands.mid(3)) {
            QCOMPARE(c, QString("\x18"));
        }
        const QJsonObject transfer = report["transfers"].toArray().at(0).toObject();
        QCOMPARE(transfer["end"].toString(), QString("cancelled by sender"));
        QVERIFY(transfer["blocks"].toArray().isEmpty());
        QCOMPARE(FunctionResults(Rig::LastRecord(record)), QStringList{"download=-12"});
    }
};

QTEST_GUILESS_MAIN(FaultsTest)
#include "test_e2e_faults.moc"
