#pragma once

// Shared rig of the end-to-end tests: `vantrel` and `vantrel-sim` as real processes on a
// pseudo-terminal, each test with its own XDG_CONFIG_HOME (so the COMn alias and the
// remembered port are private to it).

#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>
#include <csignal>
#include <memory>

namespace e2e {

// Bounds of the rig's own waits, in ms: far beyond what a run takes, so that only a hang
// reaches them.
inline constexpr int kStartLimitMs = 10000;
inline constexpr int kRunLimitMs = 150000;

// CRC-32 (IEEE) of `data`, bit by bit.
inline quint32 Crc32(const QByteArray& data) {
    quint32 crc = 0xFFFFFFFF;
    for (char c : data) {
        crc ^= static_cast<quint8>(c);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ ((crc & 1U) != 0 ? 0xEDB88320U : 0U);
        }
    }
    return ~crc;
}

// The file as the sender puts it on the line: 0x1A and 0xFF to the end of its last block.
inline QByteArray Padded(QByteArray data) {
    if (data.size() % 1024 != 0) {
        data.append('\x1A');
        while (data.size() % 1024 != 0) {
            data.append('\xFF');
        }
    }
    return data;
}

inline QString Hex32(quint32 value) {
    return QString("%1").arg(value, 8, 16, QChar('0'));
}

inline QByteArray PseudoRandom(int size, quint32 seed) {
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i) {
        seed = seed * 1664525U + 1013904223U;
        data[i] = static_cast<char>(seed >> 24);
    }
    return data;
}

// Menu commands of a sim report without the carriage returns (how many of those reach the
// boot loader depends on when it was reset).
inline QStringList Commands(const QJsonObject& report) {
    QStringList commands;
    for (const auto& c : report["commands"].toArray()) {
        if (c.toString() != "\r") {
            commands << c.toString();
        }
    }
    return commands;
}

struct RunResult {
    int exitCode = -1;
    bool finished = false;
    QByteArray out;
    QByteArray err;
};

class Rig {
public:
    Rig() {
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.insert("XDG_CONFIG_HOME", m_dir.filePath("config"));
        m_env.insert("QT_QPA_PLATFORM", "offscreen");
    }
    // A failed test shows what both sides said, the simulator's trace included.
    ~Rig() {
        StopSim();
        if (QTest::currentTestFailed()) {
            qWarning().noquote() << "vantrel stdout:\n"
                                 << m_lastOut << "\nvantrel stderr:\n"
                                 << m_lastErr << "\nsimulator trace:\n"
                                 << m_simErr;
        }
    }

    QString Path(const QString& name) const { return m_dir.filePath(name); }
    const QProcessEnvironment& Env() const { return m_env; }

    // Writes `data` to a file in the rig's folder and returns its path.
    QString WriteFile(const QString& name, const QByteArray& data) {
        QFile file(Path(name));
        if (!file.open(QIODevice::WriteOnly)) {
            return {};
        }
        file.write(data);
        return file.fileName();
    }

    // Starts the simulator as COM7 with a report; true once it has named its pty.
    bool StartSim(const QStringList& extra, const QString& alias = "COM7") {
        m_sim = std::make_unique<QProcess>();
        m_sim->setProcessEnvironment(m_env);
        m_sim->setProcessChannelMode(QProcess::SeparateChannels);
        // The trace goes to a file: a pipe nobody reads during the run could fill up.
        m_sim->setStandardErrorFile(Path("sim.trace"), QIODevice::Append);
        m_reportPath = Path("report.json");
        m_sim->start(
            VANTREL_SIM_BIN,
            QStringList{"--port", alias, "--reset-on-open", "--report", m_reportPath} << extra);
        if (!m_sim->waitForStarted(kStartLimitMs)) {
            return false;
        }
        QDeadlineTimer deadline(kStartLimitMs);
        while (!m_sim->canReadLine() && !deadline.hasExpired()) {
            m_sim->waitForReadyRead(static_cast<int>(deadline.remainingTime()));
        }
        const QByteArray first = m_sim->readLine().trimmed();
        m_pty = QString::fromLatin1(first.mid(4));
        return first.startsWith("PTY ");
    }

    // Stops the simulator ("quit" on its stdin) and returns its final report.
    QJsonObject StopSim() {
        if (!m_sim) {
            return {};
        }
        if (m_sim->state() != QProcess::NotRunning) {
            m_sim->write("quit\n");
            m_sim->closeWriteChannel();
            if (!m_sim->waitForFinished(kStartLimitMs)) {
                m_sim->kill();
                m_sim->waitForFinished(kStartLimitMs);
            }
        }
        QFile trace(Path("sim.trace"));
        if (trace.open(QIODevice::ReadOnly)) {
            m_simErr = trace.readAll();
        }
        m_sim.reset();
        QFile file(m_reportPath);
        if (!file.open(QIODevice::ReadOnly)) {
            return {};
        }
        return QJsonDocument::fromJson(file.readAll()).object();
    }
    QProcess* Sim() { return m_sim.get(); }
    const QString& Pty() const { return m_pty; }

    // Starts vantrel with `args`; the caller waits for it.
    std::unique_ptr<QProcess> StartVantrel(const QStringList& args) {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(m_env);
        process->start(VANTREL_BIN, args);
        process->waitForStarted(kStartLimitMs);
        return process;
    }

    // Runs vantrel with `args` to its end.
    RunResult RunVantrel(const QStringList& args, int limitMs = kRunLimitMs) {
        auto process = StartVantrel(args);
        RunResult result = Finish(*process, limitMs);
        m_lastOut = result.out;
        m_lastErr = result.err;
        return result;
    }

    static RunResult Finish(QProcess& process, int limitMs = kRunLimitMs) {
        RunResult result;
        result.finished = process.waitForFinished(limitMs);
        if (!result.finished) {
            process.kill();
            process.waitForFinished(kStartLimitMs);
        }
        result.exitCode = process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1;
        result.out = process.readAllStandardOutput();
        result.err = process.readAllStandardError();
        return result;
    }

    // Reads `process`'s stdout until it holds `text`; everything read is kept in `seen`.
    static bool WaitForOutput(QProcess& process, const QByteArray& text, QByteArray& seen,
                              int limitMs = kRunLimitMs) {
        QDeadlineTimer deadline(limitMs);
        while (!seen.contains(text)) {
            if (deadline.hasExpired() || process.state() == QProcess::NotRunning) {
                seen += process.readAllStandardOutput();
                return seen.contains(text);
            }
            process.waitForReadyRead(
                static_cast<int>(std::min<qint64>(deadline.remainingTime(), 1000)));
            seen += process.readAllStandardOutput();
        }
        return true;
    }

    // The last line of the update record at `path`, parsed.
    static QJsonObject LastRecord(const QString& path) {
        QFile file(path);
        if (!file.open(QIODevice::ReadOnly)) {
            return {};
        }
        const QList<QByteArray> lines = file.readAll().split('\n');
        for (auto it = lines.rbegin(); it != lines.rend(); ++it) {
            if (!it->isEmpty()) {
                return QJsonDocument::fromJson(*it).object();
            }
        }
        return {};
    }

    QByteArray SimErr() const { return m_simErr; }

private:
    QTemporaryDir m_dir;
    QProcessEnvironment m_env;
    std::unique_ptr<QProcess> m_sim;
    QString m_pty;
    QString m_reportPath;
    QByteArray m_simErr;
    QByteArray m_lastOut;
    QByteArray m_lastErr;
};

}  // namespace e2e
