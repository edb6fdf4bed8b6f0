#pragma once

#include <QStringList>
#include <atomic>
#include <memory>

class CVantrelDistributionDlg;
class QApplication;

namespace vantrel {
class AutomationClassFactory;
class SteadyClock;
class TraceFile;
class WireTrace;
}  // namespace vantrel

class QObject;

// Something that joins the main dialog for as long as it runs, made by a variant of the
// program (the tests' one plays the operator); the installed program has none.
using DialogCompanionFactory = std::unique_ptr<QObject> (*)(CVantrelDistributionDlg& dialog);
void SetDialogCompanionFactory(DialogCompanionFactory factory);

// The application: starts the window system, offers the automation object on the session bus
// or refreshes its activation entry, runs the main dialog as the only window, and ends.
//
// The application's name, the caption of every message box, is the program file's name
// without its extension ("VantrelDistribution").
class CVantrelDistributionApp {
public:
    // `argc` and `argv` are main's; both must outlive the application.
    CVantrelDistributionApp(int& argc, char** argv);
    ~CVantrelDistributionApp();
    CVantrelDistributionApp(const CVantrelDistributionApp&) = delete;
    CVantrelDistributionApp& operator=(const CVantrelDistributionApp&) = delete;

    // Starts up, runs the main dialog until it ends, and answers false in every case: there is
    // no message loop after the dialog.
    bool InitInstance();
    // Takes the automation object off the bus; returns the process exit status: 0, or
    // kExitUsage when the command line could not be followed. (A copy whose window system
    // cannot start ends during InitInstance with kExitPlatformFailed.)
    int ExitInstance();

    // The main dialog while it runs, or none.
    CVantrelDistributionDlg* MainWindow() const { return m_mainWindow; }

    // Counts the automation objects handed out. When the last one is released in a copy that
    // the bus started, the copy is under the operator's control again and, unless one of the
    // window's boxes is open, ends without the Exit handler (nothing sent, port not saved).
    void LockApp();
    void UnlockApp();

private:
    bool StartPlatform();
    bool InitComModule();
    void OfferAutomation();
    // Takes --trace FILE from the command line and starts the wire trace into FILE. False,
    // after telling the operator why, when the option is wrong or the file cannot be written.
    bool StartTrace();
    void RunMainDialog();

    int& m_argc;
    char** m_argv;
    std::unique_ptr<QApplication> m_platform;
    QStringList m_commandLine;
    bool m_moduleInitialised = false;
    bool m_userControl = true;
    std::atomic<int> m_objectCount{0};
    CVantrelDistributionDlg* m_mainWindow = nullptr;
    std::unique_ptr<vantrel::AutomationClassFactory> m_factory;
    int m_exitStatus = 0;
    // The wire trace of --trace, which outlives the main dialog.
    std::unique_ptr<vantrel::SteadyClock> m_traceClock;
    std::unique_ptr<vantrel::TraceFile> m_traceFile;
    std::unique_ptr<vantrel::WireTrace> m_trace;
};
