// Whole operations from the operator's window against the simulated instrument: Auto with
// its completion, failed runs, and the restart.

#include <QtTest>

#include "dialog_rig.h"

using namespace vantrel;
using namespace vantrel::test;
using namespace vantrel::test::rig;

class MainDialogRunTest : public DialogRig {
    Q_OBJECT
private slots:
    void init() { InitRig(); }
    void cleanup() { CleanupRig(); }

    void autoRun_data() {
        QTest::addColumn<QStringList>("simOptions");
        QTest::addColumn<int>("imageSize");
        QTest::newRow("model 0, erase first") << QStringList{"--model", "0"} << 5000;
        QTest::newRow("model 1, blank") << QStringList{"--model", "1", "--blank"} << 2048;
    }
    void autoRun() {
        QFETCH(QStringList, simOptions);
        QFETCH(int, imageSize);
        QVERIFY(StartSim(simOptions));
        const QByteArray image = RandomImage(imageSize);
        QVERIFY(OpenWindow());
        QVERIFY(BringOnLine());
        QCOMPARE(WriteTarget("firmware.upg", image), QString("Open Target File\n"
                                                             "UpGrade Files( *.upg ) (*.upg)\n"
                                                             "Binary Files( *.bin ) (*.bin)\n"
                                                             "All Files( *.*) (*)\n"
                                                             "UpGrade Files( *.upg )\n"
                                                             "upg"));

        m_titles.clear();
        Run()->click();

        QCOMPARE(m_boxes.size(), 1);
        QCOMPARE(m_boxes[0].text, S(Str::DownloadCompleted));
        QCOMPARE(m_boxes[0].icon, QMessageBox::Warning);
        // The box comes first; Restart is chosen only once it is closed.
        QCOMPARE(m_boxes[0].checked, id::kFunctionAuto);
        QVERIFY(m_boxes[0].status != S(Str::DescRestart));
        QCOMPARE(m_dlg->CheckedFunction(), id::kFunctionRestart);
        QCOMPARE(Run()->text(), S(Str::CaptionRestart));
        QCOMPARE(StatusLine(), S(Str::DescRestart));
        QCOMPARE(m_dlg->focusWidget(), Run());
        QVERIFY(m_dlg->OnLine());
        // The percentage showed in the title during the transfer.
        const QRegularExpression percent("^Vantrel +[0-9]{1,3}% Sent$");
        QVERIFY2(!m_titles.filter(percent).isEmpty(), qPrintable(m_titles.join(" | ")));
        // A finished transfer leaves the bar full, never empty.
        QCOMPARE(Progress()->value(), Progress()->maximum());
        QVERIFY(m_sim->ReceivedImage().startsWith(image));
    }

    void failedAuto_data() {
        QTest::addColumn<QStringList>("simOptions");
        QTest::addColumn<bool>("staysOnLine");
        QTest::newRow("protected sectors") << QStringList{"--protected"} << true;
        QTest::newRow("cable pulled at the download") << QStringList{"--silent-from", "5"} << false;
    }
    void failedAuto() {
        QFETCH(QStringList, simOptions);
        QFETCH(bool, staysOnLine);
        QVERIFY(StartSim(simOptions));
        QVERIFY(OpenWindow());
        QVERIFY(BringOnLine());
        QVERIFY(!WriteTarget("firmware.bin", RandomImage(1500)).isEmpty());
        Run()->click();
        QCOMPARE(m_boxes.size(), 1);
        QCOMPARE(m_boxes[0].text, S(Str::DownloadAborted));
        QCOMPARE(m_boxes[0].icon, QMessageBox::Critical);
        // Selection, caption and status stay as the operation left them.
        QCOMPARE(m_dlg->CheckedFunction(), id::kFunctionAuto);
        QCOMPARE(Run()->text(), S(Str::CaptionAuto));
        QCOMPARE(StatusLine(), m_boxes[0].status);
        QVERIFY(StatusLine() != S(Str::DescRestart));
        QCOMPARE(m_dlg->OnLine(), staysOnLine);
        QCOMPARE(Run()->isEnabled(), staysOnLine);
    }

    void restart_data() {
        QTest::addColumn<bool>("downloadFirst");
        QTest::newRow("after a download") << true;
        QTest::newRow("no program to run") << false;
    }
    void restart() {
        QFETCH(bool, downloadFirst);
        QVERIFY(StartSim({"--blank"}));
        QVERIFY(OpenWindow());
        QVERIFY(BringOnLine());
        if (downloadFirst) {
            QVERIFY(!WriteTarget("firmware.upg", RandomImage(1024)).isEmpty());
            Run()->click();
            QCOMPARE(m_boxes.size(), 1);
            QCOMPARE(m_boxes[0].text, S(Str::DownloadCompleted));
            m_boxes.clear();
        } else {
            QTest::mouseClick(Radio(id::kFunctionRestart), Qt::LeftButton);
        }
        QCOMPARE(m_dlg->CheckedFunction(), id::kFunctionRestart);
        QCOMPARE(StatusLine(), S(Str::DescRestart));
        Run()->click();
        QCOMPARE(m_boxes.size(), 1);
        QCOMPARE(m_dlg->CheckedFunction(), id::kFunctionRestart);
        QCOMPARE(Run()->text(), S(Str::CaptionRestart));
        const QStringList commands = MenuCommands();
        QVERIFY2(commands.endsWith("Y") && commands.contains("6"), qPrintable(commands.join(",")));
        if (!downloadFirst) {
            // The boot loader refuses; the session stays On-Line with its words shown.
            QCOMPARE(m_boxes[0].text, S(Str::RestartAborted));
            QCOMPARE(m_boxes[0].icon, QMessageBox::Critical);
            QVERIFY(m_dlg->OnLine());
            QVERIFY(Run()->isEnabled());
            return;
        }
        QCOMPARE(m_boxes[0].text, S(Str::Restarting));
        QCOMPARE(m_boxes[0].icon, QMessageBox::Warning);
        // Connection-Lost is shown before the box.
        QCOMPARE(m_boxes[0].status, S(Str::ConnectionLost));
        QVERIFY(!m_boxes[0].runEnabled);
        QVERIFY(!m_dlg->OnLine());
        // The next reset brings the instrument back, with Auto chosen again.
        QVERIFY(BringOnLine());
        QCOMPARE(m_dlg->CheckedFunction(), id::kFunctionAuto);
    }
};

QTEST_MAIN(MainDialogRunTest)
#include "test_main_dialog_run.moc"
