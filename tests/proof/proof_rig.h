#pragma once

// Equipment shared by the proof tests: the relay as a child process, a raw pseudo-terminal end
// driven from the test, and the processor time a process has used.

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

    // False when it did not report READY within a few seconds.
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
    QString Output() const { return m_output; }

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

// One end of a pseudo-terminal opened by the test, raw and non-blocking, and not inherited by
// the processes the test starts (or closing it would not hang the line up).
class PtyEnd {
public:
    PtyEnd() = default;
    ~PtyEnd();
    PtyEnd(const PtyEnd&) = delete;
    PtyEnd& operator=(const PtyEnd&) = delete;

    bool Open(const QString& path);
    // Makes a new pty pair and keeps its master; SlavePath() is the side for others.
    bool OpenMaster();
    void Close();
    bool IsOpen() const { return m_fd >= 0; }
    QString SlavePath() const { return m_slavePath; }

    // Writes all of `bytes`, waiting for room when needed (at most `ms` in all).
    bool Write(const QByteArray& bytes, int ms = 2000);
    // Reads until `count` bytes have come, the line hangs up, or `ms` have passed.
    QByteArray Read(int count, int ms);
    // Reads whatever arrives until the line has been quiet for `quietMs`.
    QByteArray ReadUntilQuiet(int quietMs, int limitMs = 5000);
    // True once a read or poll has seen the other side hang up.
    bool HungUp() const { return m_hungUp; }
    int Fd() const { return m_fd; }

private:
    int m_fd = -1;
    QString m_slavePath;
    bool m_hungUp = false;
};

// Moves `bytes` from `from` to `to` while reading `to`, so that neither side blocks: returns
// what arrived at `to` once the line has been quiet for `quietMs` after the last write (or,
// when `expected` is given, once that many bytes have come and nothing more follows at once).
QByteArray Pass(PtyEnd& from, PtyEnd& to, const QByteArray& bytes, int quietMs = 200,
                qsizetype expected = -1);

// User plus system processor time of process `pid`, in milliseconds (from /proc).
std::optional<std::uint64_t> ProcessCpuMs(qint64 pid);

// `count` pseudo-random bytes from `seed` (every value occurs).
QByteArray RandomBytes(int count, std::uint32_t seed);

}  // namespace vantrel::proof
