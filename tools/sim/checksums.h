#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace vantrel::sim {

// CRC-16/XMODEM: polynomial 0x1021, initial value 0, no reflection, no final XOR.
std::uint16_t Crc16Xmodem(std::span<const std::uint8_t> data);

// Unsigned 8-bit sum of the bytes, carries dropped (the XModem checksum).
std::uint8_t Sum8(std::span<const std::uint8_t> data);

// CRC-32 as zlib and gzip compute it: reflected polynomial 0xEDB88320, initial value and
// final XOR 0xFFFFFFFF.
std::uint32_t Crc32(std::span<const std::uint8_t> data);

}  // namespace vantrel::sim
