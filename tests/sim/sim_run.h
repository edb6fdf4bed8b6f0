#pragma once

// One run of vantrel-sim: started, its pty opened like a program would, stopped for its report.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <QByteArray>
#include <QElapsedTimer>
#include <QFile>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QStringList>
#include <QTemporaryDir>

namespace vantrel::test {

class SimRun {
public:
    explicit SimRun(const QStringList& arguments, const QProcessEnvironment& environment =
                                                      QProcessEnvironment::systemEnvironment())
        : m_arguments(arguments), m_environment(environment) {}

    ~SimRun() {
        ClosePort();
        if (m_process.state() != QProcess::NotRunning) {
            m_process.kill();
            m_process.waitForFinished(5000);
        }
    }

    QString ReportPath() const { return m_dir.filePath("report.json"); }
    QString ImagePath() const { return m_dir.filePath("image.bin"); }
    QString PtyPath() const { return m_ptyPath; }

    // Waits at most 10 s for the first line, "PTY <path>".
    bool Start() {
        m_process.setProcessEnvironment(m_environment);
        m_process.start(VANTREL_SIM_PATH, m_arguments + QStringList{"--report", ReportPath(),
                                                                    "--image-out", ImagePath()});
        QElapsedTimer timer;
        timer.start();
        while (!m_process.canReadLine() && timer.elapsed() < 10000) {
            if (!m_process.waitForReadyRead(200) && m_process.state() == QProcess::NotRunning) {
                return false;
            }
        }
        const QByteArray line = m_process.readLine().trimmed();
        if (!line.startsWith("PTY /dev/")) {
            return false;
        }
        m_ptyPath = QString::fromLocal8Bit(line.mid(4));
        return true;
    }

    // Opens the port as a program would, without changing its settings.
    bool OpenPort(const QString& path = {}) {
        const QByteArray device = (path.isEmpty() ? m_ptyPath : path).toLocal8Bit();
        m_port = ::open(device.constData(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC);
        return m_port >= 0;
    }

    void ClosePort() {
        if (m_port >= 0) {
            ::close(m_port);
            m_port = -1;
        }
    }

    int Port() const { return m_port; }

    bool Write(const QByteArray& bytes) {
        qsizetype done = 0;
        while (done < bytes.size()) {
            const ssize_t n =
                ::write(m_port, bytes.constData() + done, static_cast<size_t>(bytes.size() - done));
            if (n > 0) {
                done += n;
            } else if (!WaitPort(POLLOUT, 5000)) {
                return false;
            }
        }
        return true;
    }

    // Until the bytes received end with `end` (or `count` arrived), at most `timeoutMs`.
    QByteArray ReadUntil(const QByteArray& end, int timeoutMs = 5000, int count = -1) {
        QByteArray received;
        QElapsedTimer timer;
        timer.start();
        while (count < 0 ? !received.endsWith(end) : received.size() < count) {
            const qint64 left = timeoutMs - timer.elapsed();
            if (left <= 0 || !WaitPort(POLLIN, static_cast<int>(left))) {
                break;
            }
            char byte = 0;
            if (::read(m_port, &byte, 1) == 1) {
                received.append(byte);
            }
        }
        return received;
    }
    QByteArray ReadCount(int count, int timeoutMs = 5000) {
        return ReadUntil({}, timeoutMs, count);
    }

    // Everything that arrives until the line has been quiet for `quietMs`.
    QByteArray ReadUntilQuiet(int quietMs) {
        QByteArray received;
        while (WaitPort(POLLIN, quietMs)) {
            char buffer[256];
            const ssize_t n = ::read(m_port, buffer, sizeof buffer);
            if (n > 0) {
                received.append(buffer, n);
            }
        }
        return received;
    }

    void Command(const QByteArray& line) {
        m_process.write(line + "\n");
        m_process.waitForBytesWritten(5000);
    }

    QJsonObject Stop() {
        ClosePort();
        m_process.closeWriteChannel();
        if (!m_process.waitForFinished(10000) || m_process.exitCode() != 0) {
            return {};
        }
        QFile file(ReportPath());
        if (!file.open(QIODevice::ReadOnly)) {
            return {};
        }
        return QJsonDocument::fromJson(file.readAll()).object();
    }

    QByteArray Image() const {
        QFile file(ImagePath());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
    }

private:
    bool WaitPort(short events, int timeoutMs) {
        pollfd fd{m_port, events, 0};
        return ::poll(&fd, 1, timeoutMs) > 0 && (fd.revents & events) != 0;
    }

    QStringList m_arguments;
    QProcessEnvironment m_environment;
    QTemporaryDir m_dir;
    QProcess m_process;
    QString m_ptyPath;
    int m_port = -1;
};

// XModem frames as a sender builds them, with CRC-16 or the arithmetic sum.
inline quint16 Crc16(const QByteArray& data) {
    quint16 crc = 0;
    for (char c : data) {
        crc ^= static_cast<quint16>(static_cast<quint8>(c) << 8);
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<quint16>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        }
    }
    return crc;
}

inline QByteArray Frame(int number, const QByteArray& data, bool crc = true) {
    QByteArray frame;
    frame.append(data.size() == 1024 ? '\x02' : '\x01');
    frame.append(static_cast<char>(number));
    frame.append(static_cast<char>(255 - number));
    frame.append(data);
    if (crc) {
        const quint16 value = Crc16(data);
        frame.append(static_cast<char>(value >> 8));
        frame.append(static_cast<char>(value & 0xFF));
    } else {
        quint8 sum = 0;
        for (char c : data) {
            sum = static_cast<quint8>(sum + static_cast<quint8>(c));
        }
        frame.append(static_cast<char>(sum));
    }
    return frame;
}

// After a reset: the model's signature, then the prompt in answer to a carriage return.
inline bool AwaitPrompt(SimRun& sim, const QByteArray& signature) {
    return sim.ReadCount(4, 3000) == signature && sim.Write("\r") && sim.ReadUntil(">") == ">";
}

// From the prompt through menu 5, the base address and "Y" to the XModem receiver.
inline bool EnterDownload(SimRun& sim, const QByteArray& baseAddress) {
    const QByteArray request = "AABBCCDD\r\n";
    const QByteArray question = "Program Flash (Y/N)?\r\n";
    const QByteArray start = "Start 1k XModem download...\r\n";
    return sim.Write("5") && sim.ReadUntil(request).endsWith(request) && sim.Write(baseAddress) &&
           sim.ReadUntil(question).endsWith(question) && sim.Write("Y") &&
           sim.ReadUntil(start).endsWith(start);
}

}  // namespace vantrel::test
