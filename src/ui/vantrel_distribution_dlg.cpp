#include "vantrel_distribution_dlg.h"

#include <QAction>
#include <QButtonGroup>
#include <QCloseEvent>
#include <QComboBox>
#include <QCoreApplication>
#include <QEventLoop>
#include <QFile>
#include <QFileDialog>
#include <QFileInfo>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QPainter>
#include <QProgressBar>
#include <QPushButton>
#include <QRadioButton>
#include <QStyleOptionFrame>
#include <QTimer>

#include "about_dlg.h"
#include "automation_proxy.h"
#include "dialog_units.h"
#include "serial/clock.h"
#include "serial/port_memory.h"
#include "serial/qt_serial_port.h"
#include "serial/serial_channel.h"
#include "serial/tracing_port.h"
#include "session/bootloader.h"
#include "session/connection.h"
#include "session/image_file.h"
#include "session/strings.h"
#include "session/trace_events.h"
#include "session/xmodem.h"
#include "ui_resources.h"

using namespace vantrel;

namespace {

// Dialog template 102, in dialog units.
constexpr int kWidth = 276;
constexpr int kHeight = 145;
constexpr int kFontPoints = 8;

// The progress bar's range at start: the blank check's and erase's steps set their own.
constexpr int kInitialProgressHigh = 15;

// Every tick repaints what is invalid, between operations.
constexpr int kRepaintPeriodMs = 100;

// Extension the open-file dialog adds to a typed name without one, under the UpGrade filter.
const QString kTargetSuffix = QStringLiteral("upg");

// Keyboard shortcut of the About box (the window managers give no system menu to extend).
constexpr QKeySequence::StandardKey kAboutKey = QKeySequence::HelpContents;

struct FunctionSpec {
    int id;
    const char* label;  // the radio button's text
    int x, y, width, height;
    bool operatorMaySelect;
    Str caption;      // the Run button's caption
    Str description;  // the status line while On-Line
};

// The six functions, in template order. Only Auto and Restart are offered to the operator.
constexpr FunctionSpec kFunctions[] = {
    {control_id::kFunctionBlankCheck, "Blank Check User Area", 170, 51, 97, 10, false,
     Str::CaptionCheck, Str::DescBlankCheck},
    {control_id::kFunctionMemoryTest, "Memory Test", 170, 62, 56, 10, false, Str::CaptionTest,
     Str::DescMemoryTest},
    {control_id::kFunctionErase, "Erase User Area", 170, 73, 81, 10, false, Str::CaptionErase,
     Str::DescErase},
    {control_id::kFunctionDownload, "Download", 170, 84, 47, 10, false, Str::CaptionDownload,
     Str::DescDownload},
    {control_id::kFunctionAuto, "Auto", 170, 95, 43, 9, true, Str::CaptionAuto, Str::DescAuto},
    {control_id::kFunctionRestart, "Restart", 170, 106, 43, 9, true, Str::CaptionRestart,
     Str::DescRestart},
};

const FunctionSpec* FindFunction(int id) {
    for (const auto& f : kFunctions) {
        if (f.id == id) {
            return &f;
        }
    }
    return nullptr;
}

QString Text(const std::string& text) {
    return QString::fromUtf8(text);
}
QString Text(Str id) {
    return Text(LoadString(id));
}

const char* const kControlId = "controlId";

void SetId(QWidget* widget, int id) {
    widget->setProperty(kControlId, id);
}

// The Target File field: a path too long for it is shown with its middle left out, so that the
// folder's beginning and the file's name both stay in sight. Only the painting changes: text()
// stays the whole path (the window reads it back), the tooltip shows it too, and with the focus
// the field shows it whole to scroll through and select, as any line edit does.
class PathField : public QLineEdit {
public:
    using QLineEdit::QLineEdit;

protected:
    void paintEvent(QPaintEvent* event) override {
        QStyleOptionFrame panel;
        initStyleOption(&panel);
        // Qt's line edit keeps 2 pixels beside its text and 1 above and below.
        const QRect area = style()
                               ->subElementRect(QStyle::SE_LineEditContents, &panel, this)
                               .marginsRemoved(textMargins())
                               .adjusted(2, 1, -2, -1);
        if (hasFocus() || fontMetrics().horizontalAdvance(text()) <= area.width()) {
            QLineEdit::paintEvent(event);
            return;
        }
        QPainter painter(this);
        style()->drawPrimitive(QStyle::PE_PanelLineEdit, &panel, &painter, this);
        painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled,
                                       QPalette::Text));
        painter.drawText(area, Qt::AlignLeft | Qt::AlignVCenter,
                         fontMetrics().elidedText(text(), Qt::ElideMiddle, area.width()));
    }
};

QGroupBox* Frame(QWidget* parent, const QString& title, const QRect& at) {
    auto* frame = new QGroupBox(title, parent);
    frame->setGeometry(at);
    // Frames come after their contents in the template; they stay underneath them.
    frame->lower();
    return frame;
}

}  // namespace

CVantrelDistributionDlg::CVantrelDistributionDlg(QWidget* parent, WireTrace* trace)
    : QDialog(parent, Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint),
      m_appIcon(AppIcon()),
      m_port(std::make_unique<QtSerialPort>()),
      m_clock(std::make_unique<SteadyClock>()),
      m_tracingPort(trace != nullptr ? std::make_unique<TracingPort>(*m_port, *trace) : nullptr),
      m_traceEvents(trace != nullptr ? std::make_unique<TraceEvents>(*trace) : nullptr),
      m_channel(std::make_unique<SerialChannel>(
          m_tracingPort ? static_cast<Port&>(*m_tracingPort) : *m_port, *m_clock)),
      m_connection(std::make_unique<Connection>(
          *m_channel, *this, m_traceEvents ? *m_traceEvents : NoSessionEvents())),
      m_sender(std::make_unique<XModemSender>(*m_channel, *this, m_connection->events())),
      m_bootLoader(std::make_unique<BootLoader>(*m_connection, *m_sender)) {
    setWindowTitle(QStringLiteral("Vantrel"));
    // Only the operator can bring a failed port back, by choosing it (or another) again.
    m_connection->SetPortFailedAdvice(" - Select the port again");
    CreateControls();
    CreateAboutAction();
    m_port->SetReceiveHandler([this] { m_connection->IdentifyInstrument(); });
}

CVantrelDistributionDlg::~CVantrelDistributionDlg() {
    if (m_automationProxy != nullptr) {
        m_automationProxy->OwnerDialog = nullptr;
    }
    // The session goes before the port it talks through.
    m_bootLoader.reset();
    m_sender.reset();
    m_connection.reset();
    m_channel.reset();
    m_port->SetReceiveHandler(nullptr);
    if (m_tracingPort) {
        m_tracingPort->Close();
    }
}

void CVantrelDistributionDlg::CreateControls() {
    setFont(TemplateFont(QStringLiteral("Courier New"), kFontPoints, true));
    const DialogUnits du(font());
    setFixedSize(du.X(kWidth), du.Y(kHeight));

    m_functions = new QButtonGroup(this);
    for (const auto& f : kFunctions) {
        auto* radio = new QRadioButton(QString::fromLatin1(f.label), this);
        radio->setGeometry(du.Rect(f.x, f.y, f.width, f.height));
        radio->setEnabled(f.operatorMaySelect);
        SetId(radio, f.id);
        m_functions->addButton(radio, f.id);
    }
    connect(m_functions, &QButtonGroup::idClicked, this, [this] { SelectFunction(); });

    m_run = new QPushButton(QStringLiteral("&Check"), this);
    m_run->setGeometry(du.Rect(170, 119, 43, 12));
    m_run->setDefault(true);
    SetId(m_run, control_id::kRun);
    connect(m_run, &QPushButton::clicked, this, [this] { RunFunction(); });

    m_exit = new QPushButton(QStringLiteral("E&xit"), this);
    m_exit->setGeometry(du.Rect(221, 119, 41, 12));
    SetId(m_exit, control_id::kExit);
    connect(m_exit, &QPushButton::clicked, this, &CVantrelDistributionDlg::reject);

    // A drop-down with an edit field, in sorted order. Typing into the field selects
    // nothing and adds nothing; only a choice from the list (re)opens a port.
    m_portList = new QComboBox(this);
    m_portList->setEditable(true);
    m_portList->setInsertPolicy(QComboBox::NoInsert);
    m_portList->setMaxVisibleItems(8);
    const QRect portAt = du.Rect(212, 21, 52, 57);
    m_portList->setGeometry(portAt.x(), portAt.y(), portAt.width(),
                            m_portList->sizeHint().height());
    SetId(m_portList, control_id::kPortList);
    connect(m_portList, &QComboBox::activated, this, [this] { OnPortSelected(); });
    // Qt's editable combo box takes an edit that ends (Enter, Tab, a click elsewhere) on a
    // listed name for a choice of that entry; here it would reopen the port and drop an
    // On-Line session. Typed text is only shown: the edit ends by showing the open port again.
    QLineEdit* portEdit = m_portList->lineEdit();
    disconnect(portEdit, &QLineEdit::returnPressed, m_portList, nullptr);
    disconnect(portEdit, &QLineEdit::editingFinished, m_portList, nullptr);
    connect(portEdit, &QLineEdit::editingFinished, this, [this] {
        m_portList->setEditText(m_portList->itemText(m_portList->currentIndex()));
    });

    m_open = new QPushButton(QStringLiteral("&Open..."), this);
    m_open->setGeometry(du.Rect(116, 82, 42, 12));
    SetId(m_open, control_id::kOpenTarget);
    connect(m_open, &QPushButton::clicked, this, [this] { ChooseTargetFile(); });

    auto* portLabel = new QLabel(QStringLiteral("COM Port"), this);
    portLabel->setGeometry(du.Rect(212, 11, 30, 8));

    m_progress = new QProgressBar(this);
    m_progress->setGeometry(du.Rect(12, 117, 146, 13));
    m_progress->setTextVisible(false);
    SetId(m_progress, control_id::kProgress);

    Frame(this, QStringLiteral("Target File"), du.Rect(7, 72, 157, 27));

    m_targetEdit = new PathField(this);
    m_targetEdit->setGeometry(du.Rect(12, 82, 96, 12));
    m_targetEdit->setReadOnly(true);
    SetId(m_targetEdit, control_id::kTargetFile);

    Frame(this, QStringLiteral("Progress"), du.Rect(7, 105, 157, 33));
    Frame(this, QStringLiteral("Connection Status "), du.Rect(7, 5, 262, 32));
    SetId(Frame(this, QStringLiteral("Function"), du.Rect(163, 40, 106, 98)),
          control_id::kFunctionFrame);

    m_statusEdit = new QLineEdit(this);
    m_statusEdit->setGeometry(du.Rect(13, 18, 194, 15));
    m_statusEdit->setReadOnly(true);
    m_statusEdit->setAlignment(Qt::AlignCenter);
    SetId(m_statusEdit, control_id::kStatus);

    // The device that the selected COM name stands for, in the free space below the status.
    m_portDevice = new QLabel(this);
    m_portDevice->setGeometry(du.Rect(12, 44, 146, 8));
    m_portDevice->setTextFormat(Qt::PlainText);

    m_repaintTimer = new QTimer(this);
    m_repaintTimer->setInterval(kRepaintPeriodMs);
    connect(m_repaintTimer, &QTimer::timeout, this, [this] { OnTimer(); });
}

void CVantrelDistributionDlg::CreateAboutAction() {
    auto* about = new QAction(Text(Str::AboutMenuItem), this);
    about->setShortcut(QKeySequence(kAboutKey));
    about->setShortcutContext(Qt::WindowShortcut);
    connect(about, &QAction::triggered, this, [this] { ShowAbout(); });
    addAction(about);
    setContextMenuPolicy(Qt::ActionsContextMenu);
}

int CVantrelDistributionDlg::DoModal() {
    // A loop of its own rather than exec(): hiding the window for an automation client must
    // not end it, only done() does.
    QEventLoop loop;
    m_modalLoop = &loop;
    show();
    if (isVisible()) {
        loop.exec(QEventLoop::DialogExec);
    }
    m_modalLoop = nullptr;
    return result();
}

void CVantrelDistributionDlg::done(int code) {
    QDialog::done(code);
    if (m_modalLoop != nullptr) {
        m_modalLoop->exit(code);
    }
}

void CVantrelDistributionDlg::showEvent(QShowEvent* event) {
    QDialog::showEvent(event);
    if (!m_initialised) {
        m_initialised = true;
        OnInitDialog();
    }
}

void CVantrelDistributionDlg::OnInitDialog() {
    setWindowIcon(m_appIcon);

    m_ports = ListPorts();
    m_portList->clear();
    for (const auto& entry : m_ports) {
        m_portList->addItem(QString::fromStdString(entry.name));
    }
    m_portList->setCurrentIndex(m_ports.empty() ? -1 : 0);

    CheckFunction(control_id::kFunctionAuto);
    CollectControls();
    SetRunCaption(LoadString(Str::CaptionAuto));
    SetStatus(LoadString(Str::InstrumentOffLine));

    SetProgressRange(kInitialProgressHigh);
    SetProgressStep(1);
    SetProgressPos(0);

    m_repaintTimer->start();

    m_portMemoryPath = PortMemoryPath();
    std::vector<std::string> names;
    for (const auto& entry : m_ports) {
        names.push_back(entry.name);
    }
    m_portList->setCurrentIndex(
        LoadPortMemory(m_portMemoryPath, names, m_portList->currentIndex()));
    UpdatePortDevice();

    OpenSelectedPort();
}

void CVantrelDistributionDlg::accept() {
    RunFunction();
}

void CVantrelDistributionDlg::RunFunction() {
    if (!m_connection->OnLine()) {
        ShowMessage(LoadString(Str::InstrumentOffLine), QMessageBox::Critical);
        return;
    }
    CollectControls();
    const int function = CheckedFunction();
    switch (function) {
        case control_id::kFunctionBlankCheck:
            m_bootLoader->BlankCheck();
            return;
        case control_id::kFunctionMemoryTest:
            m_bootLoader->VerifyProtection();
            return;
        case control_id::kFunctionErase:
            m_bootLoader->EraseUserArea();
            return;
        case control_id::kFunctionDownload:
        case control_id::kFunctionAuto: {
            // Refused before anything is sent: an empty file would have the user area erased
            // and then "completed" with no block sent; one gone since it was chosen would be
            // noticed only after the erase.
            if (m_targetFile.empty() || !UnusableTarget(m_targetFile).empty()) {
                ShowMessage(LoadString(Str::InvalidTargetFile), QMessageBox::Critical);
                return;
            }
            const bool done = function == control_id::kFunctionDownload
                                  ? m_bootLoader->DownloadProgram() >= 0
                                  : m_bootLoader->AutoReprogram() == 0;
            if (!done) {
                ShowMessage(LoadString(Str::DownloadAborted), QMessageBox::Critical);
                return;
            }
            ShowMessage(LoadString(Str::DownloadCompleted), QMessageBox::Warning);
            SwitchToRestart();
            return;
        }
        case control_id::kFunctionRestart:
            if (m_bootLoader->RestartInstrument() != 0) {
                ShowMessage(LoadString(Str::RestartAborted), QMessageBox::Critical);
                return;
            }
            // The instrument now runs its new program: the next operation needs another reset.
            m_connection->GoConnectionLost();
            ShowMessage(LoadString(Str::Restarting), QMessageBox::Warning);
            return;
        default:
            return;
    }
}

void CVantrelDistributionDlg::SwitchToRestart() {
    CheckFunction(control_id::kFunctionRestart);
    SetRunCaption(LoadString(Str::CaptionRestart));
    FocusRun();
    m_statusText = LoadString(Str::DescRestart);
    SetStatus(m_statusText);
}

void CVantrelDistributionDlg::SelectFunction() {
    CollectControls();
    if (const FunctionSpec* f = FindFunction(CheckedFunction())) {
        SetRunCaption(LoadString(f->caption));
        if (m_connection->OnLine()) {
            m_statusText = LoadString(f->description);
        }
    }
    SetStatus(m_statusText);
}

void CVantrelDistributionDlg::reject() {
    if (m_connection->OnLine()) {
        // The boot loader's exit command.
        m_channel->SendText("7");
    }
    if (MayClose()) {
        done(QDialog::Rejected);
    }
    SavePort();
}

bool CVantrelDistributionDlg::MayClose() {
    if (m_automationProxy != nullptr) {
        hide();
        return false;
    }
    return true;
}

void CVantrelDistributionDlg::closeEvent(QCloseEvent* event) {
    // The close box runs Exit; while an automation client holds the window it only hides.
    event->ignore();
    if (MayClose()) {
        reject();
    }
}

void CVantrelDistributionDlg::EndWithoutExit() {
    done(QDialog::Rejected);
}

void CVantrelDistributionDlg::SavePort() {
    const int index = m_portList->currentIndex();
    const std::string selected =
        index < 0 ? std::string() : m_portList->itemText(index).toStdString();
    // A folder that cannot be written loses only the remembered port; Exit goes on.
    SavePortMemory(m_portMemoryPath.empty() ? PortMemoryPath() : m_portMemoryPath, selected);
}

void CVantrelDistributionDlg::OnPortSelected() {
    UpdatePortDevice();
    OpenSelectedPort();
}

void CVantrelDistributionDlg::OpenSelectedPort() {
    const int index = m_portList->currentIndex();
    std::string device;
    if (index >= 0) {
        device = ResolvePort(m_ports, m_portList->itemText(index).toStdString());
    }
    m_connection->OpenPort(device);
}

void CVantrelDistributionDlg::UpdatePortDevice() {
    const int index = m_portList->currentIndex();
    if (index < 0) {
        m_portDevice->clear();
        m_portDevice->setToolTip(QString());
        return;
    }
    const QString name = m_portList->itemText(index);
    const QString device = QString::fromStdString(ResolvePort(m_ports, name.toStdString()));
    const QString text = name + QStringLiteral(": ") + device;
    m_portDevice->setText(
        m_portDevice->fontMetrics().elidedText(text, Qt::ElideMiddle, m_portDevice->width()));
    m_portDevice->setToolTip(text);
    m_portList->setToolTip(device);
}

void CVantrelDistributionDlg::ChooseTargetFile() {
    CollectControls();
    QFileDialog dialog(this, QStringLiteral("Open Target File"));
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    dialog.setFileMode(QFileDialog::ExistingFile);
    dialog.setOption(QFileDialog::HideNameFilterDetails);
    // Each filter's pattern is in its last parentheses. "All Files" takes "*", which matches
    // every name: "*.*" would hide a file without a dot in its name.
    const QString upgrade = QStringLiteral("UpGrade Files( *.upg ) (*.upg)");
    dialog.setNameFilters({upgrade, QStringLiteral("Binary Files( *.bin ) (*.bin)"),
                           QStringLiteral("All Files( *.*) (*)")});
    // The default extension belongs to the UpGrade filter: under the others a typed name is
    // taken as it stands, or a file without a dot could never be chosen.
    dialog.setDefaultSuffix(kTargetSuffix);
    connect(&dialog, &QFileDialog::filterSelected, &dialog, [&dialog, upgrade](const QString& f) {
        dialog.setDefaultSuffix(f == upgrade ? kTargetSuffix : QString());
    });
    if (!m_targetFile.empty()) {
        dialog.setDirectory(QFileInfo(QFile::decodeName(m_targetFile.c_str())).absolutePath());
    }
    ++m_modalBoxes;
    const bool chosen = dialog.exec() == QDialog::Accepted && !dialog.selectedFiles().isEmpty();
    --m_modalBoxes;
    if (!chosen) {
        return;
    }
    const QString path = QFileInfo(dialog.selectedFiles().constFirst()).absoluteFilePath();
    m_targetFile = QFile::encodeName(path).toStdString();
    RefreshControls();
}

void CVantrelDistributionDlg::ShowAbout() {
    CVantrelAboutDlg about(this);
    ++m_modalBoxes;
    about.exec();
    --m_modalBoxes;
}

void CVantrelDistributionDlg::ShowMessage(const std::string& text, QMessageBox::Icon icon) {
    QString caption = QCoreApplication::applicationName();
    if (caption.isEmpty()) {
        caption = QStringLiteral("VantrelDistribution");
    }
    ++m_modalBoxes;
    if (m_messageHook) {
        m_messageHook(caption, Text(text), icon);
    } else {
        QMessageBox box(icon, caption, Text(text), QMessageBox::Ok, this);
        box.exec();
    }
    --m_modalBoxes;
}

void CVantrelDistributionDlg::OnTimer() {
    QCoreApplication::sendPostedEvents(this, QEvent::UpdateRequest);
}

QWidget* CVantrelDistributionDlg::Control(int id) const {
    for (QWidget* child : findChildren<QWidget*>()) {
        if (child->property(kControlId).toInt() == id) {
            return child;
        }
    }
    return nullptr;
}

bool CVantrelDistributionDlg::OnLine() const {
    return m_connection->OnLine();
}

// --- operator display ------------------------------------------------------------------------

void CVantrelDistributionDlg::SetStatus(const std::string& text) {
    m_statusText = text;
    RefreshControls();
    RepaintAndShow();
}

void CVantrelDistributionDlg::SetTitle(const std::string& text) {
    setWindowTitle(Text(text));
}

void CVantrelDistributionDlg::RefreshControls() {
    m_targetShown = QFile::decodeName(m_targetFile.c_str());
    m_statusShown = Text(m_statusText);
    m_targetEdit->setText(m_targetShown);
    m_targetEdit->setToolTip(m_targetShown);
    m_statusEdit->setText(m_statusShown);
    m_statusEdit->setCursorPosition(0);
}

void CVantrelDistributionDlg::CollectControls() {
    // The controls are read-only: while they show what was written, the fields keep their
    // exact bytes (a line of the boot loader need not be valid UTF-8).
    if (m_targetEdit->text() != m_targetShown) {
        m_targetFile = QFile::encodeName(m_targetEdit->text()).toStdString();
    }
    if (m_statusEdit->text() != m_statusShown) {
        m_statusText = m_statusEdit->text().toStdString();
    }
}

void CVantrelDistributionDlg::RepaintAndShow() {
    // The session blocks the GUI thread: paint now, without going back to the event loop.
    repaint();
    if (!isVisible()) {
        show();
        raise();
        activateWindow();
    }
}

void CVantrelDistributionDlg::SetProgressRange(int high) {
    m_progressHigh = qMax(0, high);
    m_progressPos = qBound(0, m_progressPos, m_progressHigh);
    ShowProgress();
}

void CVantrelDistributionDlg::SetProgressStep(int increment) {
    m_progressStep = increment;
}

void CVantrelDistributionDlg::SetProgressPos(int position) {
    m_progressPos = qBound(0, position, m_progressHigh);
    ShowProgress();
}

void CVantrelDistributionDlg::StepProgress() {
    // Stepped past its end the bar stays full: a finished transfer never shows as empty.
    const qint64 next = qint64{m_progressPos} + m_progressStep;
    m_progressPos = static_cast<int>(qBound(qint64{0}, next, qint64{m_progressHigh}));
    ShowProgress();
}

void CVantrelDistributionDlg::ShowProgress() {
    // An empty range would turn the bar into a busy indicator; it shows empty instead.
    m_progress->setRange(0, qMax(1, m_progressHigh));
    m_progress->setValue(m_progressHigh == 0 ? 0 : m_progressPos);
    m_progress->repaint();
}

void CVantrelDistributionDlg::SetRunCaption(const std::string& caption) {
    m_run->setText(Text(caption));
}

void CVantrelDistributionDlg::EnableRun(bool enabled) {
    m_run->setEnabled(enabled);
}

void CVantrelDistributionDlg::FocusRun() {
    m_run->setFocus(Qt::OtherFocusReason);
}

void CVantrelDistributionDlg::CheckFunction(int id) {
    // Exclusive groups cannot be emptied: clear all, then check the one asked for.
    m_functions->setExclusive(false);
    for (QAbstractButton* button : m_functions->buttons()) {
        button->setChecked(m_functions->id(button) == id);
    }
    m_functions->setExclusive(true);
}

int CVantrelDistributionDlg::CheckedFunction() const {
    const int id = m_functions->checkedId();
    return id < 0 ? 0 : id;
}
