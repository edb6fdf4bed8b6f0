// --baud 38400 holds both directions to 3840 bytes/s; the upper margins catch double counting.

#include <QElapsedTimer>
#include <QtTest>

#include "sim_run.h"

using vantrel::test::AwaitPrompt;
using vantrel::test::EnterDownload;
using vantrel::test::Frame;
using vantrel::test::SimRun;

namespace {

constexpr double kBytesPerSecond = 3840.0;  // 38400 baud, 10 bits per byte

}  // namespace

class SimPacingTest : public QObject {
    Q_OBJECT
private slots:
    void downloadDirection();
    void answerDirection();
};

// 8 KiB in eight 1029-byte frames, each waiting for its ACK: about 2.15 s on a real line.
void SimPacingTest::downloadDirection() {
    SimRun sim({"--model", "1", "--reset-on-open", "--baud", "38400"});
    QVERIFY(sim.Start());
    QVERIFY(sim.OpenPort());
    QVERIFY(AwaitPrompt(sim, "\n\n\n\r"));
    QVERIFY(EnterDownload(sim, "00010000"));
    QCOMPARE(sim.ReadCount(1, 4000), QByteArray("C"));

    constexpr int kBlocks = 8;
    QElapsedTimer timer;
    timer.start();
    for (int block = 1; block <= kBlocks; ++block) {
        QVERIFY(sim.Write(Frame(block, QByteArray(1024, static_cast<char>(block)))));
        QCOMPARE(sim.ReadCount(1, 4000), QByteArray("\x06"));
    }
    const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    const double ideal = kBlocks * (1029 + 1) / kBytesPerSecond;
    qInfo("8 KiB download at 38400 baud: %.3f s, line limit %.3f s (%.1f %%)", seconds, ideal,
          100.0 * seconds / ideal);
    QVERIFY2(seconds >= 0.97 * ideal, "faster than the line");
    QVERIFY2(seconds <= 1.15 * ideal, "far slower than the line");
    QVERIFY(sim.Write("\x04"));
    QCOMPARE(sim.ReadCount(1, 4000), QByteArray("\x06"));
    QCOMPARE(sim.Stop().value("image").toObject().value("size").toInt(), 8192);
}

// The erase report of model 0 (about 450 bytes) takes its time on the line too.
void SimPacingTest::answerDirection() {
    SimRun sim({"--model", "0", "--reset-on-open", "--baud", "38400"});
    QVERIFY(sim.Start());
    QVERIFY(sim.OpenPort());
    QVERIFY(AwaitPrompt(sim, "\t\t\t\r"));
    QVERIFY(sim.Write("3"));
    QVERIFY(sim.ReadUntil("(Y/N)?\r\n").endsWith("(Y/N)?\r\n"));

    QElapsedTimer timer;
    timer.start();
    QVERIFY(sim.Write("Y"));
    const QByteArray answer = sim.ReadUntil("Erase complete\r\n>");
    const double seconds = static_cast<double>(timer.nsecsElapsed()) / 1e9;
    QVERIFY(answer.endsWith("Erase complete\r\n>"));
    const double ideal = static_cast<double>(1 + answer.size()) / kBytesPerSecond;
    qInfo("%lld-byte erase report at 38400 baud: %.3f s, line limit %.3f s",
          static_cast<long long>(answer.size()), seconds, ideal);
    QVERIFY2(seconds >= 0.97 * ideal, "faster than the line");
    QVERIFY2(seconds <= ideal + 0.1, "far slower than the line");
    sim.Stop();
}

QTEST_GUILESS_MAIN(SimPacingTest)
#include "test_sim_pacing.moc"
