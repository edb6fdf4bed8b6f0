#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QTest>
#include <memory>

#include "app/service_file.h"
#include "bus_rig.h"

namespace {

// Real time allowed for a copy to start or to end (see bus_rig.cpp).
constexpr int kAnswerMs = 30000;

const QString kProgram = QStringLiteral(VANTREL_APP_PROGRAM);

QByteArray ReadFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QString CanonicalProgram() {
    return QFileInfo(kProgram).canonicalFilePath();
}

}  // namespace

// The program as an automation server on a private session bus, driven by clients nobody here
// wrote: gdbus and dbus-send for one-shot calls, Python's dbus module for a client that stays.
class TestAutomation : public QObject {
    Q_OBJECT
private slots:
    void init() {
        m_rig = std::make_unique<BusRig>();
        QString why;
        QVERIFY2(m_rig->Start(why), qPrintable(why));
    }

    void cleanup() {
        if (QTest::currentTestFailed()) {
            qInfo("bus daemon and activated copies said:\n%s", m_rig->DaemonLog().constData());
        }
        m_rig->StopBus();
        // Copies that the bus started report sanitizer findings only there.
        const QByteArray log = m_rig->DaemonLog();
        m_rig.reset();
        QVERIFY2(!log.contains("Sanitizer") && !log.contains("runtime error:"), log.constData());
    }

    // The entry a normal start writes lets the bus start a copy with -Embedding for a client.
    void activationThroughTheEntry() {
        const std::unique_ptr<QProcess> normal = StartCopy({});
        QVERIFY(normal);
        QVERIFY(!NameOffered());  // a normal start offers nothing
        QVERIFY(m_rig->Tell(normal->processId(), "key Escape"));
        QVERIFY(normal->waitForFinished(kAnswerMs));

        Holder holder(*m_rig);
        QVERIFY2(holder.Create(), holder.FirstLine().constData());
        QFile cmdline(QStringLiteral("/proc/%1/cmdline").arg(holder.CopyPid()));
        QVERIFY(cmdline.open(QIODevice::ReadOnly));
        QCOMPARE(cmdline.readAll(), CanonicalProgram().toUtf8() + '\0' + "-Embedding" + '\0');
        QCOMPARE(m_rig->Report(holder.CopyPid()), QByteArray("window=shown box=none"));

        const BusRig::Outcome introspection =
            m_rig->Run("gdbus", {"introspect", "--session", "--dest", holder.CopyName(),
                                 "--object-path", "/Application"});
        QCOMPARE(introspection.exitCode, 0);
        QVERIFY2(introspection.out.contains("interface VantrelDistribution.Application {\n"
                                            "    methods:\n    signals:\n    properties:\n  };"),
                 introspection.out.constData());

        QCOMPARE(holder.Command("release"), QByteArray("released"));
        QTRY_VERIFY_WITH_TIMEOUT(!BusRig::Running(holder.CopyPid()), kAnswerMs);
    }

    void exitWhileHeld_data() {
        QTest::addColumn<QByteArray>("action");  // a test-operator command, or none
        QTest::addColumn<QByteArray>("window");
        QTest::addColumn<bool>("portSaved");

        QTest::newRow("Exit button") << QByteArray("click 2") << QByteArray("hidden") << true;
        QTest::newRow("close box only hides")
            << QByteArray("close") << QByteArray("hidden") << false;
    }

    // While a client holds the object, Exit hides the window and the copy lives on; the release
    // then ends it without the Exit handler.
    void exitWhileHeld() {
        QVERIFY(m_rig->InstallEntry(kProgram));
        QFETCH(QByteArray, action);
        QFETCH(QByteArray, window);
        QFETCH(bool, portSaved);

        Holder holder(*m_rig);
        QVERIFY2(holder.Create(), holder.FirstLine().constData());
        const qint64 copy = holder.CopyPid();
        if (!action.isEmpty()) {
            QVERIFY(m_rig->Tell(copy, action));
        }
        QTRY_COMPARE_WITH_TIMEOUT(m_rig->Report(copy), "window=" + window + " box=none", kAnswerMs);
        QVERIFY(BusRig::Running(copy));
        QCOMPARE(SavedPort() != "<not saved>", portSaved);
        QFile::remove(m_rig->PortMemoryFile());

        QCOMPARE(holder.Command("release"), QByteArray("released"));
        QTRY_VERIFY_WITH_TIMEOUT(!BusRig::Running(copy), kAnswerMs);
        QCOMPARE(SavedPort(), QByteArray("<not saved>"));
        QVERIFY(m_rig->Copies().isEmpty());
    }

    void holderGone_data() {
        QTest::addColumn<QString>("how");

        QTest::newRow("one-shot gdbus call") << "gdbus";
        QTest::newRow("holder killed") << "kill";
        QTest::newRow("bus gone") << "bus";
    }

    // A holder that leaves the bus, however it leaves, releases the object and so ends the copy.
    void holderGone() {
        QVERIFY(m_rig->InstallEntry(kProgram));
        QFETCH(QString, how);

        Holder holder(*m_rig);
        if (how == "gdbus") {
            const BusRig::Outcome call = m_rig->Run(
                "gdbus",
                {"call", "--session", "--dest", "VantrelDistribution.Application", "--object-path",
                 "/ClassFactory", "--method", "VantrelDistribution.ClassFactory.CreateInstance"});
            QCOMPARE(call.exitCode, 0);
            QCOMPARE(call.out.trimmed(), QByteArray("(objectpath '/Application',)"));
        } else {
            QVERIFY2(holder.Create(), holder.FirstLine().constData());
            QVERIFY(BusRig::Running(holder.CopyPid()));
            if (how == "kill") {
                holder.Kill();
            } else {
                m_rig->StopBus();
            }
        }
        // The copy's pipe goes only when its window ends in order.
        QTRY_VERIFY_WITH_TIMEOUT(m_rig->Copies().isEmpty(), kAnswerMs);
        if (holder.CopyPid() != 0) {
            QTRY_VERIFY_WITH_TIMEOUT(!BusRig::Running(holder.CopyPid()), kAnswerMs);
        }
        QCOMPARE(SavedPort(), QByteArray("<not saved>"));
    }

    // One copy serves one object: the next client's request starts another copy, and the first
    // copy refuses a second object even when asked by its own unique name.
    void nextClientGetsAnotherCopy() {
        QVERIFY(m_rig->InstallEntry(kProgram));
        Holder first(*m_rig);
        QVERIFY2(first.Create(), first.FirstLine().constData());
        Holder second(*m_rig);
        QVERIFY2(second.Create(), second.FirstLine().constData());
        QVERIFY(first.CopyPid() != second.CopyPid());
        QVERIFY(first.CopyName() != second.CopyName());

        QVERIFY(first.Command("create").startsWith("error VantrelDistribution.Error.InUse "));
        const BusRig::Outcome direct =
            m_rig->Run("gdbus", {"call", "--session", "--dest", second.CopyName(), "--object-path",
                                 "/ClassFactory", "--method",
                                 "VantrelDistribution.ClassFactory.CreateInstance"});
        QVERIFY(direct.exitCode != 0);
        QVERIFY2(direct.err.contains("VantrelDistribution.Error.InUse"), direct.err.constData());

        QCOMPARE(second.Command("release"), QByteArray("released"));
        QTRY_VERIFY_WITH_TIMEOUT(!BusRig::Running(second.CopyPid()), kAnswerMs);
        QVERIFY(BusRig::Running(first.CopyPid()));
        QCOMPARE(first.Command("release"), QByteArray("released"));
        QTRY_VERIFY_WITH_TIMEOUT(!BusRig::Running(first.CopyPid()), kAnswerMs);
    }

    void releaseRefused_data() {
        QTest::addColumn<QString>("path");
        QTest::addColumn<QByteArray>("error");

        QTest::newRow("by another client")
            << "/Application" << QByteArray("VantrelDistribution.Error.NotHolder");
        QTest::newRow("unknown object")
            << "/Other" << QByteArray("VantrelDistribution.Error.UnknownObject");
    }

    // Only the holder releases its object; a refused release leaves the copy held.
    void releaseRefused() {
        QVERIFY(m_rig->InstallEntry(kProgram));
        QFETCH(QString, path);
        QFETCH(QByteArray, error);

        Holder holder(*m_rig);
        QVERIFY2(holder.Create(), holder.FirstLine().constData());
        const BusRig::Outcome call =
            m_rig->Run("gdbus", {"call", "--session", "--dest", holder.CopyName(), "--object-path",
                                 "/ClassFactory", "--method",
                                 "VantrelDistribution.ClassFactory.Release", path});
        QVERIFY(call.exitCode != 0);
        QVERIFY2(call.err.contains(error), call.err.constData());

        QVERIFY(m_rig->Tell(holder.CopyPid(), "key Escape"));
        QTRY_COMPARE_WITH_TIMEOUT(m_rig->Report(holder.CopyPid()),
                                  QByteArray("window=hidden box=none"), kAnswerMs);
        QCOMPARE(holder.Command("release"), QByteArray("released"));
        QTRY_VERIFY_WITH_TIMEOUT(!BusRig::Running(holder.CopyPid()), kAnswerMs);
    }

    // A release while one of the window's boxes is open leaves the copy to the operator: the
    // window stays, and Exit then ends the program as after a normal start.
    void releaseWhileBoxOpen() {
        QVERIFY(m_rig->InstallEntry(kProgram));
        Holder holder(*m_rig);
        QVERIFY2(holder.Create(), holder.FirstLine().constData());
        const qint64 copy = holder.CopyPid();
        QVERIFY(m_rig->Tell(copy, "click 1018"));  // "&Open...": the target-file box
        QTRY_COMPARE_WITH_TIMEOUT(m_rig->Report(copy), QByteArray("window=shown box=open"),
                                  kAnswerMs);

        QCOMPARE(holder.Command("release"), QByteArray("released"));
        QCOMPARE(m_rig->Report(copy), QByteArray("window=shown box=open"));
        QVERIFY(m_rig->Tell(copy, "key Escape"));
        QTRY_COMPARE_WITH_TIMEOUT(m_rig->Report(copy), QByteArray("window=shown box=none"),
                                  kAnswerMs);
        QVERIFY(BusRig::Running(copy));

        QVERIFY(m_rig->Tell(copy, "key Escape"));
        QTRY_VERIFY_WITH_TIMEOUT(!BusRig::Running(copy), kAnswerMs);
        QVERIFY(SavedPort() != "<not saved>");
    }

    void automationUnavailable_data() {
        QTest::addColumn<bool>("busMissing");
        QTest::addColumn<QByteArray>("reason");

        QTest::newRow("no session bus")
            << true << QByteArray("automation is not offered: no session bus");
        QTest::newRow("name taken")
            << false
            << QByteArray(
                   "automation is not offered: the name VantrelDistribution.Application is "
                   "taken by another program");
    }

    // Without the bus side the window still opens and works; the copy says why on stderr.
    void automationUnavailable() {
        QFETCH(bool, busMissing);
        QFETCH(QByteArray, reason);

        QProcessEnvironment env = m_rig->Environment();
        std::unique_ptr<QProcess> owner;
        if (busMissing) {
            env.insert("DBUS_SESSION_BUS_ADDRESS", "unix:path=" + m_rig->Path("no-bus-here"));
        } else {
            owner = StartCopy({"-Embedding"});
            QVERIFY(owner);
            QVERIFY(NameOffered());
        }

        const std::unique_ptr<QProcess> copy = StartCopy({"-Embedding"}, env);
        QVERIFY(copy);
        QCOMPARE(m_rig->Report(copy->processId()), QByteArray("window=shown box=none"));
        QVERIFY(m_rig->Tell(copy->processId(), "key Escape"));
        QVERIFY(copy->waitForFinished(kAnswerMs));
        QCOMPARE(copy->exitCode(), 0);
        const QByteArray err = copy->readAllStandardError();
        QVERIFY2(err.contains("VantrelDistribution: " + reason), err.constData());
        QVERIFY(SavedPort() != "<not saved>");
        if (owner) {
            QVERIFY(NameOffered());
            QVERIFY(m_rig->Tell(owner->processId(), "key Escape"));
            QVERIFY(owner->waitForFinished(kAnswerMs));
        }
    }

    void windowSystemMissing_data() {
        QTest::addColumn<QStringList>("arguments");

        QTest::newRow("normal start") << QStringList{};
    }

    // Without a window system nothing can be shown: the reason and the program's start-up failure
    // message go to stderr, the program ends at once with status 1 and offers nothing.
    void windowSystemMissing() {
        QFETCH(QStringList, arguments);

        QProcessEnvironment env = m_rig->Environment();
        env.insert("QT_QPA_PLATFORM", "no-such-window-system");
        QProcess copy;
        copy.setProcessEnvironment(env);
        copy.start(kProgram, arguments);
        QVERIFY(copy.waitForFinished(kAnswerMs));
        QCOMPARE(copy.exitStatus(), QProcess::NormalExit);
        QCOMPARE(copy.exitCode(), 1);
        const QByteArray err = copy.readAllStandardError();
        QVERIFY2(
            err.contains("\nVantrelDistribution: Inizializzazione OLE non riuscita. Assicurarsi "
                         "che le librerie OLE siano della versione corretta.\n"),
            err.constData());
        QVERIFY2(err.contains("no-such-window-system"), err.constData());
        QVERIFY(!QFile::exists(m_rig->ServiceFile()));
        QVERIFY(!NameOffered());
    }

    void entryQuotingSurvivesTheDaemon_data() {
        QTest::addColumn<QString>("folder");

        QTest::newRow("blank, quote, dollar, backquote") << "tech's $HOME `id`";
        QTest::newRow("backslash, double quote, semicolon") << "back\\slash \"hi\"; ls";
    }

    // The Exec line is read back by the bus daemon itself: it must start exactly the program at
    // the written path, with "-Embedding" as its only argument.
    void entryQuotingSurvivesTheDaemon() {
        QFETCH(QString, folder);

        const QString dir = m_rig->Path("programs/" + folder);
        QVERIFY(QDir().mkpath(dir));
        const QString program = dir + "/VantrelDistribution";
        const QString record = m_rig->Path("argv.txt");
        {
            QFile script(program);
            QVERIFY(script.open(QIODevice::WriteOnly));
            script.write("#!/bin/sh\nprintf '%s\\n' \"$0\" \"$@\" > '" + QFile::encodeName(record) +
                         "'\n");
        }
        QVERIFY(
            QFile::setPermissions(program, QFile::ReadOwner | QFile::WriteOwner | QFile::ExeOwner));
        QVERIFY(vantrel::UpdateServiceFile(m_rig->ServiceFile(), program));

        // The stand-in never takes the name: the request stays pending until the bus goes.
        QProcess request;
        request.setProcessEnvironment(m_rig->Environment());
        request.start("dbus-send",
                      {"--session", "--print-reply", "--dest=org.freedesktop.DBus",
                       "/org/freedesktop/DBus", "org.freedesktop.DBus.StartServiceByName",
                       "string:VantrelDistribution.Application", "uint32:0"});
        const QByteArray expected = QFile::encodeName(program) + "\n-Embedding\n";
        QTRY_COMPARE_WITH_TIMEOUT(ReadFile(record), expected, kAnswerMs);
        request.kill();
        request.waitForFinished();
    }

private:
    std::unique_ptr<QProcess> StartCopy(const QStringList& arguments) {
        return StartCopy(arguments, m_rig->Environment());
    }
    std::unique_ptr<QProcess> StartCopy(const QStringList& arguments,
                                        const QProcessEnvironment& env) {
        auto copy = std::make_unique<QProcess>();
        copy->setProcessEnvironment(env);
        copy->start(kProgram, arguments);
        if (!copy->waitForStarted(kAnswerMs)) {
            return nullptr;
        }
        const qint64 pid = copy->processId();
        QDeadlineTimer deadline(kAnswerMs);
        while (!m_rig->Copies().contains(pid) && copy->state() == QProcess::Running &&
               !deadline.hasExpired()) {
            QTest::qWait(10);
        }
        return m_rig->Copies().contains(pid) ? std::move(copy) : nullptr;
    }

    bool NameOffered() const {
        const BusRig::Outcome answer =
            m_rig->Run("dbus-send", {"--session", "--print-reply", "--dest=org.freedesktop.DBus",
                                     "/org/freedesktop/DBus", "org.freedesktop.DBus.NameHasOwner",
                                     "string:VantrelDistribution.Application"});
        return answer.exitCode == 0 && answer.out.contains("boolean true");
    }

    QByteArray SavedPort() const {
        QFile file(m_rig->PortMemoryFile());
        return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray("<not saved>");
    }

    std::unique_ptr<BusRig> m_rig;
};

QTEST_GUILESS_MAIN(TestAutomation)
#include "test_automation.moc"
