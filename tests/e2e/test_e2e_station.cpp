// `vantrel station` serving several simulated instruments at once over pseudo-terminals: each
// port's dialogue and image, the record, a failing port beside good ones, an image changed
// under the station, a port pulled and brought back.

#include "e2e_rig.h"

using namespace e2e;

namespace {

struct Station : Rig {
    void Start(const QStringList& ports, const QStringList& extra) {
        QStringList args{"station", "--file", file, "--record", Path("record.jsonl")};
        for (const QString& port : ports) {
            args << "--port" << port;
        }
        StartVantrel(args + extra);
    }
    // Until the `n`th "PORT: Waiting for an instrument", looked for every few milliseconds:
    // the instrument is reset as soon as the operator is told to.
    bool AwaitWaiting(const QString& port, int n) {
        const QByteArray text = port.toLatin1() + ": Waiting for an instrument";
        const QDeadlineTimer deadline(kRunLimitMs);
        while (program.Seen().count(text) < n) {
            if (deadline.hasExpired() || program.Process().state() != QProcess::Running) {
                return false;
            }
            program.WaitForOutput("\x01", 5);  // never printed: reads for 5 ms
        }
        return true;
    }
    // Every record's port name and exit status, sorted.
    QStringList Outcomes() const {
        QStringList list;
        for (const QJsonObject& r : Records(Path("record.jsonl"))) {
            list << r["port"].toObject()["name"].toString() + "=" +
                        QString::number(r["exit_status"].toInt());
        }
        list.sort();
        return list;
    }

    QByteArray image = RandomImage(3000);
    QString file = Write("image.upg", image);
};

// Beside the record, a trace file for each failed instrument, named by its record line and
// holding its part of the line (the first failed: `said`); none for a successful one.
void CheckTraceFiles(const Station& s, const QString& said) {
    QStringList named;
    for (const QJsonObject& r : Records(s.Path("record.jsonl"))) {
        const QString trace = r["trace"].toString();
        QCOMPARE(trace.isEmpty(), r["exit_status"].toInt() == 0);
        QVERIFY(trace.isEmpty() || !named.isEmpty() || ReadFile(trace).contains(said.toLatin1()));
        named << QFileInfo(trace).fileName();
    }
    named.removeAll({});
    named.sort();
    // The station's names, "<UTC time>-<port>.trace" (the simulators' traces are there too).
    QCOMPARE(QDir(s.Path({})).entryList({"*Z-*.trace"}, QDir::Files, QDir::Name), named);
}

}  // namespace

class StationTest : public QObject {
    Q_OBJECT
private slots:
    void threePortsServeSixInstruments() {
        Station s;
        const QStringList ports{"COM7", "COM8", "COM9"};
        for (int model = 0; model < 3; ++model) {
            s.AddSim(ports[model], {"--model", QString::number(model)});
        }
        QVERIFY(s.simsStarted);
        s.Start(ports, {"--count", "6", "--wait", "60"});
        for (int round = 1; round <= 2; ++round) {
            for (int i = 0; i < 3; ++i) {
                QVERIFY(s.AwaitWaiting(ports[i], round));
                s.sims[i]->Command("reset");
            }
        }
        const RunResult run = s.program.Finish();
        QCOMPARE(run.exitCode, 0);
        // Three serial ports on threads of their own, and not a word from Qt about it.
        QVERIFY2(run.err.isEmpty(), run.err.constData());
        QCOMPARE(s.Outcomes(),
                 (QStringList{"COM7=0", "COM7=0", "COM8=0", "COM8=0", "COM9=0", "COM9=0"}));
        for (int model = 0; model < 3; ++model) {
            const QStringList one{"2", "1", "3", "Y", "5", model == 2 ? "00000000" : "00010000",
                                  "Y", "6", "Y"};
            QCOMPARE(Commands(s.sims[model]->Report()), one + one);
            QCOMPARE(s.sims[model]->Image(), Padded(s.image));
        }
    }

    // A failing instrument leaves the others alone; an image changed under the station is
    // refused before anything is asked of the boot loader.
    void failingPortLeavesOthersAlone() {
        Station s;
        s.AddSim("COM7", {"--model", "0", "--protected"});
        s.AddSim("COM8", {"--model", "1"});
        QVERIFY(s.simsStarted);
        s.Start({"COM7", "COM8"}, {"--count", "3", "--wait", "60"});
        QVERIFY(s.AwaitWaiting("COM7", 1) && s.AwaitWaiting("COM8", 1));
        s.sims[0]->Command("reset");
        // The other instrument is reset only once the first has failed.
        QVERIFY(s.program.WaitForOutput("COM7 model 0: !!! Download ABORTED !!!"));
        s.sims[1]->Command("reset");
        QVERIFY(s.AwaitWaiting("COM8", 2));
        QCOMPARE(s.sims[1]->Image(), Padded(s.image));
        QVERIFY(WriteFile(s.file, RandomImage(3000, 99)));
        s.sims[1]->Command("reset");
        const RunResult run = s.program.Finish();
        QCOMPARE(run.exitCode, 1);
        QVERIFY(run.out.contains("COM8 model 1: Target file changed since the station started"));
        QCOMPARE(s.Outcomes(), (QStringList{"COM7=1", "COM8=0", "COM8=1"}));
        QCOMPARE(Commands(s.sims[1]->Report()),
                 (QStringList{"2", "1", "3", "Y", "5", "00010000", "Y", "6", "Y", "7"}));
        CheckTraceFiles(s, "<- \"User Area Sectors Bank1 protected\\r\"");
    }

    // Two instruments reset at once for the last one to handle: the other is not taken, and
    // its menu is left rather than left waiting.
    void notTakenLeavesTheMenu() {
        Station s;
        // Slow answers: the taken instrument is still being checked when the other comes up.
        s.AddSim("COM7", {"--model", "1", "--blank", "--slow", "300"});
        s.AddSim("COM8", {"--model", "1", "--blank", "--slow", "300"});
        QVERIFY(s.simsStarted);
        s.Start({"COM7", "COM8"}, {"--count", "1", "blank-check"});
        QVERIFY(s.AwaitWaiting("COM7", 1) && s.AwaitWaiting("COM8", 1));
        s.sims[0]->Command("reset");
        s.sims[1]->Command("reset");
        const RunResult run = s.program.Finish();
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.contains(": not taken: the count is reached\n") &&
                     run.out.contains("\n1 instrument handled.\n"),
                 run.out.constData());
        QCOMPARE(s.Outcomes().size(), 1);
        QStringList commands = Commands(s.sims[0]->Report()) + QStringList{"|"} +
                               Commands(s.sims[1]->Report());
        QVERIFY2(commands.join(' ') == "1 7 | 7" || commands.join(' ') == "7 | 1 7",
                 qPrintable(commands.join(' ')));
    }

    void pulledPortResumes() {
        Station s;
        s.image = RandomImage(64 * 1024);
        QVERIFY(WriteFile(s.file, s.image));
        Sim& sim = s.AddSim({}, {"--model", "1"});
        QVERIFY(s.simsStarted);
        Relay relay({"--device", sim.Device(), "--alias", "COM5", "--cut", "to-instrument:20000",
                     "--replug-after", "1000"},
                    s.home.Env());
        QVERIFY(relay.Start());
        s.Start({"COM5"}, {"--count", "2", "--wait", "60"});
        QVERIFY(s.AwaitWaiting("COM5", 1));
        sim.Command("reset");
        QVERIFY(s.program.WaitForOutput("COM5 model 1: gone"));
        QVERIFY(s.AwaitWaiting("COM5", 2));
        sim.Command("reset");
        const RunResult run = s.program.Finish();
        QCOMPARE(run.exitCode, 1);
        // The station tries the port again by itself: nobody is asked to select it.
        QVERIFY2(!run.out.contains("Select the port"), run.out.constData());
        QCOMPARE(s.Outcomes(), (QStringList{"COM5=0", "COM5=1"}));
        QCOMPARE(sim.Image(), Padded(s.image));
    }
};

QTEST_GUILESS_MAIN(StationTest)
#include "test_e2e_station.moc"
