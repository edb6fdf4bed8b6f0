#include "line_rig.h"

#include "images.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <algorithm>
#include <cerrno>

namespace vantrel::test {

namespace {

bool MakeRaw(int fd) {
    termios settings{};
    if (::tcgetattr(fd, &settings) != 0) {
        return false;
    }
    ::cfmakeraw(&settings);
    return ::tcsetattr(fd, TCSANOW, &settings) == 0;
}

int Left(const QDeadlineTimer& deadline) {
    return static_cast<int>(std::max<qint64>(0, deadline.remainingTime()));
}

// Waits up to `ms` for the process to end, then kills it; whether it ended by itself.
bool EndWithin(QProcess& process, int ms) {
    if (process.state() == QProcess::NotRunning || process.waitForFinished(ms)) {
        return true;
    }
    process.kill();
    process.waitForFinished(kStartLimitMs);
    return false;
}

// Waits up to `ms` for an output line that starts with `prefix`; empty when none came.
QByteArray AwaitLineOf(QProcess& process, const QByteArray& prefix, int ms) {
    const QDeadlineTimer deadline(ms);
    do {
        while (process.canReadLine()) {
            const QByteArray line = process.readLine();
            if (line.startsWith(prefix)) {
                return line;
            }
        }
    } while (process.waitForReadyRead(Left(deadline)));
    return {};
}

}  // namespace

bool Pty::OpenMaster() {
    HangUp();
    m_fd = ::posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[128] = {};
    if (m_fd < 0 || ::grantpt(m_fd) != 0 || ::unlockpt(m_fd) != 0 ||
        ::ptsname_r(m_fd, name, sizeof name) != 0) {
        return false;
    }
    m_slavePath = QString::fromLocal8Bit(name);
    // Raw before the program opens it (no echo, no line-end translation): the master's
    // settings are the slave's. The slave is not opened here, so that OpenedAndClosed() tells.
    return MakeRaw(m_fd);
}

bool Pty::OpenedAndClosed() const {
    pollfd watch{m_fd, POLLIN, 0};
    return ::poll(&watch, 1, 0) > 0 && (watch.revents & POLLHUP) != 0;
}

bool Pty::Open(const QString& path) {
    HangUp();
    m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    return m_fd >= 0 && MakeRaw(m_fd);
}

void Pty::HangUp() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
    m_fd = -1;
}

bool Pty::Write(const QByteArray& bytes) {
    const QDeadlineTimer deadline(2000);
    pollfd p{m_fd, POLLOUT, 0};
    for (qsizetype done = 0; done < bytes.size();) {
        if (::poll(&p, 1, Left(deadline)) <= 0) {
            return false;
        }
        const ssize_t n = ::write(m_fd, bytes.constData() + done, size_t(bytes.size() - done));
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        done += std::max<ssize_t>(n, 0);
    }
    return true;
}

QByteArray Pty::Read(qsizetype count, int ms) {
    QByteArray got;
    const QDeadlineTimer deadline(ms);
    pollfd p{m_fd, POLLIN, 0};
    while (got.size() < count && ::poll(&p, 1, Left(deadline)) > 0) {
        char buffer[4096];
        const auto want = std::min<size_t>(sizeof buffer, static_cast<size_t>(count - got.size()));
        const ssize_t n = ::read(m_fd, buffer, want);
        if (n > 0) {
            got.append(buffer, n);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            break;  // hung up
        }
    }
    return got;
}

QByteArray AsNobody(const std::function<std::string()>& work) {
    int fds[2];
    if (::pipe(fds) != 0) {
        return "pipe failed";
    }
    const pid_t child = ::fork();
    if (child == 0) {
        ::close(fds[0]);
        const std::string text =
            ::setgid(65534) == 0 && ::setuid(65534) == 0 ? work() : "setuid failed";
        ::_exit(::write(fds[1], text.data(), text.size()) < 0 ? 1 : 0);
    }
    ::close(fds[1]);
    QByteArray text;
    char buffer[512];
    for (ssize_t n = 0; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) {
        text.append(buffer, n);
    }
    ::close(fds[0]);
    ::waitpid(child, nullptr, 0);
    return text;
}

std::uint64_t CpuMs(bool children) {
    rusage usage{};
    ::getrusage(children ? RUSAGE_CHILDREN : RUSAGE_SELF, &usage);
    const auto ms = [](const timeval& t) {
        return static_cast<std::uint64_t>(t.tv_sec) * 1000 + t.tv_usec / 1000;
    };
    return ms(usage.ru_utime) + ms(usage.ru_stime);
}

ConfigHome::ConfigHome() : m_env(QProcessEnvironment::systemEnvironment()) {
    m_hadSaved = qEnvironmentVariableIsSet("XDG_CONFIG_HOME");
    m_saved = qgetenv("XDG_CONFIG_HOME");
    QDir().mkpath(ConfigPath() + QStringLiteral("/vantrel/ports"));
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(ConfigPath()));
    m_env.insert(QStringLiteral("XDG_CONFIG_HOME"), ConfigPath());
    m_env.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("offscreen"));
}

ConfigHome::~ConfigHome() {
    if (m_hadSaved) {
        qputenv("XDG_CONFIG_HOME", m_saved);
    } else {
        qunsetenv("XDG_CONFIG_HOME");
    }
}

QString ConfigHome::Path(const QString& name) const {
    return name.isEmpty() ? m_dir.path() : m_dir.filePath(name);
}

bool Sim::Start(const ConfigHome& home, const QString& alias, const QStringList& options) {
    // Files named after the alias, so that two instruments can share a folder.
    m_dir = home.Path() + QStringLiteral("/sim") + alias;
    QStringList args = options;
    if (!alias.isEmpty()) {
        args << QStringLiteral("--port") << alias;
    }
    args << QStringLiteral("--report") << m_dir + QStringLiteral("-report.json")
         << QStringLiteral("--image-out") << m_dir + QStringLiteral("-image.bin");
    m_process.setProcessEnvironment(home.Env());
    // A pipe nobody reads during a long run could fill up.
    m_process.setStandardErrorFile(m_dir + QStringLiteral(".trace"), QIODevice::Append);
    // The end of its stdin does not end the simulator: a test that dies before Stop() takes
    // its instrument along instead of leaving it running.
    m_process.setChildProcessModifier([] { ::prctl(PR_SET_PDEATHSIG, SIGTERM); });
    m_process.start(QStringLiteral(VANTREL_SIM_BIN), args);
    if (!m_process.waitForStarted(kStartLimitMs)) {
        return false;
    }
    m_device =
        QString::fromLocal8Bit(AwaitLineOf(m_process, "PTY ", kStartLimitMs).mid(4).trimmed());
    return !m_device.isEmpty();
}

void Sim::Command(const QByteArray& line) {
    m_process.write(line + '\n');
    m_process.waitForBytesWritten(kStartLimitMs);
}

QJsonObject Sim::ReadReport() const {
    return QJsonDocument::fromJson(ReadFile(m_dir + QStringLiteral("-report.json"))).object();
}

QJsonObject Sim::Report() {
    Command("report");
    return AwaitLineOf(m_process, "REPORT ", kStartLimitMs).isEmpty() ? QJsonObject()
                                                                      : ReadReport();
}

QStringList Sim::Commands() {
    QStringList commands;
    for (const auto& c : Report().value(QStringLiteral("commands")).toArray()) {
        commands << c.toString();
    }
    return commands;
}

QByteArray Sim::Image() {
    Report();
    return ReadFile(m_dir + QStringLiteral("-image.bin"));
}

QJsonObject Sim::Stop() {
    if (m_process.state() != QProcess::NotRunning) {
        Command("quit");
        m_process.closeWriteChannel();
        EndWithin(m_process, kStartLimitMs);
    }
    return ReadReport();
}

QByteArray Sim::Trace() const {
    return ReadFile(m_dir + QStringLiteral(".trace"));
}

Program::~Program() {
    EndWithin(m_process, 0);
}

bool Program::Start(const QString& path, const QStringList& args, const QProcessEnvironment& env,
                    QProcess::ProcessChannelMode mode) {
    m_process.setProcessEnvironment(env);
    m_process.setProcessChannelMode(mode);
    m_process.start(path, args);
    return m_process.waitForStarted(kStartLimitMs);
}

bool Program::WaitForOutput(const QByteArray& text, int limitMs) {
    const QDeadlineTimer deadline(limitMs);
    for (;;) {
        m_seen += m_process.readAllStandardOutput();
        if (m_seen.contains(text)) {
            return true;
        }
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning) {
            return false;
        }
        m_process.waitForReadyRead(std::min(Left(deadline), 1000));
    }
}

RunResult Program::Finish(int limitMs) {
    RunResult result;
    result.finished = EndWithin(m_process, limitMs);
    result.exitCode = m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
    result.out = m_seen + m_process.readAllStandardOutput();
    result.err = m_process.readAllStandardError();
    return result;
}

RunResult Run(const QString& path, const QStringList& args, const QProcessEnvironment& env,
              int limitMs) {
    Program program;
    program.Start(path, args, env);
    return program.Finish(limitMs);
}

SocatPeer::~SocatPeer() {
    m_process.terminate();  // socat passes SIGTERM on to its child
    EndWithin(m_process, kStartLimitMs);
    if (m_go >= 0) {
        ::close(m_go);
    }
}

bool SocatPeer::Start(const QString& dir, const QString& command) {
    m_link = dir + QStringLiteral("/tty");
    const QString fifo = dir + QStringLiteral("/go");
    const QString script = dir + QStringLiteral("/start.sh");
    if (::mkfifo(QFile::encodeName(fifo).constData(), 0600) != 0) {
        return false;
    }
    // Held open both ways: the byte Go() writes waits in the pipe, and opening never blocks.
    m_go = ::open(QFile::encodeName(fifo).constData(), O_RDWR | O_CLOEXEC);
    QFile file(script);
    if (m_go < 0 || !file.open(QIODevice::WriteOnly)) {
        return false;
    }
    file.write("head -c1 '" + QFile::encodeName(fifo) + "' >/dev/null || exit 99\nexec " +
               command.toLocal8Bit() + "\n");
    file.close();
    m_process.setWorkingDirectory(dir);
    m_process.start(
        QStringLiteral("socat"),
        {QStringLiteral("-d"), QStringLiteral("-d"), QStringLiteral("-t"), QStringLiteral("0.1"),
         QStringLiteral("pty,rawer,link=") + m_link, QStringLiteral("EXEC:sh ") + script});
    const QDeadlineTimer deadline(kStartLimitMs);
    if (!m_process.waitForStarted(kStartLimitMs)) {
        return false;
    }
    while (!m_log.contains("starting data transfer loop") || !QFileInfo::exists(m_link)) {
        if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning) {
            return false;
        }
        m_process.waitForReadyRead(std::clamp(Left(deadline), 1, 100));
        m_log += m_process.readAllStandardError();
    }
    return true;
}

void SocatPeer::Go() {
    const char go = 'g';
    if (m_go >= 0 && ::write(m_go, &go, 1) != 1) {
        m_log += "could not start the peer\n";
    }
}

int SocatPeer::Finish(int ms) {
    const bool ended = EndWithin(m_process, ms);
    m_log += m_process.readAllStandardError();
    return ended && m_process.exitStatus() == QProcess::NormalExit ? m_process.exitCode() : -1;
}

QString SocatPeer::Log() {
    m_log += m_process.readAllStandardError();
    return QString::fromLocal8Bit(m_log);
}

Relay::Relay(const QStringList& arguments, const QProcessEnvironment& env) {
    m_process.setProgram(QStringLiteral(VANTREL_RELAY_BIN));
    m_process.setArguments(arguments);
    m_process.setProcessEnvironment(env);
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

Relay::~Relay() {
    m_process.terminate();
    EndWithin(m_process, kStartLimitMs);
}

bool Relay::AwaitLine(const QByteArray& prefix, int ms) {
    return !AwaitLineOf(m_process, prefix, ms).isEmpty();
}

bool Relay::Start() {
    m_process.start();
    return m_process.waitForStarted(kStartLimitMs) && AwaitLine("PROGRAM ", kStartLimitMs) &&
           AwaitLine("READY", kStartLimitMs);
}

}  // namespace vantrel::test
