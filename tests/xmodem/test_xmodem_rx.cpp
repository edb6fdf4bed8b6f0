// The sender against lrzsz's rx over a pseudo-terminal and the real port on real time. rx
// runs as socat's child: on a bare pseudo-terminal its closing flush can eat
// the ACK to EOT. rx keeps the padding (0x1A, then 0xFF), so the padded image is compared.
#include <QFile>
#include <QTemporaryDir>
#include <QtTest>
#include <cstdio>
#include <functional>
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

// One transfer of `image` to rx started with `command` in a fresh folder. `onStep` runs on
// every display step.
struct RxRun {
    QTemporaryDir dir;
    QString imagePath = dir.filePath("image.bin");
    SocatPeer peer;
    std::int32_t result = 0;
    int peerStatus = -1;
    TransferReport report;

    bool Run(const QByteArray& image, const QString& command,
             const std::function<void(int)>& onStep) {
        if (!WriteFile(imagePath, image) || !peer.Start(dir.path(), command)) {
            return false;
        }
        QtSerialPort port;
        if (!port.Open(peer.Link().toStdString())) {
            return false;
        }
        SteadyClock clock;
        SerialChannel channel(port, clock);
        RecordingDisplay display;
        display.OnStep(onStep);
        XModemSender sender(channel, display);
        std::unique_ptr<std::FILE, int (*)(std::FILE*)> file(
            std::fopen(imagePath.toLocal8Bit().constData(), "rb"), &std::fclose);
        if (!file) {
            return false;
        }
        FileImageReader reader(file.get());
        peer.Go();
        result = sender.SendFile(reader, image.size());
        port.Close();
        peerStatus = peer.Finish(kPeerEndMs);
        report = sender.Report();
        return true;
    }
};

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
        RxRun run;
        bool cut = false;
        const auto onStep = [&](int step) {
            if (step == cutAtStep) {
                cut = QFile::resize(run.imagePath, 2000);
            }
        };
        QVERIFY2(run.Run(image, crc ? "rx -c out.bin" : "rx out.bin", onStep),
                 qPrintable(run.peer.Log()));
        QCOMPARE(run.report.crcMode, crc);
        if (cutAtStep > 0) {
            // rx is cancelled and keeps no partial file.
            QVERIFY(cut);
            QCOMPARE(run.result, result::kImageReadError);
            QVERIFY2(run.peerStatus > 0 && run.peer.Log().contains("Sender Cancelled"),
                     qPrintable(run.peer.Log()));
            QVERIFY(!QFile::exists(run.dir.filePath("out.bin")));
            return;
        }
        const QByteArray expected = Padded(image);
        QVERIFY2(run.result == expected.size(),
                 qPrintable(QStringLiteral("result %1\n%2").arg(run.result).arg(run.peer.Log())));
        QVERIFY2(run.peerStatus == 0, qPrintable(run.peer.Log()));
        QVERIFY(ReadFile(run.dir.filePath("out.bin")) == expected);
        QCOMPARE(run.report.eotSent, 1);
    }
};

QTEST_GUILESS_MAIN(XModemRxTest)
#include "test_xmodem_rx.moc"
