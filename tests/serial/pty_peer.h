#pragma once

#include <fcntl.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>

#include <QByteArray>
#include <QDeadlineTimer>
#include <cerrno>
#include <functional>
#include <string>

namespace vantrel::test {

// The instrument's end of a pseudo-terminal pair: the program under test opens SlavePath()
// as its serial port, and the test sends and receives through the master side.
class PtyPeer {
public:
    PtyPeer() {
        m_master = ::posix_openpt(O_RDWR | O_NOCTTY | O_CLOEXEC);
        if (m_master < 0 || ::grantpt(m_master) != 0 || ::unlockpt(m_master) != 0) {
            HangUp();
            return;
        }
        const char* name = ::ptsname(m_master);
        m_slave = name != nullptr ? name : "";
    }
    ~PtyPeer() { HangUp(); }
    PtyPeer(const PtyPeer&) = delete;
    PtyPeer& operator=(const PtyPeer&) = delete;

    bool IsReady() const { return m_master >= 0 && !m_slave.empty(); }
    const std::string& SlavePath() const { return m_slave; }

    // Writes all of `bytes` towards the program. Send only once the program has opened the
    // port: before that the line still echoes and translates.
    bool Send(const QByteArray& bytes) {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n = ::write(m_master, bytes.constData() + done, bytes.size() - done);
            if (n < 0 && errno == EINTR) {
                continue;
            }
            if (n <= 0) {
                return false;
            }
            done += n;
        }
        return true;
    }

    // What the program wrote: waits until `count` bytes have come or `timeoutMs` has passed.
    QByteArray Receive(qsizetype count, int timeoutMs) {
        QByteArray got;
        const QDeadlineTimer deadline(timeoutMs);
        while (got.size() < count && !deadline.hasExpired()) {
            pollfd watch{m_master, POLLIN, 0};
            if (::poll(&watch, 1, static_cast<int>(deadline.remainingTime())) <= 0) {
                continue;
            }
            char buffer[4096];
            const ssize_t n = ::read(m_master, buffer, sizeof buffer);
            if (n <= 0) {
                break;
            }
            got.append(buffer, n);
        }
        return got;
    }

    // True once the program's side has been opened and every descriptor of it closed again:
    // the master then reports a hang-up. A side that nobody opened reports nothing.
    bool OpenedAndClosed() const {
        pollfd watch{m_master, POLLIN, 0};
        return ::poll(&watch, 1, 0) > 0 && (watch.revents & POLLHUP) != 0;
    }

    // The line settings of the pseudo-terminal (both ends share them).
    bool Settings(termios* line) const { return ::tcgetattr(m_master, line) == 0; }

    // The instrument end goes away: the program's side sees a hang-up.
    void HangUp() {
        if (m_master >= 0) {
            ::close(m_master);
            m_master = -1;
        }
    }

private:
    int m_master = -1;
    std::string m_slave;
};

// Runs `work` in a child process as the unprivileged user "nobody" and returns the text it
// gave (root may open anything, so refusals need another user).
inline QByteArray AsNobody(const std::function<std::string()>& work) {
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

}  // namespace vantrel::test
