#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QTemporaryDir>
#include <QTest>
#include <QXmlStreamReader>
#include <memory>

#include "images.h"
#include "line_rig.h"

using vantrel::test::ReadFile;

namespace {

// Real time allowed for a bus, a copy or a client to answer: generous, as the suite also runs
// under AddressSanitizer on a busy machine, and a test waits only as long as needed.
constexpr int kAnswerMs = 30000;

const QString kProgram = QStringLiteral(VANTREL_APP_PROGRAM);
const QString kName = QStringLiteral("VantrelDistribution.Application");
const QString kFactory = QStringLiteral("VantrelDistribution.ClassFactory");

// True while process `pid` exists and is not a zombie (the state follows the last ')').
bool Running(qint64 pid) {
    const QByteArray stat = ReadFile(QStringLiteral("/proc/%1/stat").arg(pid));
    const qsizetype close = stat.lastIndexOf(')');
    return close > 0 && close + 2 < stat.size() && stat.at(close + 2) != 'Z' &&
           stat.at(close + 2) != 'X';
}

// The members of `interface` in introspection data, as the bus tells them apart: "interface",
// then each method, signal, property and argument with its name, type, direction and access;
// an argument's name and the annotations are documentation and left out.
QStringList Members(const QByteArray& xml, const QString& interface) {
    QXmlStreamReader reader(xml);
    QStringList members;
    bool inside = false;
    while (reader.readNext() != QXmlStreamReader::Invalid && !reader.atEnd()) {
        const QXmlStreamAttributes at = reader.attributes();
        if (reader.name() == u"interface") {
            inside = reader.isStartElement() && at.value("name") == interface;
            members << QStringList(inside ? 1 : 0, QStringLiteral("interface"));
        } else if (inside && reader.isStartElement() && reader.name() != u"annotation") {
            const bool arg = reader.name() == u"arg";
            members << QStringList{reader.name().toString(), arg ? "" : at.value("name").toString(),
                                   at.value("type").toString(), at.value("direction").toString(),
                                   at.value("access").toString()}
                           .join(' ')
                           .simplified();
        }
    }
    return reader.hasError() ? QStringList{reader.errorString()} : members;
}

// A client that stays on the bus: the manual's example docs/examples/hold-window.py, run by
// Debian's python3 with its dbus module. It prints "held <pid> <unique name>" of the copy that
// serves its object, and "released" after its line on stdin.
struct Holder : vantrel::test::Program {
    bool Create(const QProcessEnvironment& env) {
        const bool held = Start("/usr/bin/python3", {QStringLiteral(VANTREL_HOLDER_SCRIPT)}, env,
                                QProcess::ForwardedErrorChannel) &&
                          WaitForOutput("\n", kAnswerMs) && Seen().startsWith("held ");
        const QList<QByteArray> fields = Seen().trimmed().split(' ');
        copyPid = held ? fields.value(1).toLongLong() : 0;
        copyName = QString::fromLatin1(fields.value(2));
        return copyPid > 0;
    }
    bool Release() {
        Process().write("\n");
        return WaitForOutput("\nreleased\n", kAnswerMs);
    }

    qint64 copyPid = 0;
    QString copyName;
};

}  // namespace

// The program as an automation server on a private session bus (dbus-daemon), activated by the
// daemon from the entry in the data folder; each copy plays its window's operator through a
// pipe pair in the operator folder (the test variant's test operator).
class TestAutomation : public QObject {
    Q_OBJECT
private slots:
    void init() {
        for (const char* folder : {"cfg", "data/dbus-1/services", "operator", "runtime"}) {
            QVERIFY(QDir().mkpath(Path(folder)));
        }
        QFile::setPermissions(Path("runtime"),
                              QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner);
        m_env = QProcessEnvironment::systemEnvironment();
        m_env.remove("DBUS_STARTER_ADDRESS");
        m_env.remove("DBUS_STARTER_BUS_TYPE");
        m_env.insert("QT_QPA_PLATFORM", "offscreen");
        m_env.insert("XDG_CONFIG_HOME", Path("cfg"));
        m_env.insert("XDG_DATA_HOME", Path("data"));
        m_env.insert("XDG_RUNTIME_DIR", Path("runtime"));
        m_env.insert("VANTREL_TEST_OPERATOR_DIR", Path("operator"));
        m_env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + Path("bus"));
        // A session bus of its own, which activates from $XDG_DATA_HOME/dbus-1/services.
        m_daemon = std::make_unique<QProcess>();
        m_daemon->setProcessEnvironment(m_env);
        m_daemon->setStandardErrorFile(Path("daemon.log"));
        m_daemon->start("dbus-daemon", {"--session", "--address=unix:path=" + Path("bus"),
                                        "--nofork", "--print-address=1"});
        QVERIFY(m_daemon->waitForStarted(kAnswerMs) && m_daemon->waitForReadyRead(kAnswerMs));
    }

    void cleanup() {
        for (const qint64 pid : Copies()) {
            ::kill(static_cast<pid_t>(pid), SIGKILL);
            QTRY_VERIFY_WITH_TIMEOUT(!Running(pid), kAnswerMs);
        }
        StopBus();
        // Copies that the bus started report there, sanitizer findings included.
        const QByteArray log = ReadFile(Path("daemon.log"));
        m_daemon.reset();
        m_dir = std::make_unique<QTemporaryDir>();
        QVERIFY2(!QTest::currentTestFailed() && !log.contains("Sanitizer") &&
                     !log.contains("runtime error:"),
                 log.constData());
    }

    // The entry a normal start writes lets the bus start a copy with -Embedding for a client.
    // The program lies in a folder whose name the daemon's Exec reading would split or expand
    // unless quoted.
    void activationThroughTheEntry() {
        const QString dir = Path("programs/tech's $HOME `id` back\\slash \"hi\"; ls");
        const QString program = dir + "/VantrelDistribution";
        QVERIFY(QDir().mkpath(dir) && QFile::copy(kProgram, program));
        const std::unique_ptr<QProcess> normal = StartCopy({}, m_env, program);
        QVERIFY(normal);
        QVERIFY(!NameOffered());  // a normal start offers nothing
        QVERIFY(Tell(normal->processId(), "key Escape"));
        QVERIFY(normal->waitForFinished(kAnswerMs));
        QVERIFY(QFile::remove(PortMemoryFile()));  // saved by its Exit

        Holder holder;
        QVERIFY(holder.Create(m_env));
        QCOMPARE(ReadFile(QStringLiteral("/proc/%1/cmdline").arg(holder.copyPid)),
                 QFile::encodeName(program) + '\0' + "-Embedding" + '\0');
        QCOMPARE(Report(holder.copyPid), QByteArray("window=shown box=none"));
        // The interface descriptions that the package installs are what the copy offers.
        for (const QString path : {"/ClassFactory", "/Application"}) {
            const QString interface = "VantrelDistribution" + QString(path).replace('/', '.');
            const QStringList described = Members(
                ReadFile(QStringLiteral(VANTREL_DBUS_INTERFACES "/%1.xml").arg(interface)),
                interface);
            QVERIFY2(described.startsWith("interface"), qPrintable(described.join(" | ")));
            QCOMPARE(Members(Run("gdbus", {"introspect", "--xml", "--session", "--dest",
                                           holder.copyName, "--object-path", path})
                                 .out,
                             interface),
                     described);
        }

        // While the object is held, Exit only hides the window (the port is saved); the
        // release then ends the copy without the Exit handler.
        QVERIFY(Tell(holder.copyPid, "click 2"));
        QTRY_COMPARE_WITH_TIMEOUT(Report(holder.copyPid), "window=hidden box=none", kAnswerMs);
        QVERIFY(QFile::remove(PortMemoryFile()));

        QVERIFY(holder.Release());
        QTRY_VERIFY_WITH_TIMEOUT(!Running(holder.copyPid), kAnswerMs);
        QVERIFY(!QFile::exists(PortMemoryFile()));
        QVERIFY(Copies().isEmpty());
    }

    // The bus going away releases the object too, and so ends the copy.
    void busGone() {
        QVERIFY(InstallEntry());
        Holder holder;
        QVERIFY(holder.Create(m_env));
        StopBus();
        // The copy's pipe goes only when its window ends in order.
        QTRY_VERIFY_WITH_TIMEOUT(Copies().isEmpty(), kAnswerMs);
        QTRY_VERIFY_WITH_TIMEOUT(!Running(holder.copyPid), kAnswerMs);
        QVERIFY(!QFile::exists(PortMemoryFile()));
    }

    // One copy serves one object: the next client's request starts another copy, and a copy
    // refuses a second object even when asked by its own unique name. Only the holder releases,
    // or its leaving the bus does.
    void oneObjectOneHolder() {
        QVERIFY(InstallEntry());
        Holder first;
        QVERIFY(first.Create(m_env));
        Holder second;
        QVERIFY(second.Create(m_env));
        QVERIFY(first.copyPid != second.copyPid);
        QCOMPARE(Call(second.copyName, "CreateInstance", {}), "VantrelDistribution.Error.InUse");
        QCOMPARE(Call(second.copyName, "Release", {"/Application"}),
                 "VantrelDistribution.Error.NotHolder");
        QCOMPARE(Call(second.copyName, "Release", {"/Other"}),
                 "VantrelDistribution.Error.UnknownObject");
        QVERIFY(second.Release());
        QTRY_VERIFY_WITH_TIMEOUT(!Running(second.copyPid), kAnswerMs);
        QVERIFY(Running(first.copyPid));
        first.Process().kill();
        QTRY_VERIFY_WITH_TIMEOUT(Copies().isEmpty(), kAnswerMs);
        QTRY_VERIFY_WITH_TIMEOUT(!Running(first.copyPid), kAnswerMs);
        QVERIFY(!QFile::exists(PortMemoryFile()));
    }

    // A release while one of the window's boxes is open leaves the copy to the operator: the
    // window stays, and Exit then ends the program as after a normal start.
    void releaseWhileBoxOpen() {
        QVERIFY(InstallEntry());
        Holder holder;
        QVERIFY(holder.Create(m_env));
        const qint64 copy = holder.copyPid;
        QVERIFY(Tell(copy, "click 1018"));  // "&Open...": the target-file box
        QTRY_COMPARE_WITH_TIMEOUT(Report(copy), "window=shown box=open", kAnswerMs);
        QVERIFY(holder.Release());
        QCOMPARE(Report(copy), "window=shown box=open");
        QVERIFY(Tell(copy, "key Escape"));
        QTRY_COMPARE_WITH_TIMEOUT(Report(copy), "window=shown box=none", kAnswerMs);
        QVERIFY(Running(copy));
        QVERIFY(Tell(copy, "key Escape"));
        QTRY_VERIFY_WITH_TIMEOUT(!Running(copy), kAnswerMs);
        QVERIFY(QFile::exists(PortMemoryFile()));
    }

    void automationUnavailable_data() {
        QTest::addColumn<bool>("busMissing");
        QTest::addColumn<QByteArray>("reason");
        QTest::newRow("no session bus") << true << QByteArray("no session bus");
        QTest::newRow("name taken")
            << false
            << QByteArray("the name VantrelDistribution.Application is taken by another program");
    }
    // Without the bus side the window still opens and works; the copy says why on stderr.
    void automationUnavailable() {
        QFETCH(bool, busMissing);
        QProcessEnvironment env = m_env;
        std::unique_ptr<QProcess> owner;
        if (busMissing) {
            env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + Path("no-bus-here"));
        } else {
            owner = StartCopy({"-Embedding"}, m_env);
            QVERIFY(owner && NameOffered());
        }
        const std::unique_ptr<QProcess> copy = StartCopy({"-Embedding"}, env);
        QVERIFY(copy);
        QCOMPARE(Report(copy->processId()), QByteArray("window=shown box=none"));
        QVERIFY(Tell(copy->processId(), "key Escape"));
        QVERIFY(copy->waitForFinished(kAnswerMs));
        QCOMPARE(copy->exitCode(), 0);
        const QByteArray err = copy->readAllStandardError();
        QFETCH(QByteArray, reason);
        QVERIFY2(err.contains("VantrelDistribution: automation is not offered: " + reason),
                 err.constData());
        QVERIFY(QFile::exists(PortMemoryFile()));
        QVERIFY(!owner || NameOffered());
    }

    // Without a window system the reason and the start-up failure message go to stderr; the
    // program ends at once with status 1 and offers nothing.
    void windowSystemMissing() {
        QProcessEnvironment env = m_env;
        env.insert("QT_QPA_PLATFORM", "no-such-window-system");
        const auto copy = vantrel::test::Run(kProgram, {}, env, kAnswerMs);
        QCOMPARE(copy.exitCode, 1);
        QVERIFY2(copy.err.contains(
                     "\nVantrelDistribution: Inizializzazione OLE non riuscita. Assicurarsi "
                     "che le librerie OLE siano della versione corretta.\n") &&
                     copy.err.contains("no-such-window-system"),
                 copy.err.constData());
        QVERIFY(!QFile::exists(ServiceFile()));
    }

private:
    QString Path(const QString& relative) const { return m_dir->filePath(relative); }
    QString ServiceFile() const {
        return Path("data/dbus-1/services/VantrelDistribution.Application.service");
    }
    QString PortMemoryFile() const { return Path("cfg/vantrel/BootLoader.ini"); }
    vantrel::test::RunResult Run(const QString& program, const QStringList& arguments) const {
        return vantrel::test::Run(program, arguments, m_env, kAnswerMs);
    }
    // A one-shot gdbus call to the factory at `dest`: its answer, or the error's name.
    QByteArray Call(const QString& dest, const QString& method, const QStringList& args) const {
        const auto call = Run("gdbus", QStringList{"call", "--session", "--dest", dest,
                                                   "--object-path", "/ClassFactory", "--method",
                                                   kFactory + "." + method} + args);
        return call.exitCode == 0 ? call.out.trimmed()
                                  : call.err.mid(call.err.indexOf("VantrelDistribution.Error."))
                                        .split(':').value(0);
    }
    void StopBus() {
        if (m_daemon && m_daemon->state() != QProcess::NotRunning) {
            m_daemon->terminate();
            m_daemon->waitForFinished(kAnswerMs);
        }
    }

    // Writes the activation entry for the program -Embedding, as the test's own text.
    bool InstallEntry() const {
        return vantrel::test::WriteFile(ServiceFile(),
                                        "[D-BUS Service]\nName=VantrelDistribution.Application\n"
                                        "Exec=" + QFile::encodeName(kProgram) + " -Embedding\n");
    }

    // Pids of the copies that have their test-operator pipe open.
    QList<qint64> Copies() const {
        QList<qint64> pids;
        for (const QString& name : QDir(Path("operator")).entryList({"*.in"}, QDir::System)) {
            pids.append(name.chopped(3).toLongLong());
        }
        return pids;
    }
    // Without blocking: a copy that died leaves its pipe with no reader.
    bool Tell(qint64 pid, const QByteArray& command) const {
        const QByteArray pipe = QFile::encodeName(Path("operator/%1.in").arg(pid));
        const int fd = ::open(pipe.constData(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
        QFile file;
        return fd >= 0 &&
               file.open(fd, QIODevice::WriteOnly | QIODevice::Unbuffered,
                         QFileDevice::AutoCloseHandle) &&
               file.write(command + '\n') == command.size() + 1;
    }
    // Asks copy `pid` for "window=... box=..." and waits for the answer; empty on time-out.
    QByteArray Report(qint64 pid) const {
        const QString out = Path("operator/%1.out").arg(pid);
        const qsizetype before = ReadFile(out).count('\n');
        if (!Tell(pid, "report") ||
            !QTest::qWaitFor([&] { return ReadFile(out).count('\n') > before; }, kAnswerMs)) {
            return {};
        }
        return ReadFile(out).trimmed().split('\n').last();
    }

    // Starts a copy directly and waits until its test operator listens.
    std::unique_ptr<QProcess> StartCopy(const QStringList& arguments,
                                        const QProcessEnvironment& env,
                                        const QString& program = kProgram) {
        auto copy = std::make_unique<QProcess>();
        copy->setProcessEnvironment(env);
        copy->start(program, arguments);
        const bool up = copy->waitForStarted(kAnswerMs) && QTest::qWaitFor([&] {
            return Copies().contains(copy->processId()) || copy->state() != QProcess::Running;
        }, kAnswerMs);
        return up && Copies().contains(copy->processId()) ? std::move(copy) : nullptr;
    }

    bool NameOffered() const {
        return Run("dbus-send", {"--session", "--print-reply", "--dest=org.freedesktop.DBus",
                                 "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                                 "string:" + kName})
            .out.contains("boolean true");
    }

    std::unique_ptr<QTemporaryDir> m_dir = std::make_unique<QTemporaryDir>();
    QProcessEnvironment m_env;
    std::unique_ptr<QProcess> m_daemon;
};

QTEST_GUILESS_MAIN(TestAutomation)
#include "test_automation.moc"
