#pragma once

// The relay as a child process, a raw pty end driven by the test, a process's processor time.

#include <QByteArray>
#include <QProcess>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <cstdint>
#include <optional>

namespace vantrel::proof {

// vantrel-relay, started with `arguments`; Start() waits for its READY line.
class RelayProcess {
public:
    explicit RelayProcess(QStringList arguments, const QString& configHome = QString());
    ~RelayProcess();

    bool Start();
    // SIGTERM, then collects the remaining output (the STATS lines). Returns the exit code.
    int Stop();
    void Signal(int signal);

    QString ProgramPath() const { return m_program; }
    QString InstrumentPath() const { return m_instrument; }
    qint64 Pid() const { return m_process.processId(); }
    // Waits up to `ms` for an output line that starts with `prefix`; returns it.
    std::optional<QString> AwaitLine(const QString& prefix, int ms);
    // The STATS figure `name` (in, out, dropped, ...) of `direction` after Stop().
    std::uint64_t Stat(const QString& direction, const QString& name) const;

private:
    bool ReadLines(int ms);

    QProcess m_process;
    QStringList m_arguments;
    QString m_output;
    QStringList m_lines;
    int m_seen = 0;
    QString m_program;
    QString m_instrument;
};

// A raw, non-blocking pty end, not inherited by children (or closing it would not hang up).
class PtyEnd {
public:
    PtyEnd() = default;
    ~PtyEnd();
    PtyEnd(const PtyEnd&) = delete;
    PtyEnd& operator=(const PtyEnd&) = delete;

    bool Open(const QString& path);
    // A new pty pair; keeps the master, SlavePath() is for others.
    bool OpenMaster();
    void Close();
    QString SlavePath() const { return m_slavePath; }

    bool Write(const QByteArray& bytes, int ms = 2000);
    // Reads until `count` bytes have come, the line hangs up, or `ms` have passed.
    QByteArray Read(int count, int ms);
    QByteArray ReadUntilQuiet(int quietMs, int limitMs = 5000);
    // True once a read or poll has seen the other side hang up.
    bool HungUp() const { return m_hungUp; }
    int Fd() const { return m_fd; }

private:
    int m_fd = -1;
    QString m_slavePath;
    bool m_hungUp = false;
};

// Writes `bytes` to `from` while reading `to`; returns what arrived once quiet for `quietMs`.
QByteArray Pass(PtyEnd& from, PtyEnd& to, const QByteArray& bytes, int quietMs = 200);

std::optional<std::uint64_t> ProcessCpuMs(qint64 pid);

// The first 256 bytes are every value in turn.
QByteArray RandomBytes(int count, std::uint32_t seed);

}  // namespace vantrel::proof
