// The window's --trace, as the installed program takes it: on the offscreen platform against
// the simulated instrument, and refused when its file cannot be written.
#include <QTest>

#include "images.h"
#include "line_rig.h"

using namespace vantrel::test;

namespace {

// Only a hang reaches these: the window opens its port and identifies within a second.
constexpr int kReactMs = 15000;
// Time the window is given to take the instrument's answer to its opening (or that answer
// and the reset's signature would run together), as the window's own tests do.
constexpr int kSettleMs = 300;

}  // namespace

class AppTraceTest : public QObject {
    Q_OBJECT
private slots:
    void traceOption_data() {
        QTest::addColumn<QString>("file");
        QTest::addColumn<int>("exitCode");  // -1: runs until it has identified the instrument
        QTest::addColumn<QStringList>("expected");  // lines of the trace, or of stderr, in order

        QTest::newRow("the window's line, from its opening to the instrument identified")
            << "window.trace" << -1
            << QStringList{"# Vantrel wire trace of VantrelDistribution, started ",
                           "-- open /dev/pts/", "-> \"\\r\"", "<- \"\\t\"", "<- \"\\r\"",
                           "-> \"\\r\"", "<- \">\"", "== identified: model 0"};
        QTest::newRow("a trace that cannot be written: refused, no window")
            << "missing/window.trace" << 2
            << QStringList{"VantrelDistribution: Cannot write the trace to \""};
        QTest::newRow("a device is never opened as the trace")
            << "/dev/null" << 2 << QStringList{"/dev/null\": it is a device, not a file"};
    }
    void traceOption() {
        QFETCH(QString, file);
        QFETCH(int, exitCode);
        ConfigHome home;
        QProcessEnvironment env = home.Env();
        env.insert("XDG_DATA_HOME", home.Path("data"));  // its activation entry goes there
        Sim sim;
        QVERIFY(sim.Start(home, "COM7", {}));
        QVERIFY(WriteFile(home.ConfigPath() + "/vantrel/BootLoader.ini", "COM7\n"));
        const QString trace = file.startsWith('/') ? file : home.Path(file);
        Program window;
        QVERIFY(window.Start(VANTREL_WINDOW_PROGRAM, {"--trace", trace}, env));
        if (exitCode < 0) {
            QVERIFY(QTest::qWaitFor([&] { return sim.Commands().contains("\r"); }, kReactMs));
            QTest::qWait(kSettleMs);
            sim.Reset();
            QVERIFY(QTest::qWaitFor([&] { return ReadFile(trace).contains("== identified"); },
                                    kReactMs));
            window.Process().terminate();
        }
        const RunResult run = window.Finish(kReactMs);
        QCOMPARE(run.exitCode, exitCode < 0 ? run.exitCode : exitCode);
        QFETCH(QStringList, expected);
        const QString missing =
            MissingInOrder(QString::fromLatin1(exitCode < 0 ? ReadFile(trace) : run.err), expected);
        QVERIFY2(missing.isEmpty(), qPrintable(missing));
    }
};

QTEST_GUILESS_MAIN(AppTraceTest)
#include "test_app_trace.moc"
