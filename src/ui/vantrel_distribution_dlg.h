#pragma once

#include <QDialog>
#include <QIcon>
#include <QMessageBox>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "serial/port_map.h"
#include "session/operator_display.h"

class QButtonGroup;
class QEventLoop;
class QComboBox;
class QLabel;
class QLineEdit;
class QProgressBar;
class QPushButton;
class QTimer;
class CVantrelDistributionDlgAutoProxy;

namespace vantrel {
class BootLoader;
class Connection;
class QtSerialPort;
class SerialChannel;
class SteadyClock;
class TraceEvents;
class TracingPort;
class WireTrace;
class XModemSender;
}  // namespace vantrel

// The operator's window and the owner of the session: the status line, the port list, the
// target file, the progress bar, the six functions, Run and Exit.
//
// Every operation runs to completion inside the handler that started it, on the one GUI
// thread; the operator display below repaints at once so the operator sees each step while
// the window takes no input. Controls are addressed by their numeric ids (control_id).
class CVantrelDistributionDlg : public QDialog, public vantrel::OperatorDisplay {
    Q_OBJECT
public:
    // With `trace` (the command line's --trace), everything on the line and every phase of the
    // session goes into it; the trace must outlive the window.
    explicit CVantrelDistributionDlg(QWidget* parent = nullptr,
                                     vantrel::WireTrace* trace = nullptr);
    ~CVantrelDistributionDlg() override;

    // Runs the window modally until Exit ends it (or EndWithoutExit); returns the end code.
    int DoModal();

    // The automation object holding the application, or none. While one is set, Exit and the
    // close box only hide the window.
    CVantrelDistributionDlgAutoProxy* AutomationProxy() const { return m_automationProxy; }
    void SetAutomationProxy(CVantrelDistributionDlgAutoProxy* proxy) { m_automationProxy = proxy; }

    // Whether the window may end: true without an automation object; with one, hides the
    // window and answers false.
    bool MayClose();
    // True while one of the window's modal boxes (message box, file dialog, About box) is
    // open: the window must not be ended from outside then.
    bool MessageBoxOpen() const { return m_modalBoxes > 0; }
    // Ends the modal loop without the Exit handler: nothing is sent, the port is not saved.
    void EndWithoutExit();

    // The control with numeric id `id` (control_id), or none.
    QWidget* Control(int id) const;
    // True while the session is On-Line.
    bool OnLine() const;

    // Shows message boxes through `hook` instead of on screen (tests, screenshots). The hook
    // gets the caption, the text and the icon, and the box counts as open while it runs.
    using MessageHook =
        std::function<void(const QString& caption, const QString& text, QMessageBox::Icon icon)>;
    void SetMessageHook(MessageHook hook) { m_messageHook = std::move(hook); }

    // --- vantrel::OperatorDisplay -----------------------------------------------------------
    void SetStatus(const std::string& text) override;
    std::string StatusText() const override { return m_statusText; }
    std::string TargetFile() const override { return m_targetFile; }
    void SetTitle(const std::string& text) override;
    void RefreshControls() override;
    void CollectControls() override;
    void RepaintAndShow() override;
    void SetProgressRange(int high) override;
    void SetProgressStep(int increment) override;
    void SetProgressPos(int position) override;
    void StepProgress() override;
    void SetRunCaption(const std::string& caption) override;
    void EnableRun(bool enabled) override;
    void FocusRun() override;
    void CheckFunction(int id) override;
    int CheckedFunction() const override;

public slots:
    // Run button and Enter: runs the checked function on an On-Line instrument.
    void accept() override;
    // Exit button, Esc and (through the close box) closing: leaves the boot loader's menu,
    // ends or hides the window, saves the port.
    void reject() override;
    // Ends the window with `code`; DoModal then returns it.
    void done(int code) override;

protected:
    void showEvent(QShowEvent* event) override;
    void closeEvent(QCloseEvent* event) override;

private:
    void CreateControls();
    void CreateAboutAction();
    void OnInitDialog();
    void RunFunction();
    void SelectFunction();
    void ChooseTargetFile();
    void ShowAbout();
    void OnPortSelected();
    void OpenSelectedPort();
    void UpdatePortDevice();
    void SwitchToRestart();
    void SavePort();
    void ShowMessage(const std::string& text, QMessageBox::Icon icon);
    void ShowProgress();
    void OnTimer();

    std::string m_portMemoryPath;
    std::vector<vantrel::PortEntry> m_ports;
    std::string m_targetFile;
    std::string m_statusText;
    // What RefreshControls last wrote: CollectControls keeps the fields' exact bytes while
    // the read-only controls still show them.
    QString m_targetShown;
    QString m_statusShown;
    int m_progressHigh = 0;
    int m_progressStep = 1;
    int m_progressPos = 0;
    bool m_initialised = false;
    int m_modalBoxes = 0;
    CVantrelDistributionDlgAutoProxy* m_automationProxy = nullptr;
    MessageHook m_messageHook;
    QEventLoop* m_modalLoop = nullptr;
    QIcon m_appIcon;

    QComboBox* m_portList = nullptr;
    QLabel* m_portDevice = nullptr;
    QProgressBar* m_progress = nullptr;
    QPushButton* m_run = nullptr;
    QPushButton* m_exit = nullptr;
    QPushButton* m_open = nullptr;
    QLineEdit* m_targetEdit = nullptr;
    QLineEdit* m_statusEdit = nullptr;
    QButtonGroup* m_functions = nullptr;
    QTimer* m_repaintTimer = nullptr;

    std::unique_ptr<vantrel::QtSerialPort> m_port;
    std::unique_ptr<vantrel::SteadyClock> m_clock;
    // Only with a trace: the port the session talks through, and its events' way in.
    std::unique_ptr<vantrel::TracingPort> m_tracingPort;
    std::unique_ptr<vantrel::TraceEvents> m_traceEvents;
    std::unique_ptr<vantrel::SerialChannel> m_channel;
    std::unique_ptr<vantrel::Connection> m_connection;
    std::unique_ptr<vantrel::XModemSender> m_sender;
    std::unique_ptr<vantrel::BootLoader> m_bootLoader;
};
