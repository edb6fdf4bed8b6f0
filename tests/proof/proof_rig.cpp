#include "proof_rig.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <termios.h>
#include <unistd.h>

#include <QElapsedTimer>
#include <QFile>
#include <QProcessEnvironment>
#include <cerrno>

namespace vantrel::proof {

namespace {

constexpr int kStartMs = 5000;

bool MakeRaw(int fd) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        return false;
    }
    cfmakeraw(&settings);
    return tcsetattr(fd, TCSANOW, &settings) == 0;
}

int RemainingMs(const QElapsedTimer& timer, int limitMs) {
    return static_cast<int>(std::max<qint64>(0, limitMs - timer.elapsed()));
}

}  // namespace

RelayProcess::RelayProcess(QStringList arguments, const QString& configHome)
    : m_arguments(std::move(arguments)) {
    if (!configHome.isEmpty()) {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert("XDG_CONFIG_HOME", configHome);
        m_process.setProcessEnvironment(environment);
    }
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

RelayProcess::~RelayProcess() {
    if (m_process.state() != QProcess::NotRunning) {
        Stop();
    }
}

bool RelayProcess::ReadLines(int ms) {
    if (m_process.bytesAvailable() == 0 && !m_process.waitForReadyRead(ms)) {
        return false;
    }
    m_output += QString::fromUtf8(m_process.readAllStandardOutput());
    m_lines = m_output.split('\n', Qt::SkipEmptyParts);
    return true;
}

std::optional<QString> RelayProcess::AwaitLine(const QString& prefix, int ms) {
    QElapsedTimer timer;
    timer.start();
    for (;;) {
        for (; m_seen < m_lines.size(); ++m_seen) {
            // A line is complete once a later one exists or the output ends with a line end.
            if (m_seen == m_lines.size() - 1 && !m_output.endsWith('\n')) {
                break;
            }
            if (m_lines[m_seen].startsWith(prefix)) {
                return m_lines[m_seen++];
            }
        }
        if (!ReadLines(RemainingMs(timer, ms))) {
            return std::nullopt;
        }
    }
}

bool RelayProcess::Start() {
    m_process.start(VANTREL_RELAY_PATH, m_arguments);
    if (!m_process.waitForStarted(kStartMs)) {
        return false;
    }
    const auto program = AwaitLine("PROGRAM ", kStartMs);
    if (!program) {
        return false;
    }
    m_program = program->mid(8);
    if (!m_arguments.contains("--device")) {
        const auto instrument = AwaitLine("INSTRUMENT ", kStartMs);
        if (!instrument) {
            return false;
        }
        m_instrument = instrument->mid(11);
    }
    return AwaitLine("READY", kStartMs).has_value();
}

void RelayProcess::Signal(int signal) {
    if (m_process.state() == QProcess::Running) {
        ::kill(static_cast<pid_t>(m_process.processId()), signal);
    }
}

int RelayProcess::Stop() {
    Signal(SIGTERM);
    if (!m_process.waitForFinished(kStartMs)) {
        m_process.kill();
        m_process.waitForFinished(kStartMs);
        return -1;
    }
    m_output += QString::fromUtf8(m_process.readAllStandardOutput());
    m_lines = m_output.split('\n', Qt::SkipEmptyParts);
    return m_process.exitCode();
}

std::uint64_t RelayProcess::Stat(const QString& direction, const QString& name) const {
    for (const QString& line : m_lines) {
        if (!line.startsWith("STATS " + direction + " ")) {
            continue;
        }
        for (const QString& field : line.split(' ')) {
            if (field.startsWith(name + "=")) {
                return field.mid(name.size() + 1).toULongLong();
            }
        }
    }
    return UINT64_MAX;
}

PtyEnd::~PtyEnd() {
    Close();
}

bool PtyEnd::Open(const QString& path) {
    Close();
    m_fd = ::open(QFile::encodeName(path).constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    m_hungUp = false;
    return m_fd >= 0 && MakeRaw(m_fd);
}

bool PtyEnd::OpenMaster() {
    Close();
    m_fd = posix_openpt(O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
    char name[128] = {};
    if (m_fd < 0 || grantpt(m_fd) != 0 || unlockpt(m_fd) != 0 ||
        ptsname_r(m_fd, name, sizeof name) != 0) {
        return false;
    }
    m_slavePath = QString::fromLocal8Bit(name);
    const int slave = ::open(name, O_RDWR | O_NOCTTY | O_CLOEXEC);
    const bool raw = slave >= 0 && MakeRaw(slave);
    if (slave >= 0) {
        ::close(slave);
    }
    return raw;
}

void PtyEnd::Close() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
    m_fd = -1;
}

bool PtyEnd::Write(const QByteArray& bytes, int ms) {
    QElapsedTimer timer;
    timer.start();
    qsizetype done = 0;
    while (done < bytes.size()) {
        const ssize_t n =
            ::write(m_fd, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
        if (n > 0) {
            done += n;
            continue;
        }
        if (n < 0 && errno != EAGAIN && errno != EINTR) {
            return false;
        }
        pollfd p{m_fd, POLLOUT, 0};
        if (timer.elapsed() >= ms || ::poll(&p, 1, RemainingMs(timer, ms)) < 0) {
            return false;
        }
    }
    return true;
}

QByteArray PtyEnd::Read(int count, int ms) {
    QByteArray got;
    QElapsedTimer timer;
    timer.start();
    while (got.size() < count && !m_hungUp) {
        pollfd p{m_fd, POLLIN, 0};
        const int ready = ::poll(&p, 1, RemainingMs(timer, ms));
        if (ready <= 0) {
            break;
        }
        char buffer[4096];
        const ssize_t n = ::read(m_fd, buffer, sizeof buffer);
        if (n > 0) {
            got.append(buffer, n);
        } else if (n == 0 || (errno != EAGAIN && errno != EINTR)) {
            m_hungUp = true;
        } else if (p.revents & POLLHUP) {
            m_hungUp = true;
        }
    }
    return got;
}

QByteArray PtyEnd::ReadUntilQuiet(int quietMs, int limitMs) {
    QByteArray got;
    QElapsedTimer timer;
    timer.start();
    while (timer.elapsed() < limitMs && !m_hungUp) {
        const QByteArray part = Read(1 << 20, std::min(quietMs, RemainingMs(timer, limitMs)));
        if (part.isEmpty()) {
            break;
        }
        got += part;
    }
    return got;
}

QByteArray Pass(PtyEnd& from, PtyEnd& to, const QByteArray& bytes, int quietMs) {
    QByteArray got;
    qsizetype sent = 0;
    QElapsedTimer timer;
    timer.start();
    constexpr int kLimitMs = 20000;
    while (sent < bytes.size() && timer.elapsed() < kLimitMs) {
        pollfd p[2] = {{from.Fd(), POLLOUT, 0}, {to.Fd(), POLLIN, 0}};
        if (::poll(p, 2, 1000) < 0) {
            break;
        }
        if (p[0].revents & POLLOUT) {
            const qsizetype chunk = std::min<qsizetype>(bytes.size() - sent, 997);
            const ssize_t n =
                ::write(from.Fd(), bytes.constData() + sent, static_cast<size_t>(chunk));
            if (n > 0) {
                sent += n;
            }
        }
        if (p[1].revents & POLLIN) {
            got += to.Read(1 << 20, 0);
        }
    }
    return got + to.ReadUntilQuiet(quietMs);
}

std::optional<std::uint64_t> ProcessCpuMs(qint64 pid) {
    QFile stat(QString("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) {
        return std::nullopt;
    }
    const QByteArray text = stat.readAll();
    // Fields after the command name, which is in parentheses and may hold blanks.
    const QList<QByteArray> fields = text.mid(text.lastIndexOf(')') + 2).split(' ');
    if (fields.size() < 13) {
        return std::nullopt;
    }
    const std::uint64_t ticks =
        fields[11].toULongLong() + fields[12].toULongLong();  // utime, stime
    return ticks * 1000 / static_cast<std::uint64_t>(sysconf(_SC_CLK_TCK));
}

QByteArray RandomBytes(int count, std::uint32_t seed) {
    QByteArray bytes(count, '\0');
    std::uint32_t x = seed * 2654435761u + 7;
    for (int i = 0; i < count; ++i) {
        x ^= x << 13;
        x ^= x >> 17;
        x ^= x << 5;
        bytes[i] = static_cast<char>(i < 256 ? i : static_cast<int>(x >> 24));
    }
    return bytes;
}

}  // namespace vantrel::proof
