// The simulated instrument against which the program is tested: one boot loader's dialogue
// byte for byte, and a download from lrzsz's sx (a sender nobody here wrote) stored whole.

#include <QStandardPaths>
#include <QTest>

#include "images.h"
#include "line_rig.h"

using namespace vantrel::test;

class SimTranscriptTest : public QObject {
    Q_OBJECT
private slots:
    void modelTwo() {
        if (QStandardPaths::findExecutable("sx").isEmpty()) {
            QSKIP("needs lrzsz's sx (tools/install-deps.sh)");
        }
        ConfigHome home;
        Sim sim;
        // Reset by hand: sx opening the line must not reset the instrument.
        QVERIFY(sim.Start(home, "COM7", {"--model", "2", "--verbose"}));
        Pty line;
        QVERIFY(line.Open(home.ConfigPath() + "/vantrel/ports/COM7"));
        // A reset before the instrument knows the line is open would go unheard.
        QVERIFY(QTest::qWaitFor([&] { return sim.Trace().contains("a program opened the port"); }));
        sim.Reset();
        QCOMPARE(line.Read(4, 3000), QByteArray("\n\n\r\r"));
        const auto says = [&](const QByteArray& command, const QByteArray& answer) {
            return line.Write(command) && line.Read(answer.size(), 3000) == answer;
        };
        QVERIFY(says("\r", ">"));
        QVERIFY(says("2",
                     "\r\nSector Protection Verification...\r\n"
                     "User Area Sectors Bank1 NOT protected\r\n>"));
        QVERIFY(says("1", "\r\nBlank checking user area...\r\nUser area is NOT blank\r\n>"));
        QVERIFY(says("3", "\r\nReally erase ALL user blocks (Y/N)?\r\n"));
        QByteArray erase = "Y\r\n";
        for (int block = 0; block <= 6; ++block) {
            erase += "Erasing block 0" + QByteArray::number(block) + "... PASSED\r\n";
        }
        QVERIFY(says("Y", erase + "Erase complete\r\n>"));
        QVERIFY(says(
            "5", "\r\nEnter Flash memory base address as a 32-bit hex value e.g. AABBCCDD\r\n"));
        QVERIFY(says("00000000", "Program Flash (Y/N)?\r\n"));
        QVERIFY(says("Y", "Start 1k XModem download...\r\n"));

        const QByteArray image = RandomImage(8192, 7);
        QVERIFY(WriteFile(home.Path("image.bin"), image));
        QProcess sx;
        sx.setStandardInputFile(sim.Device());
        sx.setStandardOutputFile(sim.Device());
        sx.start("sx", {"-k", home.Path("image.bin")});
        QVERIFY(sx.waitForFinished(30000));
        QVERIFY2(sx.exitCode() == 0, sx.readAllStandardError().constData());
        QCOMPARE(sim.Image(), image);

        // Menu 7 leaves the boot loader: nothing is answered any more.
        line.Read(1 << 20, 300);  // what sx left of the answer to the transfer
        QVERIFY(line.Write("7\r"));
        QCOMPARE(line.Read(1, 300), QByteArray());
    }
};

QTEST_GUILESS_MAIN(SimTranscriptTest)
#include "test_sim_transcript.moc"
