// The operator's window against the simulated instrument over a pseudo-terminal: start-up,
// identification, refusals, Exit, the port list, whole operations (Auto, failures, Restart),
// and the operator display on the window's own controls. Each test has a fresh configuration
// folder (port aliases and the remembered port), the simulated instrument as COM7, and the
// window's message boxes captured.

#include <QAbstractButton>
#include <QApplication>
#include <QComboBox>
#include <QFileDialog>
#include <QFileSystemModel>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QRegularExpression>
#include <QTimer>
#include <QSignalSpy>
#include <QTest>
#include <functional>
#include <memory>

#include "images.h"
#include "line_rig.h"
#include "session/strings.h"
#include "ui/about_dlg.h"
#include "ui/automation_proxy.h"
#include "ui/vantrel_distribution_dlg.h"

using namespace vantrel;
using namespace vantrel::test;
namespace id = vantrel::control_id;

namespace {

// Longest wait for the window to react to the instrument, in ms.
constexpr int kReactMs = 15000;
// Time given to the line to carry a byte that should not come, in ms.
constexpr int kSettleMs = 300;

QString S(Str id) {
    return QString::fromStdString(LoadString(id));
}

// Runs `action` on each modal window of type T that opens while the caller blocks in its
// modal loop; one that the action left open is rejected, so that no test hangs on it.
template <typename T>
class ModalWatcher {
public:
    explicit ModalWatcher(std::function<void(T*)> action) {
        m_timer.callOnTimeout([action] {
            if (auto* box = qobject_cast<T*>(QApplication::activeModalWidget())) {
                action(box);
                if (box->isVisible()) {
                    QMetaObject::invokeMethod(box, "reject");
                }
            }
        });
        m_timer.start(10);
    }

private:
    QTimer m_timer;
};

}  // namespace

class MainDialogTest : public QObject {
    Q_OBJECT
private slots:
    void init() {
        m_config = std::make_unique<ConfigHome>();
        m_boxes.clear();
        m_statusShown.clear();
        m_titles.clear();
    }
    void cleanup() {
        m_dlg.reset();
        m_sim.reset();
        m_sim2.reset();
        m_config.reset();
    }

    // Off-line after the start-up, then On-Line with Auto chosen at the instrument's reset,
    // even when Restart was chosen meanwhile.
    void identification() {
        QVERIFY(StartSim());
        QVERIFY(OpenWindow());
        QCOMPARE(PortList()->currentText(), QString("COM7"));
        QCOMPARE(m_dlg->CheckedFunction(), id::kFunctionAuto);
        QVERIFY(!Run()->isEnabled());
        QCOMPARE(StatusLine(), S(Str::ConnectionLost));
        QVERIFY(m_statusShown.indexOf(S(Str::InstrumentOffLine)) >= 0);
        QVERIFY(m_statusShown.indexOf(S(Str::InstrumentOffLine)) <
                m_statusShown.lastIndexOf(S(Str::ConnectionLost)));
        for (int f : {id::kFunctionAuto, id::kFunctionBlankCheck, id::kFunctionMemoryTest,
                      id::kFunctionErase, id::kFunctionDownload, id::kFunctionRestart}) {
            QCOMPARE(Radio(f)->isEnabled(), f == id::kFunctionAuto || f == id::kFunctionRestart);
        }
        QVERIFY(m_boxes.isEmpty());
        QTest::mouseClick(Radio(id::kFunctionRestart), Qt::LeftButton);
        QCOMPARE(Run()->text(), S(Str::CaptionRestart));
        QVERIFY(BringOnLine());
        QCOMPARE(StatusLine(), S(Str::InstrumentOnLine));
        QCOMPARE(m_dlg->CheckedFunction(), id::kFunctionAuto);
        QCOMPARE(Run()->text(), S(Str::CaptionAuto));
        QVERIFY(Run()->isEnabled());
        QCOMPARE(m_dlg->focusWidget(), Run());
    }

    void refusals_data() {
        QTest::addColumn<bool>("onLine");
        QTest::addColumn<bool>("emptyTarget");  // an empty file is chosen as the target
        QTest::addColumn<QString>("message");
        QTest::newRow("Run while the connection is lost")
            << false << false << S(Str::InstrumentOffLine);
        QTest::newRow("Auto without a target file") << true << false << S(Str::InvalidTargetFile);
        QTest::newRow("Auto with an empty target file")
            << true << true << S(Str::InvalidTargetFile);
    }
    void refusals() {
        QFETCH(bool, onLine);
        QFETCH(bool, emptyTarget);
        QVERIFY(StartSim());
        QVERIFY(OpenWindow());
        QVERIFY(!onLine || BringOnLine());
        QVERIFY(!emptyTarget || !WriteTarget("empty.upg", {}).isEmpty());
        const QString statusBefore = StatusLine();
        // A disabled Run button cannot be clicked: then the dialog's OK command.
        onLine ? QTest::keyClick(m_dlg.get(), Qt::Key_Return) : m_dlg->accept();
        QCOMPARE(m_boxes.size(), 1);
        QTEST(m_boxes[0].text, "message");
        QCOMPARE(m_boxes[0].icon, QMessageBox::Critical);
        QCOMPARE(m_boxes[0].caption, QCoreApplication::applicationName());
        QVERIFY(m_boxes[0].openFlag);
        QVERIFY(!m_dlg->MessageBoxOpen());
        QCOMPARE(StatusLine(), statusBefore);
        QVERIFY(m_dlg->isVisible());
        QTest::qWait(kSettleMs);
        QCOMPARE(MenuCommands(), QStringList());
    }

    // Exit saves the port (a line feed alone when none is selected) and sends the instrument
    // "7" only while On-Line.
    void exit_data() {
        QTest::addColumn<QByteArray>("remembered");
        QTest::addColumn<bool>("onLine");
        QTest::addColumn<bool>("button");  // else the close box
        QTest::addColumn<int>("exitCommands");
        QTest::addColumn<QByteArray>("saved");
        const QByteArray com7 = "COM7\n";
        QTest::newRow("connection lost, Exit button") << com7 << false << true << 0 << com7;
        QTest::newRow("on-line, Exit button") << com7 << true << true << 1 << com7;
        QTest::newRow("on-line, close box") << com7 << true << false << 1 << com7;
        QTest::newRow("no port selected") << QByteArray("COM99\n") << false << true << 0
                                          << QByteArray("\n");
    }
    void exit() {
        QFETCH(bool, onLine);
        QFETCH(bool, button);
        QFETCH(int, exitCommands);
        QVERIFY(StartSim());
        QFETCH(QByteArray, remembered);
        WriteMemory(remembered);
        QVERIFY(OpenWindow());
        QVERIFY(!onLine || BringOnLine());
        WriteMemory("COM1\n");
        QTimer::singleShot(0, this, [&] {
            button ? QTest::mouseClick(m_dlg->Control(id::kExit), Qt::LeftButton)
                   : void(m_dlg->close());
        });
        bool ended = true;
        QTimer check;  // ends a window that Exit left open
        check.setSingleShot(true);
        check.callOnTimeout([&] {
            ended = false;
            m_dlg->EndWithoutExit();
        });
        check.start(kSettleMs);
        m_dlg->DoModal();
        check.stop();
        QVERIFY(ended);
        QFETCH(QByteArray, saved);
        QCOMPARE(ReadFile(MemoryFile()), saved);
        QVERIFY(QTest::qWaitFor([&] { return CountOf("7") >= exitCommands; }, kReactMs));
        QTest::qWait(kSettleMs);
        QCOMPARE(CountOf("7"), exitCommands);
        // The next start selects the saved port, or the first listed one after a line feed.
        m_dlg.reset();
        QVERIFY(OpenWindow());
        QCOMPARE(PortList()->currentText(), saved == "\n" ? PortList()->itemText(0) : "COM7");
    }

    // Typing a listed name into the port list's edit field opens nothing and is not saved,
    // however the edit ends; only a choice from the list reopens the port and ends the session.
    void portList_data() {
        QTest::addColumn<QString>("action");
        QTest::addColumn<QString>("port");  // selected afterwards, and saved by Exit
        QTest::newRow("typed, Enter") << "enter" << "COM7";
        QTest::newRow("typed, Tab") << "tab" << "COM7";
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
            QTest::keyClick(PortList(), action == "tab" ? Qt::Key_Tab : Qt::Key_Return);
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
        // The simulator reports what it read as it reads it: wait for it, then for anything late.
        const int exitCommands = chosen ? 0 : 1;
        QVERIFY(QTest::qWaitFor([&] { return CountOf("7") >= exitCommands; }, kReactMs));
        QTest::qWait(kSettleMs);
        QCOMPARE(CountOf("7"), exitCommands);
        QCOMPARE(ReadFile(MemoryFile()), port.toLatin1() + "\n");
    }

    // Model 0, which erases first; then Restart runs the program.
    void autoRun() {
        QVERIFY(StartSim({"--model", "0"}));
        const QByteArray image = RandomImage(5000);
        QVERIFY(OpenWindow());
        QVERIFY(BringOnLine());
        QVERIFY(WriteTarget("firmware.upg", image).startsWith("UpGrade Files( *.upg ) (*.upg)"));

        m_titles.clear();
        Run()->click();

        QCOMPARE(m_boxes.size(), 1);
        QCOMPARE(m_boxes[0].text, S(Str::DownloadCompleted));
        QCOMPARE(m_boxes[0].icon, QMessageBox::Warning);
        // The box comes first; Restart is chosen only once it is closed.
        QCOMPARE(m_boxes[0].checked, id::kFunctionAuto);
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

        // Connection-Lost is shown before the box, and the next reset brings the instrument
        // back with Auto chosen again.
        m_boxes.clear();
        Run()->click();
        QCOMPARE(m_boxes.size(), 1);
        QCOMPARE(m_boxes[0].text, S(Str::Restarting));
        QCOMPARE(m_boxes[0].icon, QMessageBox::Warning);
        QCOMPARE(m_boxes[0].status, S(Str::ConnectionLost));
        QVERIFY(!m_boxes[0].runEnabled);
        QCOMPARE(m_dlg->CheckedFunction(), id::kFunctionRestart);
        QCOMPARE(Run()->text(), S(Str::CaptionRestart));
        QVERIFY(!m_dlg->OnLine());
        const QStringList commands = MenuCommands();
        QVERIFY2(commands.endsWith("Y") && commands.contains("6"), qPrintable(commands.join(",")));
        QVERIFY(BringOnLine());
        QCOMPARE(m_dlg->CheckedFunction(), id::kFunctionAuto);
    }

    // A failed operation leaves selection, caption and status as it left them.
    void failedAuto() {
        QVERIFY(StartSim({"--protected"}));
        QVERIFY(OpenWindow());
        QVERIFY(BringOnLine());
        QVERIFY(!WriteTarget("firmware.bin", RandomImage(1500)).isEmpty());
        Run()->click();
        QCOMPARE(m_boxes.size(), 1);
        QCOMPARE(m_boxes[0].text, S(Str::DownloadAborted));
        QCOMPARE(m_boxes[0].icon, QMessageBox::Critical);
        QCOMPARE(m_dlg->CheckedFunction(), id::kFunctionAuto);
        QCOMPARE(Run()->text(), S(Str::CaptionAuto));
        QCOMPARE(StatusLine(), m_boxes[0].status);
        QVERIFY(m_dlg->OnLine() && Run()->isEnabled());
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

    // SetStatus inside an operation paints at once and handles no input meanwhile: a click on
    // Exit that waits in the queue stays there.
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
        const QPoint at = exitButton->rect().center();
        for (const auto type : {QEvent::MouseButtonPress, QEvent::MouseButtonRelease}) {
            QCoreApplication::postEvent(
                exitButton, new QMouseEvent(type, at, exitButton->mapToGlobal(at), Qt::LeftButton,
                                            type == QEvent::MouseButtonPress ? Qt::LeftButton
                                                                             : Qt::NoButton,
                                            Qt::NoModifier));
        }
        m_dlg->SetStatus(LoadString(Str::ErasingUserArea));
        QVERIFY(counter.paints > 0);
        QCOMPARE(StatusLine(), S(Str::ErasingUserArea));
        QVERIFY(m_dlg->isVisible());
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

    // F1 opens the About box, which names the program's version: the one --version prints.
    void aboutBoxNamesTheVersion() {
        QVERIFY(OpenWindowWithoutPort());
        m_dlg->activateWindow();
        QVERIFY(QTest::qWaitForWindowActive(m_dlg.get()));
        QStringList lines;
        ModalWatcher<CVantrelAboutDlg> watcher([&](CVantrelAboutDlg* box) {
            for (const auto* label : box->findChildren<QLabel*>()) {
                lines << label->text();
            }
        });
        QTest::keyClick(m_dlg.get(), Qt::Key_F1);
        QVERIFY2(lines.contains("Vantrel Versione " VANTREL_PROJECT_VERSION),
                 qPrintable(lines.join(" | ")));
    }

    // The open-file dialog's "All Files" lists every file, and a name without a dot is taken
    // as it is typed (no suffix added to it).
    void allFilesListsEveryFile() {
        QVERIFY(OpenWindowWithoutPort());
        const QString folder = m_config->Path("images");
        QVERIFY(QDir().mkpath(folder));
        for (const QString name : {"firmware", "image.upg", "notes.txt"}) {
            QVERIFY(WriteFile(folder + "/" + name, "x"));
        }
        QStringList listed;
        ModalWatcher<QFileDialog> watcher([&](QFileDialog* dialog) {
            auto* model = dialog->findChild<QFileSystemModel*>();
            QSignalSpy loaded(model, &QFileSystemModel::directoryLoaded);
            dialog->setDirectory(folder);
            QVERIFY(loaded.wait(kReactMs));
            auto* types = dialog->findChild<QComboBox*>("fileTypeCombo");
            QSignalSpy filtered(model, &QFileSystemModel::layoutChanged);
            QTest::keyClick(types, Qt::Key_End);  // as the operator chooses it
            QVERIFY(types->currentText().startsWith("All Files") && filtered.wait(kReactMs));
            const QModelIndex root = model->index(folder);
            for (int row = 0; row < model->rowCount(root); ++row) {
                const QModelIndex file = model->index(row, 0, root);
                listed << QStringList(model->flags(file) & Qt::ItemIsEnabled ? 1 : 0,
                                      model->fileName(file));
            }
            dialog->findChild<QLineEdit*>("fileNameEdit")->setText("firmware");
            QMetaObject::invokeMethod(dialog, "accept");
        });
        QTest::mouseClick(m_dlg->Control(id::kOpenTarget), Qt::LeftButton);
        listed.sort();
        QCOMPARE(listed, QStringList({"firmware", "image.upg", "notes.txt"}));
        QCOMPARE(qobject_cast<QLineEdit*>(m_dlg->Control(id::kTargetFile))->text(),
                 folder + "/firmware");
    }

private:
    // A message box the window showed, with the checked function, status line, Run button
    // and MessageBoxOpen() as they were while it was open.
    struct Box {
        QString caption;
        QString text;
        QMessageBox::Icon icon;
        int checked;
        QString status;
        bool runEnabled;
        bool openFlag;
    };

    QString MemoryFile() const { return m_config->ConfigPath() + "/vantrel/BootLoader.ini"; }
    void WriteMemory(const QByteArray& content) { QVERIFY(WriteFile(MemoryFile(), content)); }

    bool StartSim(const QStringList& options = {}) {
        m_sim = std::make_unique<Sim>();
        return m_sim->Start(*m_config, "COM7", options) && WriteFile(MemoryFile(), "COM7\n");
    }

    bool OpenWindow() {
        m_dlg = std::make_unique<CVantrelDistributionDlg>();
        connect(Status(), &QLineEdit::textChanged, this,
                [this](const QString& text) { m_statusShown << text; });
        connect(m_dlg.get(), &QWidget::windowTitleChanged, this,
                [this](const QString& title) { m_titles << title; });
        m_dlg->show();
        return QTest::qWaitForWindowExposed(m_dlg.get());
    }

    bool OpenWindowWithoutPort() {
        WriteMemory("NONE\n");
        return OpenWindow();
    }

    // Resets the instrument and waits for On-Line, once the window has taken the bare prompt
    // that answers the port's opening (or the prompt and the signature would run together).
    bool BringOnLine() {
        if (!QTest::qWaitFor([this] { return m_sim->Commands().contains("\r"); }, kReactMs)) {
            return false;
        }
        QTest::qWait(kSettleMs);
        m_sim->Reset();
        return QTest::qWaitFor([this] { return m_dlg->OnLine(); }, kReactMs);
    }

    // The menu commands and answers the instrument received, carriage returns left out.
    QStringList MenuCommands() {
        QStringList commands = m_sim->Commands();
        commands.removeAll("\r");
        return commands;
    }
    int CountOf(const QString& command) { return int(m_sim->Commands().count(command)); }

    QPushButton* Run() const { return qobject_cast<QPushButton*>(m_dlg->Control(id::kRun)); }
    QLineEdit* Status() const { return qobject_cast<QLineEdit*>(m_dlg->Control(id::kStatus)); }
    QString StatusLine() const { return Status()->text(); }
    QAbstractButton* Radio(int which) const {
        return qobject_cast<QAbstractButton*>(m_dlg->Control(which));
    }
    QComboBox* PortList() const { return qobject_cast<QComboBox*>(m_dlg->Control(id::kPortList)); }
    QProgressBar* Progress() const {
        return qobject_cast<QProgressBar*>(m_dlg->Control(id::kProgress));
    }

    // Writes `image` as `fileName` in the test's folder and chooses it through the "&Open..."
    // button's file dialog, typing its path as the operator does; returns the filters the
    // dialog offered, or nothing when the file was not taken.
    QString WriteTarget(const QString& fileName, const QByteArray& image) {
        const QString path = m_config->Path(fileName);
        if (!WriteFile(path, image)) {
            return {};
        }
        QString offered;
        ModalWatcher<QFileDialog> watcher([&](QFileDialog* dialog) {
            offered = dialog->nameFilters().join("\n");
            dialog->findChild<QLineEdit*>("fileNameEdit")->setText(path);
            QMetaObject::invokeMethod(dialog, "accept");
        });
        qobject_cast<QAbstractButton*>(m_dlg->Control(id::kOpenTarget))->click();
        const auto* target = qobject_cast<QLineEdit*>(m_dlg->Control(id::kTargetFile));
        return target->text() == path ? offered : QString();
    }

    // Every message box, taken down and closed with OK.
    ModalWatcher<QMessageBox> m_boxWatcher{[this](QMessageBox* box) {
        m_boxes.append({box->windowTitle(), box->text(), box->icon(), m_dlg->CheckedFunction(),
                        StatusLine(), Run()->isEnabled(), m_dlg->MessageBoxOpen()});
        box->button(QMessageBox::Ok)->click();
    }};
    std::unique_ptr<ConfigHome> m_config;
    std::unique_ptr<Sim> m_sim;
    std::unique_ptr<Sim> m_sim2;
    std::unique_ptr<CVantrelDistributionDlg> m_dlg;
    QList<Box> m_boxes;
    QStringList m_statusShown;
    QStringList m_titles;
};

QTEST_MAIN(MainDialogTest)
#include "test_main_dialog.moc"
