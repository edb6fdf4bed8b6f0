#pragma once

// The real-line rig: pseudo-terminals (Pty), the simulated instrument (Sim), the relay (Relay),
// socat-run peers (SocatPeer) and the programs under test (Program, Run) as real processes,
// each test under a private configuration folder (ConfigHome). Qt-based, in its own library
// (vantrel_line_rig), so that the Qt-free fakes beside it stay usable by the fuzzers.

#include <QByteArray>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdint>
#include <functional>
#include <string>

namespace vantrel::test {

// Only a hang reaches these.
inline constexpr int kStartLimitMs = 10000;
inline constexpr int kRunLimitMs = 150000;

class Pty {
public:
    Pty() = default;
    ~Pty() { HangUp(); }
    Pty(const Pty&) = delete;
    Pty& operator=(const Pty&) = delete;

    bool OpenMaster();
    bool Open(const QString& path);
    QString SlavePath() const { return m_slavePath; }
    int Fd() const { return m_fd; }

    bool Write(const QByteArray& bytes);
    // Until `count` bytes came, the line hung up, or `ms` passed.
    QByteArray Read(qsizetype count, int ms);
    // (Master only) the program's side was opened and every descriptor of it closed again.
    bool OpenedAndClosed() const;
    // The instrument end goes away: the program's side sees a hang-up.
    void HangUp();

private:
    int m_fd = -1;
    QString m_slavePath;
};

// Runs `work` in a child as user "nobody" (refusals need a non-root user); what it returned.
QByteArray AsNobody(const std::function<std::string()>& work);

// Processor time of this process, or of its children that ended, ms.
std::uint64_t CpuMs(bool children = false);

class ConfigHome {
public:
    ConfigHome();
    ~ConfigHome();

    QString Path(const QString& name = {}) const;
    QString ConfigPath() const { return Path(QStringLiteral("config")); }
    const QProcessEnvironment& Env() const { return m_env; }
    QProcessEnvironment& Env() { return m_env; }

private:
    QTemporaryDir m_dir;
    QProcessEnvironment m_env;
    QByteArray m_saved;
    bool m_hadSaved = false;
};

class Sim {
public:
    ~Sim() { Stop(); }

    // Starts vantrel-sim as COM alias `alias` (none when empty) under `home`; Device() is
    // the pty the program opens.
    bool Start(const ConfigHome& home, const QString& alias, const QStringList& options);
    const QString& Device() const { return m_device; }
    void Reset() { Command("reset"); }
    void Command(const QByteArray& line);
    QJsonObject Report();
    // Menu commands and answers the instrument received, in order.
    QStringList Commands();
    // The image of the last completed transfer.
    QByteArray Image();
    QJsonObject Stop();
    QByteArray Trace() const;

private:
    QJsonObject ReadReport() const;

    QProcess m_process;
    QString m_dir;
    QString m_device;
};

struct RunResult {
    int exitCode = -1;
    bool finished = false;
    QByteArray out;
    QByteArray err;
};

class Program {
public:
    ~Program();
    bool Start(const QString& path, const QStringList& args, const QProcessEnvironment& env,
               QProcess::ProcessChannelMode mode = QProcess::SeparateChannels);
    bool WaitForOutput(const QByteArray& text, int limitMs = kRunLimitMs);
    RunResult Finish(int limitMs = kRunLimitMs);
    QProcess& Process() { return m_process; }
    const QByteArray& Seen() const { return m_seen; }

private:
    QProcess m_process;
    QByteArray m_seen;
};

RunResult Run(const QString& path, const QStringList& args, const QProcessEnvironment& env,
              int limitMs = kRunLimitMs);

// A peer program behind a pseudo-terminal, run as socat's child over a socketpair. The
// program starts only at Go(), so its first word (rx's start signal) is not thrown away by an
// input clearing before it is heard (rx repeats it only 14 s later). Finish() gives socat's
// exit status, which carries the program's, or -1 (socat killed) when it did not end in time.
class SocatPeer {
public:
    ~SocatPeer();

    bool Start(const QString& dir, const QString& command);
    QString Link() const { return m_link; }
    void Go();
    int Finish(int ms);
    QString Log();

private:
    QProcess m_process;
    QString m_link;
    QByteArray m_log;
    int m_go = -1;
};

class Relay {
public:
    Relay(const QStringList& arguments, const QProcessEnvironment& env);
    ~Relay();

    bool Start();
    // Waits up to `ms` for an output line that starts with `prefix`; earlier lines are passed.
    bool AwaitLine(const QByteArray& prefix, int ms);

private:
    QProcess m_process;
};

}  // namespace vantrel::test
