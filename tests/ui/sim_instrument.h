#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>

namespace vantrel::test {

// The simulated instrument (vantrel-sim) on a pseudo-terminal, reachable as a COM alias in
// the test's own configuration folder.
class SimInstrument {
public:
    // Longest wait for the simulator to start, answer or stop, in ms.
    static constexpr int kWaitMs = 10000;

    // `configHome` becomes the simulator's XDG_CONFIG_HOME: the alias lands in its port
    // folder, where the window under test looks for it.
    SimInstrument(const QString& configHome, const QString& workFolder)
        : m_configHome(configHome),
          m_report(workFolder + "/sim-report.json"),
          m_image(workFolder + "/sim-image.bin") {}
    ~SimInstrument() { Stop(); }
    SimInstrument(const SimInstrument&) = delete;
    SimInstrument& operator=(const SimInstrument&) = delete;

    // Starts the simulator as `comName` with `options` (e.g. --model 2) and waits for its
    // pseudo-terminal. False when it did not come up.
    bool Start(const QString& comName, const QStringList& options) {
        QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
        env.insert("XDG_CONFIG_HOME", m_configHome);
        m_process.setProcessEnvironment(env);
        m_process.setProcessChannelMode(QProcess::SeparateChannels);
        m_process.start(
            QStringLiteral(VANTREL_SIM_PATH),
            QStringList{"--port", comName, "--report", m_report, "--image-out", m_image} + options);
        if (!m_process.waitForStarted(kWaitMs)) {
            return false;
        }
        const QByteArray line = ReadLineStartingWith("PTY ");
        m_device = QString::fromLocal8Bit(line.mid(4).trimmed());
        return !m_device.isEmpty();
    }

    const QString& Device() const { return m_device; }

    // Resets the instrument: its boot loader starts and sends its signature.
    void Reset() { Command("reset\n"); }

    // What the instrument saw and did so far (fields in tools/sim/README.md).
    QJsonObject Report() {
        Command("report\n");
        if (ReadLineStartingWith("REPORT ").isEmpty()) {
            return {};
        }
        QFile file(m_report);
        if (!file.open(QIODevice::ReadOnly)) {
            return {};
        }
        return QJsonDocument::fromJson(file.readAll()).object();
    }

    // The menu commands and answers the instrument received, in order.
    QStringList Commands() {
        QStringList commands;
        for (const auto& c : Report().value("commands").toArray()) {
            commands << c.toString();
        }
        return commands;
    }

    // The image of the last completed transfer, as the instrument stored it.
    QByteArray ReceivedImage() {
        Report();
        QFile file(m_image);
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

    void Stop() {
        if (m_process.state() == QProcess::NotRunning) {
            return;
        }
        Command("quit\n");
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(kWaitMs)) {
            m_process.kill();
            m_process.waitForFinished(kWaitMs);
        }
    }

private:
    void Command(const QByteArray& line) {
        m_process.write(line);
        m_process.waitForBytesWritten(kWaitMs);
    }

    QByteArray ReadLineStartingWith(const QByteArray& prefix) {
        const QDeadlineTimer deadline(kWaitMs);
        while (!deadline.hasExpired()) {
            while (m_process.canReadLine()) {
                const QByteArray line = m_process.readLine();
                if (line.startsWith(prefix)) {
                    return line;
                }
            }
            if (m_process.state() == QProcess::NotRunning) {
                return {};
            }
            m_process.waitForReadyRead(static_cast<int>(deadline.remainingTime()));
        }
        return {};
    }

    QString m_configHome;
    QString m_report;
    QString m_image;
    QString m_device;
    QProcess m_process;
};

}  // namespace vantrel::test
