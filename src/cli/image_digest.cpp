#include "image_digest.h"

#include <QCryptographicHash>
#include <QFile>
#include <algorithm>
#include <limits>

#include <zlib.h>

namespace vantrel::cli {

namespace {

constexpr char kEndOfData = 0x1A;
constexpr char kFill = static_cast<char>(0xFF);
// Bytes read per pass: enough to keep the read calls few, small enough for any machine.
constexpr qint64 kReadChunk = 64 * 1024;

}  // namespace

std::uint32_t UpdateCrc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
    // zlib takes at most a uInt at a time.
    constexpr std::size_t kMostAtOnce = std::numeric_limits<uInt>::max();
    for (std::size_t done = 0; done < size; done += kMostAtOnce) {
        crc = static_cast<std::uint32_t>(
            ::crc32(crc, data + done, static_cast<uInt>(std::min(size - done, kMostAtOnce))));
    }
    return crc;
}

std::string PaddingAfter(std::int64_t size) {
    const std::int64_t partial = size % kBlockSize;
    if (partial == 0) {
        return {};
    }
    std::string padding(static_cast<std::size_t>(kBlockSize - partial), kFill);
    padding[0] = kEndOfData;
    return padding;
}

ImageDigest DigestImageFile(const std::string& path) {
    ImageDigest digest;
    QFile file(QString::fromStdString(path));
    if (!file.open(QIODevice::ReadOnly)) {
        digest.error = file.errorString().toStdString();
        return digest;
    }
    QCryptographicHash sha(QCryptographicHash::Sha256);
    std::uint32_t crc = 0;
    auto feed = [&](const char* data, std::size_t size) {
        sha.addData(QByteArrayView(data, static_cast<qsizetype>(size)));
        crc = UpdateCrc32(crc, reinterpret_cast<const std::uint8_t*>(data), size);
    };
    std::int64_t size = 0;
    for (;;) {
        const QByteArray chunk = file.read(kReadChunk);
        if (chunk.isEmpty()) {
            break;
        }
        feed(chunk.constData(), static_cast<std::size_t>(chunk.size()));
        size += chunk.size();
    }
    if (file.error() != QFileDevice::NoError) {
        digest.error = file.errorString().toStdString();
        return digest;
    }
    const std::string padding = PaddingAfter(size);
    feed(padding.data(), padding.size());
    digest.ok = true;
    digest.size = size;
    digest.sentSize = size + static_cast<std::int64_t>(padding.size());
    digest.sha256 = sha.result().toHex().toStdString();
    digest.crc32 = crc;
    return digest;
}

}  // namespace vantrel::cli
