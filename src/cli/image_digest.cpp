#include "image_digest.h"

#include <QCryptographicHash>
#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <vector>

#include <zlib.h>

#include "session/image_file.h"

namespace vantrel::cli {

namespace {

constexpr char kEndOfData = 0x1A;
constexpr char kFill = static_cast<char>(0xFF);
// Bytes read per pass: enough to keep the read calls few, small enough for any machine.
constexpr std::size_t kReadChunk = 64 * 1024;

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
    ImageFile image = OpenImageFile(path);
    if (!image.file) {
        digest.error = image.error;
        return digest;
    }
    QCryptographicHash sha(QCryptographicHash::Sha256);
    QCryptographicHash fileSha(QCryptographicHash::Sha256);  // without the padding
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
        fileSha.addData(QByteArrayView(chunk.data(), static_cast<qsizetype>(got)));
        size += static_cast<std::int64_t>(got);
        if (got < chunk.size()) {
            break;
        }
    }
    // Read through the one descriptor: it must still be the file whose identity was taken, at
    // the path that will be opened for the transfer.
    std::string why;
    const auto after = IdentityOfDescriptor(::fileno(image.file.get()));
    const auto named = IdentityOfPath(path, why);
    if (!(after == image.identity) || !(named == image.identity) || size != image.size) {
        digest.error = "the file changed while it was being read";
        return digest;
    }
    const std::string padding = PaddingAfter(size);
    feed(padding.data(), padding.size());
    digest.ok = true;
    digest.size = size;
    digest.sentSize = size + static_cast<std::int64_t>(padding.size());
    digest.sha256 = sha.result().toHex().toStdString();
    digest.fileSha256 = fileSha.result().toHex().toStdString();
    digest.crc32 = crc;
    digest.identity = image.identity;
    return digest;
}

}  // namespace vantrel::cli
