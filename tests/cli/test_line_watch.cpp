#include <QtTest>
#include <tuple>

#include "cli/line_watch.h"
#include "fake_port.h"

using namespace vantrel;
using namespace vantrel::cli;
using namespace vantrel::test;

namespace {

struct PortRig {
    SimClock clock;
    FakePort fake{clock};
    std::atomic<int> interrupted{0};
    WatchedPort port{fake, interrupted};
    PortRig() { QVERIFY(port.Open("/dev/fake")); }
};

LineObservation Observe(const QByteArray& bytes) {
    LineObservation seen;
    for (char c : bytes) {
        seen.Take(static_cast<std::uint8_t>(c));
    }
    return seen;
}

}  // namespace

class LineWatchTest : public QObject {
    Q_OBJECT
private slots:
    // What the line carried during the wait decides what the operator is told.
    void classification_data() {
        QTest::addColumn<QByteArray>("bytes");
        QTest::addColumn<QString>("kind");
        QTest::addColumn<int>("model");
        QTest::addColumn<QString>("mentions");

        QTest::newRow("silence") << QByteArray() << "nothing" << -1 << "cable";
        QTest::newRow("application text")
            << QByteArray("Meter v2.1 ready\r\n") << "unknown-bytes" << -1 << "4d 65 74 65";
        QTest::newRow("wrong speed: high bytes")
            << QByteArray("\xf8\x80\xfe\x00\x78", 5) << "unknown-bytes" << -1 << "38400";
        QTest::newRow("boot loader already at its menu answers with its prompt")
            << QByteArray("\r\n>") << "unknown-bytes" << -1 << "may already be at its menu";
        QTest::newRow("three of four signature bytes")
            << QByteArray("\t\t\t") << "unknown-bytes" << -1 << "application";
        QTest::newRow("model 0, no prompt")
            << QByteArray("\t\t\t\r") << "signature-without-prompt" << 0 << "transmit";
        QTest::newRow("model 1 after noise, then a wrong prompt")
            << QByteArray("zz\n\n\n\r> \r\n") << "signature-without-prompt" << 1 << "3e 20";
        QTest::newRow("model 2") << QByteArray("\n\n\r\r") << "signature-without-prompt" << 2
                                 << "nothing followed";
        QTest::newRow("stray LF before model 2 reads as model 1")
            << QByteArray("\n\n\n\r\r") << "signature-without-prompt" << 1 << "0d";
    }
    void classification() {
        QFETCH(QByteArray, bytes);
        QFETCH(QString, mentions);
        const LineObservation seen = Observe(bytes);
        QCOMPARE(seen.bytesSeen, std::uint64_t(bytes.size()));
        QTEST(seen.signatureModel, "model");
        const SilenceDiagnosis d = DiagnoseSilence(seen, "COM3 (/dev/ttyUSB0)", 120);
        QTEST(QString::fromStdString(d.kind), "kind");
        const QString text = QString::fromStdString(d.text);
        QVERIFY2(text.startsWith("No instrument identified on COM3 (/dev/ttyUSB0) within 120 s."),
                 d.text.c_str());
        QVERIFY2(text.contains(mentions), d.text.c_str());
    }

    void firstBytesAreBounded() {
        const LineObservation seen = Observe(QByteArray(1000, 'A'));
        QCOMPARE(seen.bytesSeen, std::uint64_t{1000});
        QCOMPARE(seen.first.size(), LineObservation::kKeptBytes);
    }

    void failedPortIsSaidSo() {
        LineObservation seen = Observe("abc");
        seen.portFailed = true;
        seen.portError = "Input/output error";
        const SilenceDiagnosis d = DiagnoseSilence(seen, "COM1", 5);
        QCOMPARE(QString::fromStdString(d.kind), QString("port-failed"));
        QVERIFY(QString::fromStdString(d.text).contains("Input/output error"));
    }

    void watchedPortNotesWhatIsTaken() {
        PortRig r;
        auto& port = r.port;
        r.fake.Arrive("xy\t\t\t\r");
        QVERIFY(port.Take());
        QVERIFY(port.Take());
        port.DiscardInput();  // four bytes thrown away unseen still count as seen
        QCOMPARE(port.Observed().bytesSeen, std::uint64_t{6});
        QCOMPARE(port.Observed().signatureModel, -1);
        port.StartObserving();
        QCOMPARE(port.Observed().bytesSeen, std::uint64_t{0});
    }

    // A long wait blocks in the port in slices (so a Ctrl-C is seen), never spinning.
    void longWaitBlocksInSlices() {
        PortRig r;
        auto [clock, fake, port] = std::tie(r.clock, r.fake, r.port);
        const std::uint64_t start = clock.NowMs();
        QVERIFY(!port.WaitForInput(120000));
        QCOMPARE(clock.NowMs() - start, std::uint64_t{120000});
        QVERIFY(fake.WaitCalls() <= 1201);
        fake.Arrive("!", 250);
        QVERIFY(port.WaitForInput(120000));
        QCOMPARE(clock.NowMs() - start, std::uint64_t{120250});
    }

    // After a Ctrl-C the session must unwind at once: every wait ends, nothing is written.
    void interruptFailsThePort() {
        PortRig r;
        auto [clock, fake, port] = std::tie(r.clock, r.fake, r.port);
        fake.Arrive("abc");
        r.interrupted = 1;
        const std::uint64_t start = clock.NowMs();
        QVERIFY(!port.WaitForInput(6000));
        QCOMPARE(clock.NowMs(), start);
        QVERIFY(port.HasFailed());
        QCOMPARE(port.Waiting(), std::size_t{0});
        QVERIFY(!port.Take());
        const std::uint8_t byte = 0x02;
        QVERIFY(!port.Write(&byte, 1));
        QVERIFY(fake.Writes().empty());
    }
};

QTEST_GUILESS_MAIN(LineWatchTest)
#include "test_line_watch.moc"
