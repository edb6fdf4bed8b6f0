#include "checksums.h"

#include <zlib.h>

#include <algorithm>

namespace vantrel::sim {

std::uint16_t Crc16Xmodem(std::span<const std::uint8_t> data) {
    std::uint16_t crc = 0;
    for (std::uint8_t byte : data) {
        crc = static_cast<std::uint16_t>(crc ^ (byte << 8));
        for (int bit = 0; bit < 8; ++bit) {
            const bool top = (crc & 0x8000u) != 0;
            crc = static_cast<std::uint16_t>(crc << 1);
            if (top) {
                crc = static_cast<std::uint16_t>(crc ^ 0x1021u);
            }
        }
    }
    return crc;
}

std::uint8_t Sum8(std::span<const std::uint8_t> data) {
    unsigned sum = 0;
    for (std::uint8_t byte : data) {
        sum += byte;
    }
    return static_cast<std::uint8_t>(sum & 0xFFu);
}

std::uint32_t Crc32(std::span<const std::uint8_t> data) {
    // zlib's, as every tool that checks an image file computes it.
    uLong crc = ::crc32(0, Z_NULL, 0);
    for (std::size_t done = 0; done < data.size();) {
        const uInt chunk = static_cast<uInt>(std::min<std::size_t>(data.size() - done, 1u << 30));
        crc = ::crc32(crc, data.data() + done, chunk);
        done += chunk;
    }
    return static_cast<std::uint32_t>(crc);
}

}  // namespace vantrel::sim
