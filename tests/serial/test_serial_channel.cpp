#include <QtTest>

#include "fake_port.h"
#include "serial/serial_channel.h"

using namespace vantrel;
using namespace vantrel::test;

class SerialChannelTest : public QObject {
    Q_OBJECT
private slots:
    void lineWithCrLf() {
        SimClock clock;
        FakePort port(clock);
        SerialChannel channel(port, clock);
        QVERIFY(channel.OpenPort("/dev/fake"));
        port.Arrive("hello\r\n", 5);
        QCOMPARE(channel.ReadLine(2000), std::uint8_t{0});
        QCOMPARE(channel.ReceivedLine(), std::string("hello"));
    }
};

QTEST_GUILESS_MAIN(SerialChannelTest)
#include "test_serial_channel.moc"
