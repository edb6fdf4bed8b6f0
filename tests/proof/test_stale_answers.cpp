// XModem's answers carry no block number, so a repeated or late ACK can pass for the next
// frame's. With one answer repeated or delayed and one block refused once, the sender may fail,
// but a success must mean the receiver holds the whole image.

#include <QtTest>
#include <cstring>
#include <utility>

#include "fake_port.h"
#include "recording_display.h"
#include "session/xmodem.h"

using namespace vantrel;
using namespace vantrel::test;

namespace {

constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEot = 0x04;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;
constexpr std::uint8_t kCan = 0x18;

class Image final : public ImageReader {
public:
    explicit Image(QByteArray bytes) : m_bytes(std::move(bytes)) {}
    std::size_t Read(std::uint8_t* buffer, std::size_t size) override {
        const auto n = static_cast<std::size_t>(
            std::min<qsizetype>(static_cast<qsizetype>(size), m_bytes.size() - m_pos));
        std::memcpy(buffer, m_bytes.constData() + m_pos, n);
        m_pos += static_cast<qsizetype>(n);
        return n;
    }
    bool Failed() const override { return false; }
    std::string ErrorText() const override { return {}; }

private:
    QByteArray m_bytes;
    qsizetype m_pos = 0;
};

// A proper XModem-1K receiver behind a line that repeats its answer to block `repeatAfter`,
// delays that to `lateAfter` by `lateMs` and spoils the first arrival of block `spoiled`.
class Receiver {
public:
    int repeatAfter = 0;
    int lateAfter = 0;
    std::uint64_t lateMs = 0;
    int spoiled = 0;

    void Attach(FakePort& port) {
        port.SetResponder([this](FakePort& p, const FakePort::Bytes& w) { Answer(p, w); });
    }
    bool Completed() const { return m_completed; }
    QByteArray Received() const { return m_image; }

private:
    void Answer(FakePort& port, const FakePort::Bytes& write) {
        if (write.size() == 1 && write[0] == kEot) {
            m_completed = true;
            port.Arrive(FakePort::Bytes{kAck}, 5);
            return;
        }
        if (write.size() < 1028 || write[0] != kStx) {
            return;
        }
        const int number = write[1];
        const int expected = (m_blocks + 1) % 256;
        std::uint8_t answer = kNak;
        int answered = 0;  // the block the answer acknowledges, 0 for none
        if (number == expected &&
            !(m_blocks + 1 == spoiled && !std::exchange(m_spoiledOnce, true))) {
            m_image.append(reinterpret_cast<const char*>(write.data()) + 3, 1024);
            ++m_blocks;
            answer = kAck;
            answered = m_blocks;
        } else if (number == m_blocks % 256 && m_blocks > 0) {
            answer = kAck;  // a repeat of the block before: taken once already
        }
        m_errors = answer == kAck ? 0 : m_errors + 1;
        if (m_errors >= 10) {
            port.Arrive(FakePort::Bytes{kCan, kCan}, 5);
            return;
        }
        FakePort::Bytes bytes{answer};
        if (answered != 0 && answered == repeatAfter) {
            bytes.push_back(answer);
        }
        port.Arrive(bytes, answered != 0 && answered == lateAfter ? lateMs : 5);
    }

    QByteArray m_image;
    bool m_spoiledOnce = false;
    int m_blocks = 0;
    int m_errors = 0;
    bool m_completed = false;
};

QByteArray Padded(QByteArray image) {
    if (image.size() % 1024 != 0) {
        image.append('\x1a');
        image.append(QByteArray(1024 - image.size() % 1024, '\xff'));
    }
    return image;
}

}  // namespace

class StaleAnswersTest : public QObject {
    Q_OBJECT
private slots:
    void successMeansTheWholeImage_data() {
        QTest::addColumn<int>("blocks");
        QTest::addColumn<int>("repeatAfter");
        QTest::addColumn<int>("lateAfter");
        QTest::addColumn<int>("lateMs");
        QTest::addColumn<int>("spoiled");
        QTest::newRow("clean line") << 4 << 0 << 0 << 0 << 0;
        QTest::newRow("ACK repeated, next block good") << 4 << 1 << 0 << 0 << 0;
        QTest::newRow("ACK repeated, next block spoiled") << 4 << 1 << 0 << 0 << 2;
        QTest::newRow("ACK repeated, last block spoiled") << 3 << 2 << 0 << 0 << 3;
        QTest::newRow("ACK late, last block spoiled") << 3 << 0 << 2 << 1500 << 3;
        QTest::newRow("ACK late beyond two sendings, last block spoiled")
            << 3 << 0 << 2 << 2500 << 3;
    }
    void successMeansTheWholeImage() {
        QFETCH(int, blocks);
        QFETCH(int, repeatAfter);
        QFETCH(int, lateAfter);
        QFETCH(int, lateMs);
        QFETCH(int, spoiled);
        SimClock clock;
        FakePort port(clock);
        RecordingDisplay display;
        SerialChannel channel(port, clock);
        QVERIFY(channel.OpenPort("/dev/fake"));
        Receiver receiver;
        receiver.repeatAfter = repeatAfter;
        receiver.lateAfter = lateAfter;
        receiver.lateMs = static_cast<std::uint64_t>(lateMs);
        receiver.spoiled = spoiled;
        receiver.Attach(port);
        port.Arrive("C", 10);

        QByteArray bytes(blocks * 1024 - 100, '\0');
        for (qsizetype i = 0; i < bytes.size(); ++i) {
            bytes[i] = static_cast<char>(i * 31 + i / 1024);
        }
        Image image(bytes);
        XModemSender sender(channel, display);
        const std::int32_t result = sender.SendFile(image, bytes.size());
        if (result >= 0) {
            QVERIFY2(receiver.Completed() && receiver.Received() == Padded(bytes),
                     qPrintable(QString("success claimed, the receiver holds %1 of %2 blocks")
                                    .arg(receiver.Received().size() / 1024)
                                    .arg(blocks)));
        }
        if (spoiled == 0 && lateAfter == 0) {
            QCOMPARE(result, blocks * 1024);  // a line that loses nothing must not fail
        }
    }
};

QTEST_GUILESS_MAIN(StaleAnswersTest)
#include "test_stale_answers.moc"
