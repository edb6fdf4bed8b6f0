#include "checksums.h"

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
    std::uint32_t crc = 0xFFFFFFFFu;
    for (std::uint8_t byte : data) {
        crc ^= byte;
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 1u) != 0 ? (crc >> 1) ^ 0xEDB88320u : crc >> 1;
        }
    }
    return crc ^ 0xFFFFFFFFu;
}

}  // namespace vantrel::sim
