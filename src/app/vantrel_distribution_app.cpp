#include "app/vantrel_distribution_app.h"

#include <QApplication>
#include <QCoreApplication>
#include <QDBusConnection>
#include <QFileInfo>
#include <cstdio>
#include <cstdlib>

#include "app/app_limits.h"
#include "app/automation_class_factory.h"
#include "app/command_line.h"
#include "app/service_file.h"
#include "serial/clock.h"
#include "serial/trace_file.h"
#include "serial/wire_trace.h"
#include "session/strings.h"
#include "ui/vantrel_distribution_dlg.h"

namespace {

QtMessageHandler g_previousHandler = nullptr;
DialogCompanionFactory g_companionFactory = nullptr;
QByteArray g_applicationName;

void PrintLine(const QByteArray& line) {
    std::fwrite(line.constData(), 1, static_cast<size_t>(line.size()), stderr);
    std::fputc('\n', stderr);
    std::fflush(stderr);
}

// Active while the window system starts. Qt cannot report a failed start to its caller: it
// ends the process with a fatal message. Without a window system no box can be shown, so the
// program tells the operator on stderr, with Qt's own reason first, and ends in order instead
// of aborting.
void PlatformStartHandler(QtMsgType type, const QMessageLogContext& context, const QString& text) {
    if (type != QtFatalMsg) {
        if (g_previousHandler != nullptr) {
            g_previousHandler(type, context, text);
        } else {
            PrintLine(qFormatLogMessage(type, context, text).toLocal8Bit());
        }
        return;
    }
    PrintLine(text.toLocal8Bit());
    PrintLine(g_applicationName + ": " +
              QByteArray::fromStdString(vantrel::LoadString(vantrel::Str::OleInitFailed)));
    std::_Exit(vantrel::kExitPlatformFailed);
}

void PrintToOperator(const QString& text) {
    PrintLine((QCoreApplication::applicationName() + QStringLiteral(": ") + text).toLocal8Bit());
}

}  // namespace

void SetDialogCompanionFactory(DialogCompanionFactory factory) {
    g_companionFactory = factory;
}

CVantrelDistributionApp::CVantrelDistributionApp(int& argc, char** argv)
    : m_argc(argc), m_argv(argv) {}

CVantrelDistributionApp::~CVantrelDistributionApp() {
    m_factory.reset();
    m_trace.reset();
    m_platform.reset();
}

bool CVantrelDistributionApp::InitInstance() {
    if (!StartPlatform() || !InitComModule()) {
        return false;
    }
    m_commandLine = QCoreApplication::arguments().mid(1);
    if (!StartTrace()) {
        m_exitStatus = vantrel::kExitUsage;
        return false;
    }
    if (vantrel::TakeStartSwitch(m_commandLine) != vantrel::StartMode::User) {
        m_userControl = false;
        OfferAutomation();
    } else if (vantrel::UserServiceFileNeeded(QCoreApplication::applicationFilePath())) {
        vantrel::UpdateServiceFile(vantrel::ServiceFilePath(),
                                   QCoreApplication::applicationFilePath());
    }
    RunMainDialog();
    return false;
}

int CVantrelDistributionApp::ExitInstance() {
    if (m_moduleInitialised) {
        m_factory.reset();
        m_moduleInitialised = false;
    }
    if (m_trace) {
        m_trace.reset();
        if (!m_traceFile->ErrorText().empty()) {
            PrintToOperator(QString::fromStdString(m_traceFile->ErrorText()));
        }
    }
    return m_exitStatus;
}

bool CVantrelDistributionApp::StartTrace() {
    const vantrel::TraceRequest request = vantrel::TakeTraceOption(m_commandLine);
    if (!request.error.isEmpty()) {
        PrintToOperator(request.error);
        return false;
    }
    if (request.path.isEmpty()) {
        return true;
    }
    m_traceFile = std::make_unique<vantrel::TraceFile>();
    if (!m_traceFile->Open(QFile::encodeName(request.path).toStdString())) {
        PrintToOperator(QString::fromStdString(m_traceFile->ErrorText()));
        return false;
    }
    m_traceClock = std::make_unique<vantrel::SteadyClock>();
    m_trace = std::make_unique<vantrel::WireTrace>(
        *m_traceFile, *m_traceClock, vantrel::TraceDetail::Frames,
        QCoreApplication::applicationName().toStdString());
    return true;
}

void CVantrelDistributionApp::LockApp() {
    ++m_objectCount;
}

void CVantrelDistributionApp::UnlockApp() {
    if (--m_objectCount > 0 || m_userControl) {
        return;
    }
    m_userControl = true;
    if (m_mainWindow == nullptr) {
        QCoreApplication::quit();
    } else if (!m_mainWindow->MessageBoxOpen()) {
        m_mainWindow->EndWithoutExit();
    }
}

bool CVantrelDistributionApp::StartPlatform() {
    g_applicationName =
        QFileInfo(QString::fromLocal8Bit(m_argv[0])).completeBaseName().toLocal8Bit();
    g_previousHandler = qInstallMessageHandler(PlatformStartHandler);
    m_platform = std::make_unique<QApplication>(m_argc, m_argv);
    qInstallMessageHandler(g_previousHandler);
    // The window only hides while an automation client holds the application; the end of
    // the main dialog, not the last window, ends the program.
    QApplication::setQuitOnLastWindowClosed(false);
    return true;
}

bool CVantrelDistributionApp::InitComModule() {
    m_moduleInitialised = true;
    return true;
}

void CVantrelDistributionApp::OfferAutomation() {
    m_factory =
        std::make_unique<vantrel::AutomationClassFactory>(QDBusConnection::sessionBus(), *this);
    QString why;
    if (!m_factory->Register(why)) {
        PrintToOperator(QStringLiteral("automation is not offered: ") + why);
    }
}

void CVantrelDistributionApp::RunMainDialog() {
    CVantrelDistributionDlg dialog(nullptr, m_trace.get());
    m_mainWindow = &dialog;
    const std::unique_ptr<QObject> companion =
        g_companionFactory != nullptr ? g_companionFactory(dialog) : nullptr;
    dialog.DoModal();
    m_mainWindow = nullptr;
}
