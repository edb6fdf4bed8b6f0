#include <QtTest>

#include "session_rig.h"

using namespace vantrel;
using namespace vantrel::test;

namespace {

const QString kLost = Q(Str::ConnectionLost);

}  // namespace

class ConnectionTest : public QObject {
    Q_OBJECT
private slots:
    // The first four characters from the notification on decide, compared as they stand.
    void signature_data() {
        QTest::addColumn<QByteArray>("chars");
        QTest::addColumn<int>("gapMs");  // between the characters' arrivals
        QTest::addColumn<int>("model");  // -1: not recognised

        QTest::newRow("model 0") << QByteArray("\t\t\t\r") << 0 << 0;
        QTest::newRow("model 2") << QByteArray("\n\n\r\r") << 0 << 2;
        QTest::newRow("stray LF before model 2 reads as model 1")
            << QByteArray("\n\n\n\r\r") << 0 << 1;
        // Taken and dropped, not left to spoil the prompt line.
        QTest::newRow("fifth character is dropped") << QByteArray("\t\t\t\rX") << 5 << 0;
        QTest::newRow("stray TAB before model 0") << QByteArray("\t\t\t\t\r") << 0 << -1;
        QTest::newRow("characters 45 ms apart") << QByteArray("\t\t\t\r") << 45 << -1;
        QTest::newRow("NUL first") << QByteArray("\0\t\t\t\r", 5) << 0 << -1;
    }
    void signature() {
        QFETCH(QByteArray, chars);
        QFETCH(int, gapMs);
        QFETCH(int, model);
        SessionRig rig;
        QVERIFY(rig.connection.OpenPort(SessionRig::kDevice));
        rig.port.ClearWrites();
        rig.display.ClearLog();
        rig.Load(Dialogue().On("\r").Say(">"));
        for (int i = 0; i < chars.size(); ++i) {
            rig.port.Arrive(FakePort::Bytes{std::uint8_t(chars[i])}, std::uint64_t(i * gapMs));
        }

        rig.connection.IdentifyInstrument();
        QCOMPARE(rig.connection.InstrumentModel(), model);
        QCOMPARE(rig.connection.OnLine(), model >= 0);
        if (model < 0) {
            QVERIFY(rig.port.Writes().empty());
            QVERIFY(rig.display.Log().empty());
            QCOMPARE(QString::fromStdString(rig.display.StatusText()), kLost);
            QVERIFY(rig.port.ReceiveNotificationArmed());
            return;
        }
        QCOMPARE(rig.Writes(), QStringList{"\r"});
        QCOMPARE(rig.channel.TimeoutFactor(), model == 2 ? 4u : 1u);
        QCOMPARE(QString::fromStdString(rig.display.StatusText()), Q(Str::InstrumentOnLine));
        QVERIFY(!rig.port.ReceiveNotificationArmed());
    }

    // The wait for ">" after the carriage return: exact match only, each read with its own
    // time-out, and an overall bound against a peer that keeps talking.
    void promptWait_data() {
        QTest::addColumn<int>("model");
        QTest::addColumn<Script>("answer");
        QTest::addColumn<QString>("carried");  // a line read before the identification
        QTest::addColumn<bool>("onLine");
        QTest::addColumn<int>("minMs");  // simulated time the identification took
        QTest::addColumn<int>("maxMs");

        QTest::newRow("menu before the prompt")
            << 1
            << Script(Dialogue()
                          .On("\r")
                          .Say("Boot loader menu", "1 Blank check")
                          .Pause(1500)
                          .Say("2 Protection", ">"))
            << "" << true << 1500 << 1800;
        QTest::newRow("blank before the prompt")
            << 0 << Script(Dialogue().On("\r").Say(" >")) << "" << false << 2000 << 2200;
        QTest::newRow("silence, model 2")
            << 2 << Script(Dialogue().On("\r")) << "" << false << 8000 << 8200;
        // Four 20 ms gaps, no 8 s read: the ">" already read counts.
        QTest::newRow("prompt read before, model 2")
            << 2 << Script(Dialogue().On("\r")) << ">" << true << 0 << 200;
        QTest::newRow("talkative peer, model 2")
            << 2 << Script(Dialogue().On("\r").Chatter("Boot", 400, 1500)) << "" << false << 80000
            << 88200;
    }
    void promptWait() {
        QFETCH(int, model);
        QFETCH(Script, answer);
        QFETCH(QString, carried);
        QFETCH(bool, onLine);
        QFETCH(int, minMs);
        QFETCH(int, maxMs);
        SessionRig rig;
        QVERIFY(rig.connection.OpenPort(SessionRig::kDevice));
        if (!carried.isEmpty()) {
            rig.port.Arrive(carried.toStdString() + "\r");
            QCOMPARE(rig.channel.ReadLine(2000), std::uint8_t{0});
        }
        rig.display.ClearLog();
        rig.Load(answer);
        rig.port.Arrive(SessionRig::SignatureOf(model));
        const std::uint64_t start = rig.clock.NowMs();
        rig.connection.IdentifyInstrument();
        const auto took = static_cast<int>(rig.clock.NowMs() - start);
        QVERIFY2(took >= minMs && took <= maxMs, qPrintable(QString::number(took)));
        QCOMPARE(rig.connection.OnLine(), onLine);
        // A failed prompt wait keeps the model just recognised and shows nothing.
        QCOMPARE(rig.connection.InstrumentModel(), model);
        if (!onLine) {
            QVERIFY(rig.display.Log().empty());
            QCOMPARE(QString::fromStdString(rig.display.StatusText()), kLost);
        }
    }

    // A signature while On-Line is not read; a later reset of another variant changes the
    // model and its time-out factor back.
    void identifyAgain() {
        SessionRig rig;
        QVERIFY(rig.OnLine(2));
        rig.port.Arrive(SessionRig::SignatureOf(1));
        rig.connection.IdentifyInstrument();
        QCOMPARE(rig.port.PendingCount(), std::size_t{4});
        QVERIFY(rig.port.Writes().empty());
        QVERIFY(rig.display.Log().empty());
        QCOMPARE(rig.connection.InstrumentModel(), 2);
        rig.connection.GoConnectionLost();
        rig.channel.ClearInput();
        rig.Load(Dialogue().On("\r").Say(">"));
        rig.port.Arrive(SessionRig::SignatureOf(1));
        rig.connection.IdentifyInstrument();
        QVERIFY(rig.connection.OnLine());
        QCOMPARE(rig.connection.InstrumentModel(), 1);
        QCOMPARE(rig.channel.TimeoutFactor(), 1u);
    }

    // Opening a port always ends the session first; what cannot be opened is said plainly.
    // A port that has gone (adapter pulled) cannot be helped by resetting the instrument.
    void portState_data() {
        QTest::addColumn<QString>("when");
        QTest::addColumn<QString>("status");

        const QString gone = "Connection Lost - Input/output error - Select the port again";
        QTest::newRow("opens") << "open" << kLost;
        QTest::newRow("no port selected while on-line") << "no port"
                                                        << "No serial port selected";
        QTest::newRow("permission denied") << "refused"
                                           << "Cannot open /dev/ttyS0: Permission denied";
        QTest::newRow("connection lost") << "lost" << gone;
        QTest::newRow("during the prompt wait") << "prompt" << gone;
        QTest::newRow("reopened after the failure") << "reopen" << kLost;
    }
    void portState() {
        QFETCH(QString, when);
        SessionRig rig;
        if (when == "prompt") {
            QVERIFY(rig.connection.OpenPort(SessionRig::kDevice));
            rig.Load(Dialogue().On("\r").Pause(1000).Say(">"));
            rig.port.Arrive(SessionRig::SignatureOf(0));
            rig.port.FailIn(500);
            rig.connection.IdentifyInstrument();
        } else if (when == "lost" || when == "reopen") {
            QVERIFY(rig.OnLine(1));
            rig.port.FailIn(0);
            rig.connection.GoConnectionLost();
            if (when == "reopen") {
                QVERIFY(rig.connection.OpenPort(SessionRig::kDevice));
            }
        } else {
            if (when == "no port") {
                QVERIFY(rig.OnLine(0));
            } else if (when == "refused") {
                rig.port.Refuse("/dev/ttyS0", "Permission denied");
            }
            const bool opens = when == "open";
            QCOMPARE(rig.connection.OpenPort(when == "no port" ? "" : "/dev/ttyS0"), opens);
            QCOMPARE(rig.port.IsOpen(), opens);
        }
        QTEST(QString::fromStdString(rig.display.StatusText()), "status");
        QVERIFY(!rig.connection.OnLine());
        QVERIFY(!rig.display.RunEnabled());
    }
};

QTEST_GUILESS_MAIN(ConnectionTest)
#include "test_connection.moc"
