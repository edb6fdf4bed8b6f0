// Identification: the diagnosis when no boot loader answers (socat peers), the port list,
// the remembered port, and unusable ports.

#include <QFileInfo>
#include <QThread>

#include "e2e_rig.h"

using namespace e2e;

namespace {

// A pty at `link` whose other end runs `script` (from a file: socat eats backslashes).
class SocatPeer {
public:
    SocatPeer(Rig& rig, const QByteArray& script) : m_link(rig.Path("tty")) {
        const QString path = rig.WriteFile("peer.sh", "#!/bin/sh\n" + script + "\n");
        QFile::setPermissions(path, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_process.start("socat", {"pty,rawer,link=" + m_link, "EXEC:" + path});
        QDeadlineTimer deadline(kStartLimitMs);
        while (!QFileInfo::exists(m_link) && !deadline.hasExpired()) {
            QThread::msleep(20);
        }
    }
    ~SocatPeer() {
        m_process.terminate();
        if (!m_process.waitForFinished(kStartLimitMs)) {
            m_process.kill();
            m_process.waitForFinished(kStartLimitMs);
        }
    }
    const QString& Link() const { return m_link; }

private:
    QString m_link;
    QProcess m_process;
};

}  // namespace

class IdentifyTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() {
        if (QStandardPaths::findExecutable("socat").isEmpty()) {
            QFAIL("socat is not installed (bash tools/install-deps.sh)");
        }
    }

    void diagnosis_data() {
        QTest::addColumn<QByteArray>("script");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<QByteArray>("told");

        QTest::newRow("nothing on the line") << QByteArray("exec sleep 60") << "nothing"
                                             << QByteArray("Nothing at all was received");
        QTest::newRow("an application talking")
            << QByteArray("while :; do printf 'METER 12.5 V\\r\\n'; sleep 0.2; done")
            << "unknown-bytes"
            << QByteArray("no boot-loader signature; the first: 4d 45 54 45 52 20 31 32");
        QTest::newRow("signature but no prompt")
            << QByteArray("while :; do printf '\\n\\n\\n\\r'; sleep 0.5; done")
            << "signature-without-prompt"
            << QByteArray(
                   "A boot loader of model 1 announced itself, but its \">\" prompt "
                   "never came");
    }
    void diagnosis() {
        QFETCH(QByteArray, script);
        QFETCH(QByteArray, told);
        Rig rig;
        SocatPeer peer(rig, script);
        QVERIFY(QFileInfo::exists(peer.Link()));
        const QString record = rig.Path("record.jsonl");
        QElapsedTimer timer;
        timer.start();
        const RunResult run = rig.RunVantrel(
            {"--port", peer.Link(), "--wait", "3", "--record", record, "--file", "x.upg", "auto"});
        QVERIFY(run.finished);
        QCOMPARE(run.exitCode, 3);
        // --wait, plus at most one prompt read.
        QVERIFY2(timer.elapsed() < 3000 + 2500, QByteArray::number(timer.elapsed()));
        QVERIFY2(run.err.startsWith("No instrument identified on " + peer.Link().toLatin1() +
                                    " within 3 s.\n"),
                 run.err.constData());
        QVERIFY2(run.err.contains(told), run.err.constData());
        QVERIFY(run.out.contains("Port " + peer.Link().toLatin1()));
        const QJsonObject r = Rig::LastRecord(record);
        QTEST(r["diagnosis"].toObject()["kind"].toString(), "kind");
        QCOMPARE(r["exit_status"].toInt(), 3);
        QVERIFY(r["model"].isNull());
        QVERIFY(r["functions"].toArray().isEmpty());
    }

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
        const QString memory = rig.WriteFile("config/vantrel/BootLoader.ini", "com9\n");
        QVERIFY(!memory.isEmpty());
        const QDateTime written = QFileInfo(memory).lastModified();
        const RunResult run = rig.RunVantrel({"--wait", "20"});
        QCOMPARE(run.exitCode, 0);
        QVERIFY2(run.out.contains("Instrument model 2 on COM9 (" + rig.Pty().toLatin1() + ")"),
                 run.out.constData());
        QFile file(memory);
        QVERIFY(file.open(QIODevice::ReadOnly));
        QCOMPARE(file.readAll(), QByteArray("com9\n"));
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
            QVERIFY(!rig.WriteFile("config/vantrel/BootLoader.ini", memory).isEmpty());
        }
        const RunResult run = rig.RunVantrel({"--wait", "2"});
        QCOMPARE(run.exitCode, 2);
        QVERIFY2(run.err.contains("--port") && run.err.contains("\"vantrel ports\""),
                 run.err.constData());
        QVERIFY(run.out.isEmpty());
    }

    void unusablePort_data() {
        QTest::addColumn<QStringList>("args");
        QTest::addColumn<int>("exitCode");
        QTest::addColumn<QByteArray>("told");
        QTest::newRow("COM name with no device")
            << QStringList{"--port", "COM42"} << 4 << QByteArray("COM42 stands for no serial port");
        QTest::newRow("device that does not exist")
            << QStringList{"--port", "/dev/does-not-exist"} << 4 << QByteArray("no such device");
        QTest::newRow("not a serial port")
            << QStringList{"--port", "/dev/null"} << 4 << QByteArray("not a serial port");
        QTest::newRow("usage error")
            << QStringList{"--wait", "soon", "auto"} << 2 << QByteArray("Usage: vantrel");
    }
    void unusablePort() {
        QFETCH(QStringList, args);
        QFETCH(QByteArray, told);
        Rig rig;
        const QString record = rig.Path("record.jsonl");
        const RunResult run = rig.RunVantrel(args << "--record" << record);
        QVERIFY(run.finished);
        QTEST(run.exitCode, "exitCode");
        QVERIFY2(run.err.contains(told), run.err.constData());
        QFETCH(int, exitCode);
        if (exitCode == 4) {
            QCOMPARE(Rig::LastRecord(record)["exit_status"].toInt(), 4);
            QVERIFY(!Rig::LastRecord(record)["error"].toString().isEmpty());
        } else {
            QVERIFY(!QFileInfo::exists(record));
        }
    }
};

QTEST_GUILESS_MAIN(IdentifyTest)
#include "test_e2e_identify.moc"
