// The sender against lrzsz's rx over a pseudo-terminal and the real port on real time. rx
// runs as socat's child: on a bare pseudo-terminal its closing flush can eat
// the ACK to EOT. rx keeps the padding (0x1A, then 0xFF), so the padded image is compared.
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <cstdio>
#include <memory>

#include "images.h"
#include "line_rig.h"
#include "recording_display.h"
#include "serial/clock.h"
#include "serial/qt_serial_port.h"
#include "serial/serial_channel.h"
#include "session/results.h"
#include "session/xmodem.h"

using namespace vantrel;
using namespace vantrel::test;

namespace {

constexpr int kBlock = 1024;
// rx answers EOT after a second of quiet and socat ends half a second after rx.
constexpr int kPeerEndMs = 5000;

}  // namespace

class XModemRxTest : public QObject {
    Q_OBJECT
private slots:
    void sendToRx_data() {
        QTest::addColumn<bool>("crc");
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("cutAtStep");  // the file shrinks to 2000 bytes then; 0: never
        QTest::newRow("rx -c, 300 KiB + 77 bytes") << true << 300 * kBlock + 77 << 0;
        QTest::newRow("rx, 1025 bytes") << false << 1025 << 0;
        QTest::newRow("rx -c, file cut while sent") << true << 300 * kBlock << 3;
    }
    void sendToRx() {
        QFETCH(bool, crc);
        QFETCH(int, size);
        QFETCH(int, cutAtStep);
        const QByteArray image = RandomImage(size, quint32(size) + 11);
        QTemporaryDir dir;
        const QString imagePath = dir.filePath("image.bin");
        SocatPeer peer;
        QVERIFY(WriteFile(imagePath, image));
        QVERIFY2(peer.Start(dir.path(), crc ? "rx -c out.bin" : "rx out.bin"),
                 qPrintable(peer.Log()));
        QtSerialPort port;
        QVERIFY(port.Open(peer.Link().toStdString()));
        SteadyClock clock;
        SerialChannel channel(port, clock);
        RecordingDisplay display;
        bool cut = false;
        display.OnStep([&](int step) {
            if (step == cutAtStep) {
                cut = QFile::resize(imagePath, 2000);
            }
        });
        XModemSender sender(channel, display);
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
            std::fopen(imagePath.toLocal8Bit().constData(), "rb"), &std::fclose);
        QVERIFY(file);
        FileImageReader reader(file.get());
        peer.Go();
        const std::int32_t sent = sender.SendFile(reader, image.size());
        port.Close();
        const int peerStatus = peer.Finish(kPeerEndMs);
        QCOMPARE(sender.Report().crcMode, crc);
        if (cutAtStep > 0) {
            // rx is cancelled and keeps no partial file.
            QVERIFY(cut);
            QCOMPARE(sent, result::kImageReadError);
            QVERIFY2(peerStatus > 0 && peer.Log().contains("Sender Cancelled"),
                     qPrintable(peer.Log()));
            QVERIFY(!QFile::exists(dir.filePath("out.bin")));
            return;
        }
        const QByteArray expected = Padded(image);
        QVERIFY2(sent == expected.size(),
                 qPrintable(QStringLiteral("result %1\n%2").arg(sent).arg(peer.Log())));
        QVERIFY2(peerStatus == 0, qPrintable(peer.Log()));
        QVERIFY(ReadFile(dir.filePath("out.bin")) == expected);
        QCOMPARE(sender.Report().eotSent, 1);
    }
};

QTEST_GUILESS_MAIN(XModemRxTest)
#include "test_xmodem_rx.moc"
