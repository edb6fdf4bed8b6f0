// The simulator speaks each boot loader's exact words: signature, menu texts, erase lines,
// base address, line ends; and its pty behaves as a serial port that programs open and close.

#include <termios.h>

#include <QFileInfo>
#include <QJsonArray>
#include <QtTest>

#include "sim_run.h"

using vantrel::test::AwaitPrompt;
using vantrel::test::SimRun;

class SimMenuTest : public QObject {
    Q_OBJECT
private slots:
    void dialoguePerModel_data();
    void dialoguePerModel();
    void survivesReopening();
};

void SimMenuTest::dialoguePerModel_data() {
    QTest::addColumn<int>("model");
    QTest::addColumn<QStringList>("extra");
    QTest::addColumn<QByteArray>("signature");
    QTest::addColumn<int>("firstBlock");
    QTest::addColumn<int>("lastBlock");
    QTest::addColumn<bool>("bank2");
    QTest::addColumn<QByteArray>("base");
    QTest::addColumn<QByteArray>("otherBase");
    QTest::addColumn<QByteArray>("eol");
    QTest::addColumn<bool>("bare");

    QTest::newRow("model 0") << 0 << QStringList{} << QByteArray("\t\t\t\r") << 1 << 15 << true
                             << QByteArray("00010000") << QByteArray("00000000")
                             << QByteArray("\r\n") << false;
    QTest::newRow("model 2") << 2 << QStringList{} << QByteArray("\n\n\r\r") << 0 << 6 << false
                             << QByteArray("00000000") << QByteArray("00010000")
                             << QByteArray("\r\n") << false;
    QTest::newRow("model 1, bare questions, LF line ends")
        << 1 << QStringList{"--bare-questions", "--line-end", "lf"} << QByteArray("\n\n\n\r") << 1
        << 7 << false << QByteArray("00010000") << QByteArray("00000000") << QByteArray("\n")
        << true;
}

// The whole menu, byte for byte: the program recognises the boot loader by whole lines.
void SimMenuTest::dialoguePerModel() {
    QFETCH(int, model);
    QFETCH(QStringList, extra);
    QFETCH(QByteArray, signature);
    QFETCH(int, firstBlock);
    QFETCH(int, lastBlock);
    QFETCH(bool, bank2);
    QFETCH(QByteArray, base);
    QFETCH(QByteArray, otherBase);
    QFETCH(QByteArray, eol);
    QFETCH(bool, bare);
    // A question's own line end, and the line end that then starts the next line instead.
    const QByteArray questionEnd = bare ? QByteArray() : eol;
    const QByteArray afterQuestion = bare ? eol : QByteArray();

    SimRun sim(QStringList{"--model", QString::number(model), "--reset-on-open"} + extra);
    QVERIFY(sim.Start());
    QVERIFY(sim.OpenPort());
    // The program's carriage return on opening comes before the reset and is not answered.
    QVERIFY(sim.Write("\r"));
    QCOMPARE(sim.ReadCount(4, 3000), signature);
    QCOMPARE(sim.ReadUntilQuiet(300), QByteArray());
    QVERIFY(sim.Write("\r"));
    QCOMPARE(sim.ReadUntil(">"), QByteArray(">"));

    QByteArray expected = eol + "Sector Protection Verification..." + eol +
                          "User Area Sectors Bank1 NOT protected" + eol;
    if (bank2) {
        expected += "User Area Sectors Bank2 NOT protected" + eol;
    }
    QVERIFY(sim.Write("2"));
    QCOMPARE(sim.ReadUntil(eol + ">"), expected + ">");

    QVERIFY(sim.Write("1"));
    QCOMPARE(sim.ReadUntil(eol + ">"),
             eol + "Blank checking user area..." + eol + "User area is NOT blank" + eol + ">");

    const QByteArray eraseQuestion = "Really erase ALL user blocks (Y/N)?" + questionEnd;
    QVERIFY(sim.Write("3"));
    QCOMPARE(sim.ReadUntil(eraseQuestion), eol + eraseQuestion);
    expected = afterQuestion + "Y" + eol;
    for (int block = firstBlock; block <= lastBlock; ++block) {
        expected += QByteArray("Erasing block ") +
                    QByteArray::number(block).rightJustified(2, '0') + "... PASSED" + eol;
    }
    expected += "Erase complete" + eol + ">";
    QVERIFY(sim.Write("Y"));
    QCOMPARE(sim.ReadUntil(eol + ">"), expected);

    QVERIFY(sim.Write("1"));
    QCOMPARE(sim.ReadUntil(eol + ">"),
             eol + "Blank checking user area..." + eol + "User area is blank" + eol + ">");

    const QByteArray addressRequest =
        "Enter Flash memory base address as a 32-bit hex value e.g. AABBCCDD" + questionEnd;
    QVERIFY(sim.Write("5"));
    QCOMPARE(sim.ReadUntil(addressRequest), eol + addressRequest);
    QVERIFY(sim.Write(otherBase));
    QCOMPARE(sim.ReadUntil(eol + ">"), afterQuestion + "Invalid base address" + eol + ">");
    QVERIFY(sim.Write("5"));
    QCOMPARE(sim.ReadUntil(addressRequest), eol + addressRequest);
    const QByteArray programQuestion = "Program Flash (Y/N)?" + questionEnd;
    QVERIFY(sim.Write(base));
    QCOMPARE(sim.ReadUntil(programQuestion), afterQuestion + programQuestion);
    QVERIFY(sim.Write("N"));
    QCOMPARE(sim.ReadUntil(">"), afterQuestion + ">");

    const QByteArray runQuestion = "Run user program (Y/N)?" + questionEnd;
    QVERIFY(sim.Write("6"));
    QCOMPARE(sim.ReadUntil(runQuestion), eol + runQuestion);
    QVERIFY(sim.Write("Y"));
    QCOMPARE(sim.ReadUntil(eol + ">"),
             afterQuestion + "Invalid user reset address.  Staying put." + eol + ">");

    // Menu 7 leaves the boot loader: nothing is answered any more, not even a carriage return.
    QVERIFY(sim.Write("7"));
    QCOMPARE(sim.ReadUntilQuiet(300), QByteArray());
    QVERIFY(sim.Write("\r"));
    QCOMPARE(sim.ReadUntilQuiet(300), QByteArray());

    const QJsonObject report = sim.Stop();
    QCOMPARE(report.value("model").toInt(-1), model);
    QCOMPARE(report.value("resets").toInt(), 2);
    const QStringList commands{"\r", "2",
                               "1",  "3",
                               "Y",  "1",
                               "5",  QString::fromLatin1(otherBase),
                               "5",  QString::fromLatin1(base),
                               "N",  "6",
                               "Y",  "7"};
    QCOMPARE(report.value("commands").toVariant().toStringList(), commands);
    QCOMPARE(report.value("base_address").toString(), QString::fromLatin1(base));
    QCOMPARE(report.value("user_area").toString(), QString("blank"));
    QVERIFY(report.value("transfers").toArray().isEmpty());
    QVERIFY(report.value("image").isNull());
}

// Reopened through the COMn alias, left cooked: each open sees a raw line and a fresh reset.
void SimMenuTest::survivesReopening() {
    QTemporaryDir config;
    QVERIFY(config.isValid());
    QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
    environment.insert("XDG_CONFIG_HOME", config.path());
    SimRun sim({"--model", "2", "--reset-on-open", "--port", "COM7"}, environment);
    QVERIFY(sim.Start());
    const QString alias = config.path() + "/vantrel/ports/COM7";
    QCOMPARE(QFileInfo(alias).symLinkTarget(), sim.PtyPath());

    for (int round = 0; round < 3; ++round) {
        QVERIFY(sim.OpenPort(alias));
        QCOMPARE(sim.ReadCount(4, 3000), QByteArray("\n\n\r\r"));
        termios settings{};
        QCOMPARE(tcgetattr(sim.Port(), &settings), 0);
        QCOMPARE(settings.c_lflag & (ECHO | ICANON | ISIG | IEXTEN), tcflag_t{0});
        QCOMPARE(settings.c_oflag & OPOST, tcflag_t{0});
        QCOMPARE(settings.c_iflag & (ICRNL | INLCR | IGNCR | IXON), tcflag_t{0});
        QVERIFY(sim.Write("\r"));
        QCOMPARE(sim.ReadUntil(">"), QByteArray(">"));
        QVERIFY(sim.Write("1"));
        QVERIFY(sim.ReadUntil("NOT blank\r\n>").endsWith("NOT blank\r\n>"));
        settings.c_lflag |= ECHO | ICANON;
        settings.c_oflag |= OPOST | ONLCR;
        settings.c_iflag |= ICRNL;
        QCOMPARE(tcsetattr(sim.Port(), TCSANOW, &settings), 0);
        sim.ClosePort();
    }

    const QJsonObject report = sim.Stop();
    QCOMPARE(report.value("resets").toInt(), 4);
    QCOMPARE(report.value("commands").toVariant().toStringList(),
             QStringList({"\r", "1", "\r", "1", "\r", "1"}));
    QVERIFY(!QFileInfo(alias).isSymLink());
}

QTEST_GUILESS_MAIN(SimMenuTest)
#include "test_sim_menu.moc"
