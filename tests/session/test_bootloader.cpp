#include <QtTest>

#include "dialogues.h"

using namespace vantrel;
using namespace vantrel::test;

namespace {

const QString kLost = Q(Str::ConnectionLost);
const QString kPortGone = "Connection Lost - Input/output error - Select the port again";

QString BoundStatus(Str awaited) {
    return "Connection Lost - No \"" + Q(awaited) + "\" from the instrument - Reset the Instrument";
}

}  // namespace

class BootLoaderTest : public QObject {
    Q_OBJECT

private slots:
    // Menu "1": any answer but "not blank" means blank; the bar advances before each read.
    void blankCheck_data() {
        OutcomeColumns();
        QTest::addColumn<int>("steps");  // bar steps; the bar is at 0 after an answer
        QTest::addColumn<int>("pos");

        const std::string blankSays = "User area is blank";
        QTest::newRow("blank, model 0") << 0 << BlankAnswer(blankSays) << 0
                                        << QString::fromStdString(blankSays) << true << 1 << 0;
        QTest::newRow("not blank, model 1")
            << 1 << BlankAnswer(S(Str::NotBlank)) << 1 << Q(Str::NotBlank) << true << 1 << 0;
        QTest::newRow("not blank in other letters counts as blank")
            << 0 << BlankAnswer("User area is NOT BLANK") << 0 << "User area is NOT BLANK" << true
            << 1 << 0;
        QTest::newRow("answer during the third read, model 0")
            << 0 << Script(Dialogue().On("1").Say(S(Str::BlankChecking)).Pause(5500).Say(blankSays))
            << 0 << QString::fromStdString(blankSays) << true << 3 << 0;
        QTest::newRow("answer during the fifth read, model 2")
            << 2
            << Script(
                   Dialogue().On("1").Say(S(Str::BlankChecking)).Pause(39000).Say(S(Str::NotBlank)))
            << 1 << Q(Str::NotBlank) << true << 5 << 0;
        QTest::newRow("answer too late, model 0")
            << 0 << Script(Dialogue().On("1").Say(S(Str::BlankChecking)).Pause(6500).Say(blankSays))
            << 1 << Q(Str::BlankChecking) << true << 3 << 3;
        QTest::newRow("no answer, model 2")
            << 2 << Script(Dialogue().On("1").Say(S(Str::BlankChecking))) << 1
            << Q(Str::BlankChecking) << true << 5 << 5;
        QTest::newRow("no echo") << 0 << Script(Dialogue().On("1")) << 1 << kLost << false << 0
                                 << 0;
    }
    void blankCheck() {
        QFETCH(int, model);
        QFETCH(int, steps);
        QFETCH(int, pos);
        SessionRig rig;
        RunRow(rig, "blank");
        QCOMPARE(ToList(rig.Writes()), QStringList{"1"});
        const int reads = kModelTable[model].blankCheckReads;
        const QStringList log = ToList(rig.display.Log());
        QCOMPARE(log.mid(0, 4), (QStringList{"status:" + Q(Str::BlankChecking), "pos:0",
                                             "stepinc:1", "range:" + QString::number(reads)}));
        QCOMPARE(rig.display.ProgressSteps(), steps);
        QCOMPARE(rig.display.ProgressPos(), pos);
    }

    // Menu "2": the Bank1 line, and on model 0 the Bank2 line right after it.
    void verifyProtection_data() {
        OutcomeColumns();

        const auto echo = [] { return Dialogue().On("2").Say(S(Str::ProtectionVerification)); };
        const QString ok = Q(Str::SectorsNotProtected);
        for (int model = 0; model < 3; ++model) {
            QTest::addRow("both banks, model %d", model)
                << model
                << Script(echo().Say(S(Str::Bank1NotProtected)).Say(S(Str::Bank2NotProtected))) << 0
                << ok << true;
        }
        QTest::newRow("bank 1 alone, model 0") << 0 << Script(echo().Say(S(Str::Bank1NotProtected)))
                                               << 1 << Q(Str::ProtectionVerification) << true;
        QTest::newRow("bank 1 alone, model 1")
            << 1 << Script(echo().Say(S(Str::Bank1NotProtected))) << 0 << ok << true;
        QTest::newRow("bank 2 first, model 0")
            << 0 << Script(echo().Say(S(Str::Bank2NotProtected)).Say(S(Str::Bank1NotProtected)))
            << 1 << Q(Str::Bank2NotProtected) << true;
        QTest::newRow("protected, model 1")
            << 1 << Script(echo().Say("User Area Sectors Bank1 protected")) << 1
            << "User Area Sectors Bank1 protected" << true;
        QTest::newRow("other letters, model 2")
            << 2 << Script(echo().Say("User Area Sectors Bank1 NOT Protected")) << 1
            << "User Area Sectors Bank1 NOT Protected" << true;
        QTest::newRow("trailing blank, model 1")
            << 1 << Script(echo().Say(S(Str::Bank1NotProtected) + " ")) << 1
            << Q(Str::Bank1NotProtected) + " " << true;
        QTest::newRow("lines before the echo are skipped")
            << 1
            << Script(Dialogue()
                          .On("2")
                          .Say(">2")
                          .Say("Sector Protection Verification")
                          .Say(S(Str::ProtectionVerification))
                          .Say(S(Str::Bank1NotProtected)))
            << 0 << ok << true;
        QTest::newRow("silent after the echo")
            << 0 << Script(echo()) << 1 << Q(Str::ProtectionVerification) << true;
        QTest::newRow("no echo") << 1 << Script(Dialogue().On("2")) << 1 << kLost << false;
    }
    void verifyProtection() {
        SessionRig rig;
        RunRow(rig, "verify");
        QCOMPARE(ToList(rig.Writes()), QStringList{"2"});
        QCOMPARE(ToList(rig.display.LogOf("status:")).first(), Q(Str::ProtectionVerification));
        QVERIFY(rig.display.LogOf("range:").empty());  // the bar is left alone
    }

    // Menu "3", "Y": one line dropped, then the model's block lines in rising order.
    void eraseUserArea_data() {
        OutcomeColumns();
        QTest::addColumn<int>("steps");
        QTest::addColumn<int>("pos");

        const auto question = [] { return Dialogue().On("3").Say(S(Str::ReallyErase)); };
        // The question answered, then these lines.
        const auto lines = [&](std::vector<std::string> said) {
            Dialogue d = question().On("Y");
            for (const auto& line : said) {
                d.Say(line);
            }
            return Script(d);
        };
        for (int model = 0; model < 3; ++model) {
            QTest::addRow("every block, model %d", model)
                << model << EraseOk(model) << 0 << "Erase Completed" << true
                << kModelTable[model].eraseBlocks << 0;
        }
        {
            Dialogue d = question();
            QTest::newRow("silence after the last block, model 1")
                << 1 << Script(EraseBlocks(d, 1, "")) << 0 << "" << true << 7 << 0;
        }
        {
            Dialogue d = question();
            QTest::newRow("blocks 01 to 07 on model 2")
                << 2 << Script(EraseBlocks(d, 1, "Erase Completed")) << 1
                << QString::fromStdString(BlockLine(1)) << true << 0 << 0;
        }
        QTest::newRow("block 03 where 02 is due, model 0")
            << 0 << lines({"Y", BlockLine(1), BlockLine(3), BlockLine(2)}) << 1
            << QString::fromStdString(BlockLine(3)) << true << 1 << 1;
        QTest::newRow("failure line in the blocks, model 2")
            << 2 << lines({"Y", BlockLine(0), BlockLine(1), "Erasing block 02... FAILED"}) << 1
            << "Erasing block 02... FAILED" << true << 2 << 2;
        QTest::newRow("silence after block 04, model 1")
            << 1 << lines({"Y", BlockLine(1), BlockLine(2), BlockLine(3), BlockLine(4)}) << 1
            << kLost << false << 4 << 4;
        QTest::newRow("no line between the answer and the blocks, model 1")
            << 1 << lines({BlockLine(1), BlockLine(2), BlockLine(3)}) << 1
            << QString::fromStdString(BlockLine(2)) << true << 0 << 0;
        {
            Dialogue d = Dialogue().On("3").Prompt(S(Str::ReallyErase));
            QTest::newRow("question without line end, model 0")
                << 0 << Script(EraseBlocks(d, 0, "Erase Completed")) << 0 << "Erase Completed"
                << true << 15 << 0;
        }
    }
    void eraseUserArea() {
        QFETCH(int, model);
        QFETCH(int, result);
        QFETCH(QString, status);
        QFETCH(int, steps);
        QFETCH(int, pos);
        SessionRig rig;
        RunRow(rig, "erase");
        QCOMPARE(ToList(rig.Writes()), (QStringList{"3", "Y"}));
        QCOMPARE(rig.display.ProgressSteps(), steps);
        QCOMPARE(rig.display.ProgressPos(), pos);
        const QStringList log = ToList(rig.display.Log());
        const int blocks = kModelTable[model].eraseBlocks;
        const QStringList barSetUp{"pos:0", "stepinc:1", "range:" + QString::number(blocks)};
        QCOMPARE(log.mid(1, 3), barSetUp);
        if (result == 0) {
            // The bar is full exactly at the last block, then the closing line shows.
            QStringList tail;
            for (int i = 0; i < blocks; ++i) {
                tail << "step";
            }
            tail << "status:" + status << "pos:0";
            QCOMPARE(log.mid(4), tail);
        }
    }

    void eraseWithoutQuestion() {
        SessionRig rig;
        Prepare(rig, 0, Dialogue().On("3").Say("3"));
        QCOMPARE(Run(rig, "erase"), 1);
        QCOMPARE(ToList(rig.Writes()), QStringList{"3"});
        QCOMPARE(QString::fromStdString(rig.display.StatusText()), kLost);
        QVERIFY(rig.display.LogOf("range:").empty());
    }

    // Menu "6", "Y": silence is the success; only the refusal line fails.
    void restartInstrument_data() {
        OutcomeColumns();
        QTest::addColumn<int>("minMs");
        QTest::addColumn<int>("maxMs");

        const auto question = [] { return Dialogue().On("6").Say(S(Str::RunUserProgram)); };
        const QString before = QString::fromStdString(kBefore);
        QTest::newRow("silence, model 0")
            << 0 << Script(question().On("Y")) << 0 << before << true << 2000 << 2100;
        QTest::newRow("lines, then silence")
            << 1 << Script(question().On("Y").Say("Y").Say("Starting...").Pause(1500).Say("v2.3"))
            << 0 << before << true << 3500 << 3700;
        QTest::newRow("refusal")
            << 0 << Script(question().On("Y").Say("Y").Say(S(Str::InvalidResetAddress)).Say(">"))
            << 1 << Q(Str::InvalidResetAddress) << true << 0 << 100;
        QTest::newRow("refusal after a pause, model 2")
            << 2 << Script(question().On("Y").Pause(7000).Say(S(Str::InvalidResetAddress))) << 1
            << Q(Str::InvalidResetAddress) << true << 7000 << 7100;
        QTest::newRow("refusal with one blank is just a line")
            << 1 << Script(question().On("Y").Say("Invalid user reset address. Staying put.")) << 0
            << before << true << 2000 << 2100;
        QTest::newRow("no question")
            << 0 << Script(Dialogue().On("6")) << 1 << kLost << false << 2000 << 2100;
        QTest::newRow("user program that keeps talking, model 2")
            << 2 << Script(question().On("Y").Chatter("T=21.4 C", 1000, 1500)) << 0 << before
            << true << 40000 << 41600;
    }
    void restartInstrument() {
        QFETCH(QString, status);
        QFETCH(int, minMs);
        QFETCH(int, maxMs);
        SessionRig rig;
        int took = -1;
        RunRow(rig, "restart", &took);
        QVERIFY2(took >= minMs && took <= maxMs, qPrintable(QString::number(took)));
        const bool answered = status != kLost;
        QCOMPARE(ToList(rig.Writes()), (answered ? QStringList{"6", "Y"} : QStringList{"6"}));
        QVERIFY(rig.display.LogOf("range:").empty());
    }

    // The line left by the previous read counts before the first read of an operation.
    void carriedLine_data() {
        QTest::addColumn<QString>("op");
        QTest::addColumn<int>("model");
        QTest::addColumn<QString>("carried");
        QTest::addColumn<Script>("script");  // the awaited line is not sent again
        QTest::addColumn<int>("result");
        QTest::addColumn<QStringList>("writes");

        QTest::newRow("blank check")
            << "blank" << 0 << Q(Str::BlankChecking)
            << Script(Dialogue().On("1").Say(S(Str::NotBlank))) << 1 << QStringList{"1"};
        {
            Dialogue d = Dialogue().On("3");
            QTest::newRow("erase") << "erase" << 2 << Q(Str::ReallyErase)
                                   << Script(EraseBlocks(d, 2, "")) << 0 << QStringList{"3", "Y"};
        }
        QTest::newRow("restart") << "restart" << 0 << Q(Str::RunUserProgram)
                                 << Script(Dialogue().On("6").On("Y")) << 0
                                 << QStringList{"6", "Y"};
        QTest::newRow("download")
            << "download" << 1 << Q(Str::EnterBaseAddress)
            << Script(Dialogue().On("5").On("00010000").Say(S(Str::ProgramFlash)).On("Y")) << -11
            << QStringList{"5", "00010000", "Y"};
    }
    void carriedLine() {
        QFETCH(QString, op);
        QFETCH(int, model);
        QFETCH(QString, carried);
        QFETCH(Script, script);
        QFETCH(int, result);
        QFETCH(QStringList, writes);

        SessionRig rig;
        QVERIFY(rig.OnLine(model));
        rig.port.Arrive(carried.toStdString() + "\r");
        QCOMPARE(rig.channel.ReadLine(2000), std::uint8_t{0});
        rig.bootLoader.Load(script);

        QCOMPARE(Run(rig, op), result);
        QCOMPARE(ToList(rig.Writes()), writes);
        QVERIFY(rig.bootLoader.Finished());
    }

    // A boot loader that keeps talking without ever sending the awaited line does not hold
    // the program: the wait ends as a lost connection after its bound.
    void waitBound_data() {
        OutcomeColumns();
        QTest::addColumn<QString>("op");
        QTest::addColumn<int>("minMs");
        QTest::addColumn<int>("maxMs");

        QTest::newRow("blank check, model 0")
            << 0 << Script(Dialogue().On("1").Chatter("1", 1000, 500)) << 1
            << BoundStatus(Str::BlankChecking) << false << "blank" << 30000 << 30600;
        QTest::newRow("restart question, model 1")
            << 1 << Script(Dialogue().On("6").Chatter("?", 1000, 1900)) << 1
            << BoundStatus(Str::RunUserProgram) << false << "restart" << 30000 << 32000;
        QTest::newRow("flash question, model 2")
            << 2
            << Script(Dialogue()
                          .On("5")
                          .Say(S(Str::EnterBaseAddress))
                          .On("00000000")
                          .Chatter(S(Str::FaultNotBlank), 1000, 1000))
            << -11 << BoundStatus(Str::ProgramFlash) << false << "download" << 120000 << 121100;
    }
    void waitBound() {
        QFETCH(QString, op);
        QFETCH(int, minMs);
        QFETCH(int, maxMs);
        SessionRig rig;
        int took = -1;
        RunRow(rig, op, &took);
        QVERIFY2(took >= minMs && took <= maxMs, qPrintable(QString::number(took)));
        QVERIFY(!rig.display.RunEnabled());
    }

    // A port that fails (adapter pulled) in the middle of an operation is never taken for
    // the instrument's silence: the session goes Connection-Lost and says why.
    void portFailure_data() {
        QTest::addColumn<QString>("op");
        QTest::addColumn<int>("model");
        QTest::addColumn<Script>("script");
        QTest::addColumn<int>("failAfterMs");
        QTest::addColumn<int>("result");

        QTest::newRow("blank check result")
            << "blank" << 2 << BlankAnswer(S(Str::NotBlank)) << 500 << 1;
        QTest::newRow("erase blocks") << "erase" << 0 << EraseOk(0) << 1000 << 1;
        QTest::newRow("download question") << "download" << 0 << DownloadToStart(0) << 2 << -11;
        QTest::newRow("restart silence")
            << "restart" << 1
            << Script(Dialogue().On("6").Say(S(Str::RunUserProgram)).On("Y").Say("Y")) << 500 << 1;
    }
    void portFailure() {
        QFETCH(QString, op);
        QFETCH(int, model);
        QFETCH(Script, script);
        QFETCH(int, failAfterMs);
        QFETCH(int, result);

        SessionRig rig;
        Prepare(rig, model, script);
        rig.port.FailIn(static_cast<std::uint64_t>(failAfterMs));
        QCOMPARE(Run(rig, op), result);

        QCOMPARE(QString::fromStdString(rig.display.StatusText()), kPortGone);
        QVERIFY(!rig.connection.OnLine());
        QVERIFY(!rig.display.RunEnabled());
    }

    // Auto: protection, blank check, the erase unless blank, the download; each only when
    // the one before allows it.
    void autoReprogram_data() {
        QTest::addColumn<int>("model");
        QTest::addColumn<Script>("script");
        QTest::addColumn<QStringList>("writes");
        QTest::addColumn<int>("lostCount");  // times Connection-Lost was shown

        const Script faultOnDownload = Dialogue().On("5").Say(S(Str::FaultNotBlank));
        QTest::newRow("protected: nothing else runs")
            << 0
            << Script(Dialogue()
                          .On("2")
                          .Say(S(Str::ProtectionVerification))
                          .Say(S(Str::Bank1NotProtected))
                          .Say("User Area Sectors Bank2 protected"))
            << QStringList{"2"} << 0;
        QTest::newRow("blank: no erase") << 1
                                         << Script(Dialogue()
                                                       .Then(ProtectionOk(1))
                                                       .Then(BlankAnswer("User area is blank"))
                                                       .Then(faultOnDownload))
                                         << QStringList{"2", "1", "5"} << 0;
        QTest::newRow("no blank-check answer: erase, then download")
            << 0
            << Script(Dialogue()
                          .Then(ProtectionOk(0))
                          .Then(Dialogue().On("1").Say(S(Str::BlankChecking)))
                          .Then(EraseOk(0))
                          .Then(faultOnDownload))
            << QStringList{"2", "1", "3", "Y", "5"} << 0;
        QTest::newRow("connection lost in the blank check: erase still sent")
            << 1 << Script(Dialogue().Then(ProtectionOk(1)).On("1").On("3"))
            << QStringList{"2", "1", "3"} << 2;
        QTest::newRow("erase fails: no download") << 1
                                                  << Script(Dialogue()
                                                                .Then(ProtectionOk(1))
                                                                .Then(BlankAnswer(S(Str::NotBlank)))
                                                                .On("3")
                                                                .Say(S(Str::ReallyErase))
                                                                .On("Y")
                                                                .Say("Y")
                                                                .Say(BlockLine(2)))
                                                  << QStringList{"2", "1", "3", "Y"} << 0;
    }
    void autoReprogram() {
        QFETCH(int, model);
        QFETCH(Script, script);
        QFETCH(QStringList, writes);
        QFETCH(int, lostCount);

        SessionRig rig;
        Prepare(rig, model, script);
        QCOMPARE(Run(rig, "auto"), 1);

        QCOMPARE(ToList(rig.Writes()), writes);
        QVERIFY(rig.bootLoader.Unexpected().empty());
        QCOMPARE(ToList(rig.display.LogOf("status:")).count(kLost), lostCount);
        QVERIFY(rig.display.LogOf("title:").empty());
    }
};

QTEST_GUILESS_MAIN(BootLoaderTest)
#include "test_bootloader.moc"
