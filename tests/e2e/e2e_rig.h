#pragma once

// `vantrel` and `vantrel-sim` as real processes on a pty, each test with its own
// XDG_CONFIG_HOME (a private COMn alias and remembered port).

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

// Only a hang reaches these.
inline constexpr int kStartLimitMs = 10000;
inline constexpr int kRunLimitMs = 150000;

inline QString Crc32(const QByteArray& data) {
    quint32 crc = 0xFFFFFFFF;
    for (char c : data) {
        crc ^= static_cast<quint8>(c);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ ((crc & 1U) != 0 ? 0xEDB88320U : 0U);
        }
    }
    return QString("%1").arg(~crc, 8, 16, QChar('0'));
}

// 0x1A, then 0xFF to the end of the last block.
inline QByteArray Padded(QByteArray data) {
    if (data.size() % 1024 != 0) {
        data.append('\x1A');
        data.append(QByteArray(1024 - data.size() % 1024, '\xFF'));
    }
    return data;
}

inline QByteArray PseudoRandom(int size, quint32 seed) {
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i) {
        seed = seed * 1664525U + 1013904223U;
        data[i] = static_cast<char>(seed >> 24);
    }
    return data;
}

// Menu commands without the carriage returns (how many arrive depends on the reset's timing).
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

    QString WriteFile(const QString& name, const QByteArray& data) {
        QFile file(Path(name));
        if (!file.open(QIODevice::WriteOnly)) {
            return {};
        }
        file.write(data);
        return file.fileName();
    }

    bool StartSim(const QStringList& extra, const QString& alias = "COM7") {
        m_sim = std::make_unique<QProcess>();
        m_sim->setProcessEnvironment(m_env);
        m_sim->setProcessChannelMode(QProcess::SeparateChannels);
        // A pipe nobody reads during the run could fill up.
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

    std::unique_ptr<QProcess> StartVantrel(const QStringList& args) {
        auto process = std::make_unique<QProcess>();
        process->setProcessEnvironment(m_env);
        process->start(VANTREL_BIN, args);
        process->waitForStarted(kStartLimitMs);
        return process;
    }

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

    // Reads stdout into `seen` until it holds `text`.
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
