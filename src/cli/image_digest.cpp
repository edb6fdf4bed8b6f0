#include "image_digest.h"

#include <QCryptographicHash>
#include <array>
#include <cerrno>
#include <cstring>
#include <vector>

#include "session/image_file.h"

namespace vantrel::cli {

namespace {

constexpr std::uint32_t kCrc32Polynomial = 0xEDB88320;  // 0x04C11DB7 reflected
constexpr char kEndOfData = 0x1A;
constexpr char kFill = static_cast<char>(0xFF);
// Bytes read per pass: enough to keep the read calls few, small enough for any machine.
constexpr std::size_t kReadChunk = 64 * 1024;

const std::array<std::uint32_t, 256>& Crc32Table() {
    static const std::array<std::uint32_t, 256> table = [] {
        std::array<std::uint32_t, 256> t{};
        for (std::uint32_t i = 0; i < 256; ++i) {
            std::uint32_t c = i;
            for (int bit = 0; bit < 8; ++bit) {
                c = (c & 1U) != 0 ? (c >> 1) ^ kCrc32Polynomial : c >> 1;
            }
            t[i] = c;
        }
        return t;
    }();
    return table;
}

}  // namespace

std::uint32_t UpdateCrc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size) {
    const auto& table = Crc32Table();
    crc = ~crc;
    for (std::size_t i = 0; i < size; ++i) {
        crc = table[(crc ^ data[i]) & 0xFFU] ^ (crc >> 8);
    }
    return ~crc;
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
    ImageFile image = OpenImageFile(path);
    if (!image.file) {
        digest.error = image.error;
        return digest;
    }
    QCryptographicHash sha(QCryptographicHash::Sha256);
    std::uint32_t crc = 0;
    auto feed = [&](const char* data, std::size_t size) {
        sha.addData(QByteArrayView(data, static_cast<qsizetype>(size)));
        crc = UpdateCrc32(crc, reinterpret_cast<const std::uint8_t*>(data), size);
    };
    std::vector<char> chunk(kReadChunk);
    std::int64_t size = 0;
    for (;;) {
        errno = 0;
        const std::size_t got = std::fread(chunk.data(), 1, chunk.size(), image.file.get());
        if (std::ferror(image.file.get()) != 0) {
            digest.error = std::strerror(errno != 0 ? errno : EIO);
            return digest;
        }
        feed(chunk.data(), got);
        size += static_cast<std::int64_t>(got);
        if (got < chunk.size()) {
            break;
        }
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
