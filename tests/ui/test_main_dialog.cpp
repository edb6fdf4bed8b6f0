// The operator's window against the simulated instrument over a pseudo-terminal: start-up,
// identification, refusals, Exit, the port list, whole operations (Auto, failures, Restart),
// and the operator display on the window's own controls.

#include <QtTest>

#include "dialog_rig.h"

using namespace vantrel;
using namespace vantrel::test;

class MainDialogTest : public DialogRig {
    Q_OBJECT
private slots:
    void init() { InitRig(); }
    void cleanup() { CleanupRig(); }

    // Off-line after the start-up, then On-Line with Auto chosen at the instrument's reset.
    void identification_data() {
        QTest::addColumn<int>("model");
        QTest::addColumn<bool>("restartSelectedBefore");
        QTest::newRow("model 2") << 2 << false;
        QTest::newRow("Restart chosen while off-line") << 0 << true;
    }
    void identification() {
        QFETCH(int, model);
        QFETCH(bool, restartSelectedBefore);
        QVERIFY(StartSim({"--model", QString::number(model)}));
        QVERIFY(OpenWindow());
        QCOMPARE(PortList()->currentText(), QString("COM7"));
        QCOMPARE(m_dlg->CheckedFunction(), id::kFunctionAuto);
        QVERIFY(!Run()->isEnabled());
        QCOMPARE(StatusLine(), S(Str::ConnectionLost));
        QVERIFY(m_statusShown.indexOf(S(Str::InstrumentOffLine)) >= 0);
        QVERIFY(m_statusShown.indexOf(S(Str::InstrumentOffLine)) <
                m_statusShown.lastIndexOf(S(Str::ConnectionLost)));
        for (int f : {id::kFunctionBlankCheck, id::kFunctionMemoryTest, id::kFunctionErase,
                      id::kFunctionDownload}) {
            QVERIFY2(!Radio(f)->isEnabled(), qPrintable(QString::number(f)));
        }
        QVERIFY(Radio(id::kFunctionAuto)->isEnabled() && Radio(id::kFunctionRestart)->isEnabled());
        QVERIFY(m_boxes.isEmpty());
        if (restartSelectedBefore) {
            QTest::mouseClick(Radio(id::kFunctionRestart), Qt::LeftButton);
            QCOMPARE(Run()->text(), S(Str::CaptionRestart));
        }
        QVERIFY(BringOnLine());
        QCOMPARE(StatusLine(), S(Str::InstrumentOnLine));
        QCOMPARE(m_dlg->CheckedFunction(), id::kFunctionAuto);
        QCOMPARE(Run()->text(), S(Str::CaptionAuto));
        QVERIFY(Run()->isEnabled());
        QCOMPARE(m_dlg->focusWidget(), Run());
    }

    void refusals_data() {
        QTest::addColumn<bool>("onLine");
        QTest::addColumn<QString>("message");
        QTest::newRow("Run while the connection is lost") << false << S(Str::InstrumentOffLine);
        QTest::newRow("Auto without a target file") << true << S(Str::InvalidTargetFile);
    }
    void refusals() {
        QFETCH(bool, onLine);
        QFETCH(QString, message);
        QVERIFY(StartSim());
        QVERIFY(OpenWindow());
        if (onLine) {
            QVERIFY(BringOnLine());
        }
        const QString statusBefore = StatusLine();
        // A disabled Run button cannot be clicked: then the dialog's OK command.
        if (onLine) {
            QTest::keyClick(m_dlg.get(), Qt::Key_Return);
        } else {
            m_dlg->accept();
        }
        QCOMPARE(m_boxes.size(), 1);
        QCOMPARE(m_boxes[0].text, message);
        QCOMPARE(m_boxes[0].icon, QMessageBox::Critical);
        QCOMPARE(m_boxes[0].caption, QCoreApplication::applicationName());
        QVERIFY(m_boxes[0].openFlag);
        QVERIFY(!m_dlg->MessageBoxOpen());
        QCOMPARE(StatusLine(), statusBefore);
        QVERIFY(m_dlg->isVisible());
        QTest::qWait(kSettleMs);
        QCOMPARE(MenuCommands(), QStringList());
    }

    // Exit saves the port and sends the instrument "7" only while On-Line.
    void exit_data() {
        QTest::addColumn<bool>("onLine");
        QTest::addColumn<bool>("button");  // else the close box
        QTest::addColumn<int>("exitCommands");
        QTest::newRow("connection lost, Exit button") << false << true << 0;
        QTest::newRow("on-line, Exit button") << true << true << 1;
        QTest::newRow("on-line, close box") << true << false << 1;
    }
    void exit() {
        QFETCH(bool, onLine);
        QFETCH(bool, button);
        QFETCH(int, exitCommands);
        QVERIFY(StartSim());
        QVERIFY(OpenWindow());
        if (onLine) {
            QVERIFY(BringOnLine());
        }
        WriteMemory("COM1\n");
        bool ended = true;
        QTimer::singleShot(0, this, [&] {
            button ? QTest::mouseClick(m_dlg->Control(id::kExit), Qt::LeftButton)
                   : void(m_dlg->close());
        });
        QTimer check;
        check.setSingleShot(true);
        connect(&check, &QTimer::timeout, this, [&] {
            ended = false;
            m_dlg->EndWithoutExit();
        });
        check.start(kSettleMs);
        m_dlg->DoModal();
        check.stop();
        QVERIFY(ended);
        QCOMPARE(ReadMemory(), QByteArray("COM7\n"));
        QVERIFY(QTest::qWaitFor([&] { return CountOf("7") >= exitCommands; }, kReactMs));
        QTest::qWait(kSettleMs);
        QCOMPARE(CountOf("7"), exitCommands);
    }

    // Exit with no port selected writes the line feed alone; the next start keeps the first
    // listed port.
    void exitWithoutSelection() {
        QVERIFY(StartSim());
        WriteMemory("COM99\n");
        QVERIFY(OpenWindow());
        QCOMPARE(PortList()->currentIndex(), -1);
        QVERIFY(!Run()->isEnabled());
        m_dlg->reject();
        QCOMPARE(ReadMemory(), QByteArray("\n"));
        m_dlg.reset();
        QVERIFY(OpenWindow());
        QCOMPARE(PortList()->currentIndex(), 0);
    }

    // Typing a listed name into the port list's edit field opens nothing and is not saved,
    // however the edit ends; only a choice from the list reopens the port and ends the session.
    void portList_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("port");  // selected afterwards, and saved by Exit
        QTest::newRow("typed, Enter") << "enter" << "COM7";
        QTest::newRow("typed, Tab") << "tab" << "COM7";
        QTest::newRow("typed, click on another control") << "click" << "COM7";
        QTest::newRow("chosen from the list") << "choose" << "COM8";
    }
    void portList() {
        QFETCH(QString, action);
        QFETCH(QString, port);
        QVERIFY(StartSim());
        m_sim2 = std::make_unique<Sim>();
        QVERIFY(m_sim2->Start(*m_config, "COM8", {}));
        QVERIFY(OpenWindow());
        QVERIFY(BringOnLine());
        m_dlg->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_dlg.get()));
        PortList()->setFocus();
        QTRY_VERIFY(PortList()->hasFocus());
        if (action == "choose") {
            QTest::keyClick(PortList(), Qt::Key_Down);
        } else {
            PortList()->lineEdit()->selectAll();
            QTest::keyClicks(PortList(), "COM8");
            if (action == "click") {
                QTest::mouseClick(Status(), Qt::LeftButton);
            } else {
                QTest::keyClick(PortList(), action == "tab" ? Qt::Key_Tab : Qt::Key_Return);
            }
            QVERIFY(!PortList()->hasFocus() || action == "enter");
        }
        QTest::qWait(kSettleMs);
        const bool chosen = port == "COM8";
        QCOMPARE(PortList()->itemText(PortList()->currentIndex()), port);
        QCOMPARE(m_dlg->OnLine(), !chosen);
        QCOMPARE(StatusLine(), chosen ? S(Str::ConnectionLost) : S(Str::InstrumentOnLine));
        const QLabel* device = nullptr;
        for (auto* label : m_dlg->findChildren<QLabel*>()) {
            device = label->toolTip().startsWith(port + ": ") ? label : device;
        }
        QVERIFY2(device != nullptr, "the device of the port is shown");
        QVERIFY(device->toolTip().endsWith((chosen ? m_sim2 : m_sim)->Device()));
        m_dlg->reject();
        QCOMPARE(CountOf("7"), chosen ? 0 : 1);
        QCOMPARE(ReadMemory(), port.toLatin1() + "\n");
    }

    // Model 0, which erases first.
    void autoRun() {
        QVERIFY(StartSim({"--model", "0"}));
        const QByteArray image = RandomImage(5000);
        QVERIFY(OpenWindow());
        QVERIFY(BringOnLine());
        QVERIFY(WriteTarget("firmware.upg", image).contains("UpGrade Files( *.upg ) (*.upg)"));

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
        QVERIFY(m_sim->Image().startsWith(image));
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
    // While held, a status change shows the hidden window again.
    void heldWindowComesBackWithStatus() {
        QVERIFY(OpenWindowWithoutPort());
        CVantrelDistributionDlgAutoProxy proxy;
        proxy.Attach(m_dlg.get());
        m_dlg->reject();
        QVERIFY(!m_dlg->isVisible());
        m_dlg->SetStatus(LoadString(Str::ConnectionLost));
        QVERIFY(m_dlg->isVisible());
    }

    // The real message box: stop icon, the application's name as caption, open while shown.
    void messageBoxOnScreen() {
        QVERIFY(OpenWindowWithoutPort());
        m_dlg->SetMessageHook(nullptr);
        QString seen;
        bool openWhileShown = false;
        ModalWatcher<QMessageBox> watcher([&](QMessageBox* box) {
            seen = box->windowTitle() + "|" + box->text() + "|" + QString::number(int(box->icon()));
            openWhileShown = m_dlg->MessageBoxOpen();
            box->button(QMessageBox::Ok)->click();
        });
        m_dlg->accept();
        QVERIFY(watcher.Seen());
        QCOMPARE(seen, QCoreApplication::applicationName() + "|" + S(Str::InstrumentOffLine) + "|" +
                           QString::number(int(QMessageBox::Critical)));
        QVERIFY(openWhileShown);
        QVERIFY(!m_dlg->MessageBoxOpen());
    }

    // Steps: r range, i step, p position, s step once.
    void progressBar_data() {
        QTest::addColumn<QString>("steps");
        QTest::addColumn<int>("value");
        QTest::addColumn<int>("maximum");
        QTest::newRow("steps within the range") << "r15 i1 p0 s s s" << 3 << 15;
        QTest::newRow("position past the end") << "r10 p25" << 10 << 10;
        QTest::newRow("smaller range clamps the position") << "r10 p8 r4" << 4 << 4;
        QTest::newRow("empty range is empty, not busy") << "r0 p0" << 0 << 1;
        QTest::newRow("range beyond 16 bits") << "r70000 i1 p69999 s s" << 70000 << 70000;
    }
    void progressBar() {
        QFETCH(QString, steps);
        QVERIFY(OpenWindowWithoutPort());
        OperatorDisplay& display = *m_dlg;
        for (const QString& step : steps.split(' ')) {
            const int n = step.mid(1).toInt();
            const char op = step.at(0).toLatin1();
            op == 'r'   ? display.SetProgressRange(n)
            : op == 'i' ? display.SetProgressStep(n)
            : op == 'p' ? display.SetProgressPos(n)
                        : display.StepProgress();
        }
        QTEST(Progress()->value(), "value");
        QTEST(Progress()->maximum(), "maximum");
        QCOMPARE(Progress()->minimum(), 0);
    }

    // SetStatus inside an operation paints at once and handles no input meanwhile.
    void statusPaintsAtOnce() {
        QVERIFY(OpenWindowWithoutPort());
        struct PaintCounter : QObject {
            int paints = 0;
            bool eventFilter(QObject*, QEvent* e) override {
                paints += e->type() == QEvent::Paint ? 1 : 0;
                return false;
            }
        } counter;
        Status()->installEventFilter(&counter);
        QWidget* exitButton = m_dlg->Control(id::kExit);
        const QPoint centre = exitButton->rect().center();
        QCoreApplication::postEvent(
            exitButton,
            new QMouseEvent(QEvent::MouseButtonPress, centre, exitButton->mapToGlobal(centre),
                            Qt::LeftButton, Qt::LeftButton, Qt::NoModifier));
        QCoreApplication::postEvent(
            exitButton,
            new QMouseEvent(QEvent::MouseButtonRelease, centre, exitButton->mapToGlobal(centre),
                            Qt::LeftButton, Qt::NoButton, Qt::NoModifier));
        bool ended = false;
        connect(m_dlg.get(), &QDialog::finished, this, [&] { ended = true; });

        m_dlg->SetStatus(LoadString(Str::ErasingUserArea));

        QVERIFY(counter.paints > 0);
        QCOMPARE(StatusLine(), S(Str::ErasingUserArea));
        QVERIFY(!ended);
        QCoreApplication::removePostedEvents(exitButton);
    }

    // The fields keep their exact bytes while the read-only controls show them.
    void fieldsKeepTheirBytes() {
        const QByteArray text("Erasing block 03... \xff");  // a stray byte from the line
        QVERIFY(OpenWindowWithoutPort());
        m_dlg->SetStatus(text.toStdString());
        QCOMPARE(StatusLine(), QString("Erasing block 03... \uFFFD"));
        m_dlg->CollectControls();
        QCOMPARE(QByteArray::fromStdString(m_dlg->StatusText()), text);
    }
};

QTEST_MAIN(MainDialogTest)
#include "test_main_dialog.moc"
