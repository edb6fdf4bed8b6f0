#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

#include "session/image_file.h"

namespace vantrel::cli {

// Fingerprint of an image as the XModem-1K sender puts it on the line: the file's bytes and,
// when its size is not a multiple of 1024, 0x1A followed by 0xFF up to the end of the block.
struct ImageDigest {
    bool ok = false;
    std::string error;          // why the file could not be read (when !ok)
    std::int64_t size = 0;      // the file's size in bytes
    std::int64_t sentSize = 0;  // the size rounded up to whole 1024-byte blocks
    std::string sha256;         // lower-case hex of the sent bytes
    std::string fileSha256;     // lower-case hex of the file's bytes (what sha256sum prints)
    std::uint32_t crc32 = 0;    // CRC-32 (IEEE 802.3, as zlib) of the sent bytes
    ImageIdentity identity;     // of the file the bytes were read from, unchanged while read
};

// Size of one XModem-1K data block in bytes.
inline constexpr std::int64_t kBlockSize = 1024;

// Reads the file at `path` once, front to back, and fingerprints the padded bytes. The file
// must be the same (ImageIdentity) before and after the read, or it was being written while
// read and the digest describes nothing: "the file changed while it was being read".
ImageDigest DigestImageFile(const std::string& path);

// Incremental CRC-32 (IEEE 802.3, zlib's): start with crc = 0 and feed the bytes in order.
std::uint32_t UpdateCrc32(std::uint32_t crc, const std::uint8_t* data, std::size_t size);

// The padding the sender adds after `size` bytes of file: empty for a multiple of 1024,
// otherwise 0x1A and then 0xFF up to the block's end.
std::string PaddingAfter(std::int64_t size);

}  // namespace vantrel::cli
