// The sender against lrzsz's rx, a receiver nobody here wrote, over a pseudo-terminal and the
// real port adapter on real time. rx runs as socat's child (see socat_peer.h): on a bare
// pseudo-terminal its closing flush can eat the ACK to EOT.
//
// rx strips nothing in binary mode: the file it writes is the image padded to whole blocks
// as the sender pads it (0x1A after the data, then 0xFF), and that is what is compared.
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdio>
#include <memory>

#include "quiet_display.h"
#include "serial/clock.h"
#include "serial/qt_serial_port.h"
#include "serial/serial_channel.h"
#include "session/results.h"
#include "session/xmodem.h"
#include "socat_peer.h"
#include "test_images.h"

using namespace vantrel;
using namespace vantrel::test;

namespace {

constexpr int kBlock = 1024;
// rx answers EOT after a second of quiet and socat ends half a second after rx.
constexpr int kPeerEndMs = 5000;

QByteArray Padded(const QByteArray& image) {
    QByteArray padded = image;
    if (const qsizetype rest = image.size() % kBlock; rest != 0) {
        padded.append('\x1A');
        padded.append(QByteArray(kBlock - 1 - rest, '\xFF'));
    }
    return padded;
}

QByteArray ReadAll(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

bool WriteAll(const QString& path, const QByteArray& data) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(data) == data.size();
}

using File = std::unique_ptr<std::FILE, int (*)(std::FILE*)>;

File OpenImage(const QString& path) {
    return File(std::fopen(path.toLocal8Bit().constData(), "rb"), &std::fclose);
}

}  // namespace

class XModemRxTest : public QObject {
    Q_OBJECT
private slots:
    void sendToRx_data() {
        QTest::addColumn<bool>("crc");
        QTest::addColumn<int>("size");
        for (const bool crc : {true, false}) {
            const char* mode = crc ? "rx -c" : "rx";
            for (const int size : {0, 1, 1023, 1024, 1025, 300 * kBlock + 77}) {
                QTest::addRow("%s, %d bytes", mode, size) << crc << size;
            }
        }
    }
    void sendToRx() {
        QFETCH(bool, crc);
        QFETCH(int, size);
        QTemporaryDir dir;
        const QString imagePath = dir.filePath("image.bin");
        const QByteArray image = RandomImage(size, quint32(size) + 11);
        QVERIFY(WriteAll(imagePath, image));

        SocatPeer peer;
        QVERIFY2(peer.Start(dir.path(), crc ? "rx -c out.bin" : "rx out.bin"),
                 qPrintable(peer.Log()));
        QtSerialPort port;
        QVERIFY2(port.Open(peer.Link().toStdString()), port.ErrorText().c_str());
        SteadyClock clock;
        SerialChannel channel(port, clock);
        QuietDisplay display;
        XModemSender sender(channel, display);
        const File file = OpenImage(imagePath);
        QVERIFY(file);
        FileImageReader reader(file.get());

        peer.Go();
        const std::int32_t result = sender.SendFile(reader, size);
        port.Close();
        const int peerStatus = peer.Finish(kPeerEndMs);

        const QByteArray expected = Padded(image);
        QVERIFY2(result == expected.size(),
                 qPrintable(QStringLiteral("result %1\n%2").arg(result).arg(peer.Log())));
        QCOMPARE(sender.Report().crcMode, crc);
        QVERIFY2(peerStatus == 0, qPrintable(peer.Log()));
        const QByteArray received = ReadAll(dir.filePath("out.bin"));
        QCOMPARE(received.size(), expected.size());
        QVERIFY(received.left(size) == image);
        QVERIFY(received == expected);
        QCOMPARE(sender.Report().eotSent, 1);
        // A repeated block is no fault (a machine that stalls for the second rx or this
        // sender waits gets one), but it is worth seeing.
        for (const auto& [block, count] : sender.Report().repeatsPerBlock) {
            qInfo("block %u sent %d more times", block, count);
        }
    }

    // The image shrinks under the sender: rx is cancelled and keeps no partial file.
    void truncatedFileCancelsRx() {
        QTemporaryDir dir;
        const QString imagePath = dir.filePath("image.bin");
        const int size = 300 * kBlock;
        QVERIFY(WriteAll(imagePath, RandomImage(size)));

        SocatPeer peer;
        QVERIFY2(peer.Start(dir.path(), "rx -c out.bin"), qPrintable(peer.Log()));
        QtSerialPort port;
        QVERIFY2(port.Open(peer.Link().toStdString()), port.ErrorText().c_str());
        SteadyClock clock;
        SerialChannel channel(port, clock);
        QuietDisplay display;
        bool truncated = false;
        display.OnStep([&](int step) {
            if (step == 3) {
                truncated = QFile::resize(imagePath, 2000);
            }
        });
        XModemSender sender(channel, display);
        const File file = OpenImage(imagePath);
        QVERIFY(file);
        FileImageReader reader(file.get());

        peer.Go();
        const std::int32_t result = sender.SendFile(reader, size);
        port.Close();
        const int peerStatus = peer.Finish(kPeerEndMs);

        QVERIFY(truncated);
        QCOMPARE(result, result::kImageReadError);
        QVERIFY2(peerStatus > 0, qPrintable(peer.Log()));
        QVERIFY2(peer.Log().contains("Sender Cancelled"), qPrintable(peer.Log()));
        QVERIFY(!QFile::exists(dir.filePath("out.bin")));
    }
};

QTEST_GUILESS_MAIN(XModemRxTest)
#include "test_xmodem_rx.moc"
