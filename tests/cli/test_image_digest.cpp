#include <QCryptographicHash>
#include <QTemporaryDir>
#include <QtTest>

#include "cli/image_digest.h"

using namespace vantrel::cli;

namespace {

// Bit-by-bit CRC-32 straight from the polynomial, to check the table-driven one against.
std::uint32_t ReferenceCrc32(const QByteArray& data) {
    std::uint32_t crc = 0xFFFFFFFF;
    for (char c : data) {
        crc ^= static_cast<std::uint8_t>(c);
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc >> 1) ^ ((crc & 1U) != 0 ? 0xEDB88320U : 0U);
        }
    }
    return ~crc;
}

QByteArray PseudoRandom(int size, quint32 seed) {
    QByteArray data(size, '\0');
    for (int i = 0; i < size; ++i) {
        seed = seed * 1103515245U + 12345U;
        data[i] = static_cast<char>(seed >> 16);
    }
    return data;
}

}  // namespace

class ImageDigestTest : public QObject {
    Q_OBJECT
private slots:
    void crcCheckValue() {
        const QByteArray text("123456789");
        QCOMPARE(UpdateCrc32(0, reinterpret_cast<const std::uint8_t*>(text.data()), 9),
                 std::uint32_t{0xCBF43926});
    }

    void crcInPieces() {
        // Fed in two parts it must give what one pass gives.
        const QByteArray data = PseudoRandom(5000, 7);
        const auto* bytes = reinterpret_cast<const std::uint8_t*>(data.data());
        const std::uint32_t first = UpdateCrc32(0, bytes, 1234);
        QCOMPARE(UpdateCrc32(first, bytes + 1234, 5000 - 1234), ReferenceCrc32(data));
    }

    // The image as sent: the file, then 0x1A and 0xFF to the end of its last block, or no
    // padding at all when the file ends on a block boundary.
    void paddedFile_data() {
        QTest::addColumn<int>("size");
        QTest::addColumn<int>("sentSize");
        QTest::newRow("empty: nothing is sent") << 0 << 0;
        QTest::newRow("one byte") << 1 << 1024;
        QTest::newRow("1023: 0x1A is the last byte") << 1023 << 1024;
        QTest::newRow("1024: no padding") << 1024 << 1024;
        QTest::newRow("1025: a second block of padding") << 1025 << 2048;
        QTest::newRow("larger than one read chunk, odd") << 200001 << 200704;
    }
    void paddedFile() {
        QFETCH(int, size);
        QFETCH(int, sentSize);
        QTemporaryDir dir;
        const QString path = dir.filePath("image.upg");
        const QByteArray data = PseudoRandom(size, static_cast<quint32>(size));
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(data);
        file.close();

        QByteArray sent = data;
        if (sent.size() % 1024 != 0) {
            sent.append('\x1A');
            while (sent.size() % 1024 != 0) {
                sent.append('\xFF');
            }
        }
        QCOMPARE(sent.size(), sentSize);

        const ImageDigest d = DigestImageFile(path.toStdString());
        QVERIFY2(d.ok, d.error.c_str());
        QCOMPARE(d.size, std::int64_t{size});
        QCOMPARE(d.sentSize, std::int64_t{sentSize});
        QCOMPARE(QByteArray::fromStdString(d.sha256),
                 QCryptographicHash::hash(sent, QCryptographicHash::Sha256).toHex());
        QCOMPARE(d.crc32, ReferenceCrc32(sent));
        QCOMPARE(QByteArray::fromStdString(PaddingAfter(size)), sent.mid(size));
    }

    void unreadable_data() {
        QTest::addColumn<QString>("name");
        QTest::newRow("missing") << "no-such.upg";
        QTest::newRow("a directory") << ".";
    }
    void unreadable() {
        QFETCH(QString, name);
        QTemporaryDir dir;
        const ImageDigest d = DigestImageFile(dir.filePath(name).toStdString());
        QVERIFY(!d.ok);
        QVERIFY(!d.error.empty());
    }
};

QTEST_GUILESS_MAIN(ImageDigestTest)
#include "test_image_digest.moc"
