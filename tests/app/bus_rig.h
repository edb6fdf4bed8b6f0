#pragma once

#include <QByteArray>
#include <QList>
#include <QProcess>
#include <QProcessEnvironment>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <memory>

#include "line_rig.h"

// A private session bus for one test, and the folders of the copies of the program it starts:
// the bus activates only the services in the data folder's dbus-1/services, where a normal
// start writes its activation entry, and passes its environment (offscreen platform, private
// XDG folders, the test operator's folder) to every copy it starts.
class BusRig {
public:
    BusRig();
    ~BusRig();
    BusRig(const BusRig&) = delete;
    BusRig& operator=(const BusRig&) = delete;

    // Starts dbus-daemon; false with `why` set when it does not come up.
    bool Start(QString& why);
    // Ends the bus (a copy that lost its bus must notice on its own).
    void StopBus();

    QProcessEnvironment Environment() const { return m_env; }
    QString Path(const QString& relative) const { return m_dir.filePath(relative); }
    QString ServiceDir() const { return Path(QStringLiteral("data/dbus-1/services")); }
    QString ServiceFile() const {
        return ServiceDir() + "/VantrelDistribution.Application.service";
    }
    // Writes the activation entry for `program` -Embedding, as the test's own text.
    bool InstallEntry(const QString& program) const;
    // What the bus daemon and the copies it started wrote on stderr.
    QByteArray DaemonLog() const;
    QString PortMemoryFile() const { return Path(QStringLiteral("cfg/vantrel/BootLoader.ini")); }

    // Pids of the copies that have their test-operator pipe open, oldest first.
    QList<qint64> Copies() const;
    // Sends one test-operator command to copy `pid`.
    bool Tell(qint64 pid, const QByteArray& command) const;
    // Asks copy `pid` for "window=... box=..." and waits for the answer; empty on time-out.
    QByteArray Report(qint64 pid) const;

    // Runs a one-shot client (gdbus, dbus-send) on this bus.
    using Outcome = vantrel::test::RunResult;
    Outcome Run(const QString& program, const QStringList& arguments) const {
        return vantrel::test::Run(program, arguments, m_env, 30000);
    }

    // True while process `pid` exists and is not a zombie.
    static bool Running(qint64 pid);

private:
    QTemporaryDir m_dir;
    QProcessEnvironment m_env;
    std::unique_ptr<QProcess> m_daemon;
};

// A client that stays: tests/app/holder.py, run by Debian's python3 with its dbus module.
class Holder {
public:
    explicit Holder(const BusRig& rig);
    ~Holder();
    Holder(const Holder&) = delete;
    Holder& operator=(const Holder&) = delete;

    bool Create();
    QByteArray Command(const QByteArray& command);
    void Kill();

    qint64 CopyPid() const { return m_copyPid; }
    QString CopyName() const { return m_copyName; }
    QByteArray FirstLine() const { return m_firstLine; }

private:
    QByteArray ReadLine();

    QProcess m_process;
    QByteArray m_firstLine;
    qint64 m_copyPid = 0;
    QString m_copyName;
};
