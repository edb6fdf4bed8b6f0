#pragma once

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <algorithm>

namespace vantrel::test {

// A peer program behind a pseudo-terminal, run as socat's child over a socketpair:
//   socat -d -d -t 0.1 pty,rawer,link=DIR/tty EXEC:sh DIR/start.sh
// The program itself is started only when Go() is called, so its first word (rx's start
// signal) is not thrown away by an input clearing that comes before it is heard; rx says
// it again only 14 s later. socat's exit status carries the program's: 0 when it succeeded.
class SocatPeer {
public:
    SocatPeer() = default;
    SocatPeer(const SocatPeer&) = delete;
    SocatPeer& operator=(const SocatPeer&) = delete;
    ~SocatPeer() {
        Stop();
        if (m_go >= 0) {
            ::close(m_go);
        }
    }

    // Prepares `command` (a shell command line) in `dir` behind the pseudo-terminal
    // `dir`/tty. True once the link is there to open (within `ms`); Log() says what went
    // wrong otherwise.
    bool Start(const QString& dir, const QString& command, int ms = 5000) {
        m_link = dir + QStringLiteral("/tty");
        const QString fifo = dir + QStringLiteral("/go");
        const QString script = dir + QStringLiteral("/start.sh");
        if (::mkfifo(QFile::encodeName(fifo).constData(), 0600) != 0) {
            return false;
        }
        // Held open for reading and writing: the byte that Go() writes stays in the pipe
        // until the script reads it, and opening never blocks.
        m_go = ::open(QFile::encodeName(fifo).constData(), O_RDWR | O_CLOEXEC);
        QFile file(script);
        if (m_go < 0 || !file.open(QIODevice::WriteOnly)) {
            return false;
        }
        file.write("head -c1 '" + QFile::encodeName(fifo) + "' >/dev/null || exit 99\nexec " +
                   command.toLocal8Bit() + "\n");
        file.close();

        m_process.setWorkingDirectory(dir);
        m_process.start(QStringLiteral("socat"),
                        {QStringLiteral("-d"), QStringLiteral("-d"), QStringLiteral("-t"),
                         QStringLiteral("0.1"), QStringLiteral("pty,rawer,link=") + m_link,
                         QStringLiteral("EXEC:sh ") + script});
        const QDeadlineTimer deadline(ms);
        if (!m_process.waitForStarted(ms)) {
            return false;
        }
        while (!m_log.contains("starting data transfer loop") || !QFileInfo::exists(m_link)) {
            if (deadline.hasExpired() || m_process.state() == QProcess::NotRunning) {
                return false;
            }
            m_process.waitForReadyRead(int(std::clamp<qint64>(deadline.remainingTime(), 1, 100)));
            m_log += m_process.readAllStandardError();
        }
        return true;
    }

    QString Link() const { return m_link; }

    // Lets the program start.
    void Go() {
        const char go = 'g';
        if (m_go >= 0 && ::write(m_go, &go, 1) != 1) {
            m_log += "could not start the peer\n";
        }
    }

    // Waits at most `ms` for socat to end: its exit status, or -1 when it did not end.
    int Finish(int ms) {
        const bool ended =
            m_process.state() == QProcess::NotRunning || m_process.waitForFinished(ms);
        m_log += m_process.readAllStandardError();
        if (!ended || m_process.exitStatus() != QProcess::NormalExit) {
            return -1;
        }
        return m_process.exitCode();
    }

    // What socat and the program wrote to stderr so far.
    QString Log() {
        m_log += m_process.readAllStandardError();
        return QString::fromLocal8Bit(m_log);
    }

    void Stop() {
        if (m_process.state() != QProcess::NotRunning) {
            // socat passes SIGTERM on to its child.
            m_process.terminate();
            if (!m_process.waitForFinished(2000)) {
                m_process.kill();
                m_process.waitForFinished(2000);
            }
        }
    }

private:
    QProcess m_process;
    QString m_link;
    QByteArray m_log;
    int m_go = -1;
};

}  // namespace vantrel::test
