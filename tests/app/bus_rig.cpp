#include "bus_rig.h"

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QDeadlineTimer>
#include <QDir>
#include <QFile>
#include <QTest>

namespace {

// Real time allowed for a bus, a copy or a client to answer. Generous: the suite also runs
// under AddressSanitizer on a busy machine, and a test waits only as long as needed.
constexpr int kAnswerMs = 30000;

const char kBusConfig[] =
    R"(<!DOCTYPE busconfig PUBLIC "-//freedesktop//DTD D-Bus Bus Configuration 1.0//EN"
 "http://www.freedesktop.org/standards/dbus/1.0/busconfig.dtd">
<busconfig>
  <type>session</type>
  <listen>unix:path=%1</listen>
  <auth>EXTERNAL</auth>
  <servicedir>%2</servicedir>
  <policy context="default">
    <allow send_destination="*" eavesdrop="true"/>
    <allow eavesdrop="true"/>
    <allow own="*"/>
  </policy>
</busconfig>
)";

}  // namespace

BusRig::BusRig() {
    for (const char* folder : {"cfg", "data/dbus-1/services", "operator", "runtime"}) {
        QDir().mkpath(m_dir.filePath(QString::fromLatin1(folder)));
    }
    QFile::setPermissions(m_dir.filePath("runtime"),
                          QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
    m_env = QProcessEnvironment::systemEnvironment();
    m_env.remove("DBUS_STARTER_ADDRESS");
    m_env.remove("DBUS_STARTER_BUS_TYPE");
    m_env.insert("QT_QPA_PLATFORM", "offscreen");
    m_env.insert("XDG_CONFIG_HOME", m_dir.filePath("cfg"));
    m_env.insert("XDG_DATA_HOME", m_dir.filePath("data"));
    m_env.insert("XDG_RUNTIME_DIR", m_dir.filePath("runtime"));
    m_env.insert("VANTREL_TEST_OPERATOR_DIR", m_dir.filePath("operator"));
    m_env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + m_dir.filePath("bus"));
}

BusRig::~BusRig() {
    for (const qint64 pid : Copies()) {
        ::kill(static_cast<pid_t>(pid), SIGKILL);
    }
    // Let the bus daemon collect the copies it started before it goes.
    const QDeadlineTimer deadline(kAnswerMs);
    for (const qint64 pid : Copies()) {
        while (Running(pid) && !deadline.hasExpired()) {
            QTest::qWait(10);
        }
    }
    StopBus();
}

bool BusRig::Start(QString& why) {
    if (!m_dir.isValid()) {
        why = QStringLiteral("no temporary folder");
        return false;
    }
    QFile config(m_dir.filePath("bus.conf"));
    if (!config.open(QIODevice::WriteOnly)) {
        why = QStringLiteral("cannot write the bus configuration");
        return false;
    }
    config.write(QString::fromLatin1(kBusConfig)
                     .arg(m_dir.filePath("bus").toHtmlEscaped(), ServiceDir().toHtmlEscaped())
                     .toUtf8());
    config.close();

    m_daemon = std::make_unique<QProcess>();
    m_daemon->setProcessEnvironment(m_env);
    m_daemon->setStandardErrorFile(m_dir.filePath("daemon.log"));
    m_daemon->start(QStringLiteral("dbus-daemon"),
                    {"--config-file=" + config.fileName(), "--nofork", "--print-address=1"});
    if (!m_daemon->waitForStarted(kAnswerMs) || !m_daemon->waitForReadyRead(kAnswerMs)) {
        why = QStringLiteral("dbus-daemon did not start: ") + m_daemon->errorString();
        return false;
    }
    return true;
}

void BusRig::StopBus() {
    if (m_daemon && m_daemon->state() != QProcess::NotRunning) {
        m_daemon->terminate();
        m_daemon->waitForFinished(kAnswerMs);
    }
}

bool BusRig::InstallEntry(const QString& program) const {
    QFile entry(ServiceFile());
    return entry.open(QIODevice::WriteOnly) &&
           entry.write("[D-BUS Service]\nName=VantrelDistribution.Application\nExec=" +
                       QFile::encodeName(program) + " -Embedding\n") > 0;
}

QByteArray BusRig::DaemonLog() const {
    QFile log(m_dir.filePath("daemon.log"));
    return log.open(QIODevice::ReadOnly) ? log.readAll() : QByteArray();
}

QList<qint64> BusRig::Copies() const {
    QList<qint64> pids;
    const QDir folder(m_dir.filePath("operator"));
    for (const QString& name :
         folder.entryList({"*.in"}, QDir::System, QDir::Time | QDir::Reversed)) {
        pids.append(name.chopped(3).toLongLong());
    }
    return pids;
}

bool BusRig::Tell(qint64 pid, const QByteArray& command) const {
    const QByteArray pipe = QFile::encodeName(m_dir.filePath("operator/%1.in").arg(pid));
    const int fd = ::open(pipe.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    const QByteArray line = command + '\n';
    const bool written =
        ::write(fd, line.constData(), static_cast<size_t>(line.size())) == line.size();
    ::close(fd);
    return written;
}

QByteArray BusRig::Report(qint64 pid) const {
    QFile out(m_dir.filePath("operator/%1.out").arg(pid));
    const auto lines = [&out] {
        if (!out.open(QIODevice::ReadOnly)) {
            return QList<QByteArray>();
        }
        QList<QByteArray> all = out.readAll().split('\n');
        out.close();
        all.removeAll(QByteArray());
        return all;
    };
    const qsizetype before = lines().size();
    if (!Tell(pid, "report")) {
        return {};
    }
    const QDeadlineTimer deadline(kAnswerMs);
    while (!deadline.hasExpired()) {
        const QList<QByteArray> now = lines();
        if (now.size() > before) {
            return now.last();
        }
        QTest::qWait(10);
    }
    return {};
}

bool BusRig::Running(qint64 pid) {
    QFile stat(QStringLiteral("/proc/%1/stat").arg(pid));
    if (!stat.open(QIODevice::ReadOnly)) {
        return false;
    }
    // pid (comm) state ...: the state follows the last closing parenthesis.
    const QByteArray text = stat.readAll();
    const qsizetype close = text.lastIndexOf(')');
    if (close < 0 || close + 2 >= text.size()) {
        return false;
    }
    const char state = text.at(close + 2);
    return state != 'Z' && state != 'X';
}

Holder::Holder(const BusRig& rig) {
    m_process.setProcessEnvironment(rig.Environment());
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
}

Holder::~Holder() {
    Kill();
}

bool Holder::Create() {
    m_process.start(QStringLiteral("/usr/bin/python3"), {QStringLiteral(VANTREL_HOLDER_SCRIPT)});
    if (!m_process.waitForStarted(kAnswerMs)) {
        return false;
    }
    m_firstLine = ReadLine();
    const QList<QByteArray> fields = m_firstLine.split(' ');
    if (fields.size() != 4 || fields.at(0) != "held") {
        return false;
    }
    m_copyPid = fields.at(1).toLongLong();
    m_copyName = QString::fromLatin1(fields.at(3));
    return m_copyPid > 0;
}

QByteArray Holder::Command(const QByteArray& command) {
    m_process.write(command + '\n');
    return ReadLine();
}

void Holder::Kill() {
    if (m_process.state() != QProcess::NotRunning) {
        m_process.kill();
        m_process.waitForFinished(kAnswerMs);
    }
}

QByteArray Holder::ReadLine() {
    const QDeadlineTimer deadline(kAnswerMs);
    while (!m_process.canReadLine() && !deadline.hasExpired() &&
           m_process.state() == QProcess::Running) {
        m_process.waitForReadyRead(static_cast<int>(qMax<qint64>(deadline.remainingTime(), 1)));
    }
    return m_process.readLine().trimmed();
}
