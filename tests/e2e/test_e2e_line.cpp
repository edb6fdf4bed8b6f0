// The production line's commands as the user types them, against a pseudo-terminal whose
// other end only watches: a job checked, a job refused for its image before any port is
// opened (station and console), and the doctor, which opens nothing unless asked.

#include <QCryptographicHash>

#include "e2e_rig.h"

using namespace e2e;

class LineCommandsTest : public QObject {
    Q_OBJECT
private slots:
    void commands_data() {
        QTest::addColumn<QStringList>("args");  // {job}: the job file, {pty}: the port
        QTest::addColumn<bool>("jobsImage");    // the image is the one the job names
        QTest::addColumn<int>("status");        // -1: 0 or 1, as this machine is
        QTest::addColumn<QByteArray>("told");   // on stdout for 0, else on stderr
        QTest::newRow("job check, a sound job")
            << QStringList{"job", "check", "{job}"} << true << 0 << QByteArray("slot A1 ");
        QTest::newRow("job check, another image")
            << QStringList{"job", "check", "{job}"} << false << 2
            << QByteArray("job.toml:2: the image ");
        QTest::newRow("station, another image")
            << QStringList{"station", "--job", "{job}"} << false << 2
            << QByteArray("is not the job's: its SHA-256 is ");
        QTest::newRow("console, another image")
            << QStringList{"--job", "{job}", "--json"} << false << 2
            << QByteArray("the job cannot be run; no port was opened");
        QTest::newRow("doctor") << QStringList{"doctor", "--port", "{pty}"} << true << -1
                                << QByteArray("a pseudo-terminal: no USB identity");
    }
    void commands() {
        QFETCH(QStringList, args);
        QFETCH(bool, jobsImage);
        QFETCH(int, status);
        QFETCH(QByteArray, told);
        Rig rig;
        Pty pty;
        QVERIFY(pty.OpenMaster());
        const QByteArray image = RandomImage(2000);
        const QByteArray named = jobsImage ? image : RandomImage(2000, 7);
        QVERIFY(!rig.Write("image.upg", image).isEmpty());
        const QString job = rig.Write(
            "job.toml", "image = \"image.upg\"\nsha256 = \"" +
                            QCryptographicHash::hash(named, QCryptographicHash::Sha256).toHex() +
                            "\"\n[[slot]]\nname = \"A1\"\nport = \"" +
                            pty.SlavePath().toUtf8() + "\"\n");
        args.replaceInStrings("{job}", job).replaceInStrings("{pty}", pty.SlavePath());
        const RunResult run = rig.RunVantrel(args);
        if (status < 0) {
            QVERIFY(run.exitCode == 0 || run.exitCode == 1);
            QCOMPARE(run.out.contains("No problems found"), run.exitCode == 0);
        } else {
            QCOMPARE(run.exitCode, status);
        }
        const QByteArray said = run.exitCode == 2 ? run.err : run.out;
        QVERIFY2(said.contains(told), said.constData());
        // Refused ones print no event line; nothing opened the port.
        QVERIFY(run.exitCode != 2 || run.out.isEmpty());
        QVERIFY(!pty.OpenedAndClosed());
    }
};

QTEST_GUILESS_MAIN(LineCommandsTest)
#include "test_e2e_line.moc"
