// `vantrel station` serving several simulated instruments at once over pseudo-terminals: each
// port's dialogue and image, the record, a failing port beside good ones, an image changed
// under the station, a port pulled and brought back.

#include <QCryptographicHash>
#include <QRegularExpression>
#include <algorithm>

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

// A job of slots A1 and A2 on the aliases COM7 and COM8 for `image`, models 1 and 2 only.
QString WriteJob(Station& s, const QByteArray& sha256) {
    return s.Write("job.toml", "image = \"image.upg\"\nsha256 = \"" + sha256 +
                                   "\"\nmodels = [1, 2]\nrecord = \"record.jsonl\"\n"
                                   "count = 1\nwait = 60\n"
                                   "[[slot]]\nname = \"A1\"\nport = \"COM7\"\n"
                                   "[[slot]]\nname = \"A2\"\nport = \"COM8\"\n");
}

// The event lines on stdout so far, each parsed; a line that is no JSON object is an empty one.
QList<QJsonObject> EventLines(const QByteArray& out) {
    QList<QJsonObject> events;
    for (const QByteArray& line : out.split('\n')) {
        if (!line.isEmpty()) {
            events << QJsonDocument::fromJson(line).object();
        }
    }
    return events;
}

// Until the `n`th `event` of `port` on stdout.
bool AwaitEvent(Station& s, const QString& port, const QString& event, int n) {
    const QDeadlineTimer deadline(kRunLimitMs);
    for (;;) {
        const QList<QJsonObject> events = EventLines(s.program.Seen());
        if (std::count_if(events.begin(), events.end(), [&](const QJsonObject& e) {
                return e["port"] == port && e["event"] == event;
            }) >= n) {
            return true;
        }
        if (deadline.hasExpired() || s.program.Process().state() != QProcess::Running) {
            return false;
        }
        s.program.WaitForOutput("\x01", 5);  // never printed: reads for 5 ms
    }
}

// What the events of one instrument on `port` break: empty when they come in order (waiting,
// identified, each phase begun and ended before the next, progress rising to the image's
// size during the transfer, the outcome last; the count then ends the station).
QString OutOfOrder(const QList<QJsonObject>& all, const QString& port, qint64 size) {
    QList<QJsonObject> events;
    for (const QJsonObject& e : all) {
        if (e["port"] == port) {
            events << e;
        }
    }
    QStringList seen;
    QString open;  // the phase begun and not yet ended
    qint64 bytes = -1;
    for (const QJsonObject& e : events) {
        const QString event = e["event"].toString();
        const QString phase = e["phase"].toString();
        seen << (phase.isEmpty() ? event : phase + ":" + e["state"].toString());
        if (event == "phase" && e["state"] == "begin") {
            if (!open.isEmpty()) {
                return phase + " begun within " + open;
            }
            open = phase;
        } else if (event == "phase") {
            if (open != phase) {
                return phase + " ended, but " + open + " was begun";
            }
            open.clear();
        } else if (event == "progress") {
            if (open != "transfer" || e["bytes"].toInteger() < bytes ||
                e["total"].toInteger() != size) {
                return "progress " + QString::number(e["bytes"].toInteger()) + " out of order";
            }
            bytes = e["bytes"].toInteger();
        }
    }
    const QString order = seen.join(' ');
    const QRegularExpression expected(
        "^identification:begin waiting identified identification:end "
        "protection-check:begin protection-check:end .*download-menu:begin download-menu:end "
        "transfer:begin (progress )+transfer:end restart:begin restart:end outcome$");
    if (!expected.match(order).hasMatch() || bytes != size) {
        return order;
    }
    return {};
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

    // A job: its slots name the ports everywhere; an instrument of a model outside the job
    // is declined with "7", recorded as failed and not counted; --json puts one event a line
    // on stdout, in order, the text on stderr, and a follower reads them.
    void jobDeclinesAndTellsInJson() {
        Station s;
        s.AddSim("COM7", {"--model", "1"});
        s.AddSim("COM8", {"--model", "0"});
        QVERIFY(s.simsStarted);
        const QString job = WriteJob(s, QCryptographicHash::hash(s.image,
                                                                  QCryptographicHash::Sha256)
                                            .toHex());
        QVERIFY(!job.isEmpty());
        s.StartVantrel({"station", "--job", job, "--json"});
        QVERIFY(AwaitEvent(s, "A1", "waiting", 1) && AwaitEvent(s, "A2", "waiting", 1));
        s.sims[1]->Command("reset");
        QVERIFY(AwaitEvent(s, "A2", "declined", 1) && AwaitEvent(s, "A2", "waiting", 2));
        s.sims[0]->Command("reset");
        const RunResult run = s.program.Finish();
        QCOMPARE(run.exitCode, 1);
        QVERIFY2(run.err.contains("A2 model 0: declined: model 0 is not in the job\n"),
                 run.err.constData());
        QCOMPARE(s.Outcomes(), (QStringList{"A1=0", "A2=1"}));
        for (const QJsonObject& r : Records(s.Path("record.jsonl"))) {
            QCOMPARE(r["declined"].toString(), r["port"].toObject()["name"] == "A2"
                                                   ? QString("declined: model 0 is not in the job")
                                                   : QString());
        }
        QCOMPARE(Commands(s.sims[1]->Report()), QStringList{"7"});
        QCOMPARE(s.sims[0]->Image(), Padded(s.image));

        const QList<QJsonObject> events = EventLines(run.out);
        const QRegularExpression utcMs("^\\d{4}-\\d\\d-\\d\\dT\\d\\d:\\d\\d:\\d\\d\\.\\d{3}Z$");
        for (const QJsonObject& e : events) {
            QVERIFY2(e["schema"] == 1 && utcMs.match(e["time"].toString()).hasMatch() &&
                         e["event"].isString() && e.contains("port"),
                     QJsonDocument(e).toJson().constData());
        }
        const QString order = OutOfOrder(events, "A1", s.image.size());
        QVERIFY2(order.isEmpty(), qPrintable(order));
        const QJsonObject last = events.last();
        QCOMPARE(last["event"].toString(), QString("summary"));
        QVERIFY(last["port"].isNull());
        QCOMPARE((QList<int>{last["done"].toInt(), last["failed"].toInt(),
                             last["declined"].toInt(), last["exit_status"].toInt()}),
                 (QList<int>{1, 0, 1, 1}));

        // The follower of docs/examples, on what the station wrote.
        QProcess follower;
        follower.start("python3", {VANTREL_SOURCE_DIR "/docs/examples/follow-station.py"});
        follower.write(run.out);
        follower.closeWriteChannel();
        QVERIFY(follower.waitForFinished(kStartLimitMs));
        const QByteArray told = follower.readAllStandardOutput();
        QCOMPARE(follower.exitCode(), 1);
        QVERIFY2(told.contains("A1  done") && told.contains("A2  declined: model 0") &&
                     told.contains("1 done, 0 failed, 1 declined; exit status 1"),
                 told.constData() + follower.readAllStandardError());
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
