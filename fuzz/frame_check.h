#pragma once

// Checks what the program wrote during an XModem-1K transfer against the image it was given:
// every frame well formed, carrying the right block with the right check bytes, blocks in
// order. Written from the protocol, not from the sender's code.

#include <cstdint>
#include <string>
#include <vector>

#include "fuzz_peer.h"

namespace vantrel::fuzz {

inline constexpr std::uint8_t kStx = 0x02;
inline constexpr std::uint8_t kEot = 0x04;
inline constexpr std::uint8_t kAck = 0x06;
inline constexpr std::uint8_t kCan = 0x18;
inline constexpr std::size_t kBlock = 1024;

inline std::uint16_t Crc16Xmodem(const std::uint8_t* data, std::size_t size) {
    std::uint16_t crc = 0;
    for (std::size_t i = 0; i < size; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ (data[i] << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc = static_cast<std::uint16_t>((crc & 0x8000) ? (crc << 1) ^ 0x1021 : crc << 1);
        }
    }
    return crc;
}

// Block `index` (0-based) of `image` as the protocol pads it: 0x1A after the last byte of
// the image, 0xFF after that.
inline std::vector<std::uint8_t> PaddedBlock(const std::vector<std::uint8_t>& image,
                                             std::size_t index) {
    std::vector<std::uint8_t> block(kBlock, 0xFF);
    const std::size_t begin = index * kBlock;
    for (std::size_t i = 0; i < kBlock; ++i) {
        if (begin + i < image.size()) {
            block[i] = image[begin + i];
        } else {
            if (begin + i == image.size()) {
                block[i] = 0x1A;
            }
            break;
        }
    }
    return block;
}

inline std::size_t BlocksOf(std::size_t size) {
    return (size + kBlock - 1) / kBlock;
}

struct FrameSummary {
    std::size_t frames = 0;           // frames written, repeats included
    std::size_t blocksSent = 0;       // distinct blocks sent: the highest block index + 1
    std::size_t firstFrameWrite = 0;  // index of the write that carried the first frame
};

// Checks every write from `firstWrite` on that begins with STX.
inline FrameSummary CheckFrames(const std::vector<std::vector<std::uint8_t>>& writes,
                                const std::vector<std::uint8_t>& image,
                                std::size_t firstWrite = 0) {
    FrameSummary summary;
    std::size_t frameLength = 0;
    std::size_t current = 0;  // index of the block the last frame carried
    for (std::size_t w = firstWrite; w < writes.size(); ++w) {
        const auto& write = writes[w];
        if (write.size() < 3 || write[0] != kStx) {
            continue;
        }
        Require(write.size() == 1029 || write.size() == 1028, "frame of a wrong length");
        if (frameLength == 0) {
            frameLength = write.size();
            summary.firstFrameWrite = w;
        }
        Require(write.size() == frameLength, "check mode changed during the transfer");
        Require(static_cast<std::uint8_t>(write[1] + write[2]) == 0xFF,
                "block number and complement do not fit");
        std::size_t index;
        if (summary.frames == 0) {
            index = 0;
        } else if (write[1] == static_cast<std::uint8_t>(current + 1)) {
            index = current;  // a repeat
        } else {
            index = current + 1;
        }
        Require(write[1] == static_cast<std::uint8_t>(index + 1), "blocks out of order");
        Require(index < BlocksOf(image.size()), "a block past the end of the image");
        const std::vector<std::uint8_t> block = PaddedBlock(image, index);
        Require(std::equal(block.begin(), block.end(), write.begin() + 3),
                "frame data differ from the image");
        if (frameLength == 1029) {
            const std::uint16_t crc = Crc16Xmodem(block.data(), block.size());
            Require(write[1027] == (crc >> 8) && write[1028] == (crc & 0xFF), "wrong CRC");
        } else {
            std::uint8_t sum = 0;
            for (std::uint8_t b : block) {
                sum = static_cast<std::uint8_t>(sum + b);
            }
            Require(write[1027] == sum, "wrong checksum");
        }
        current = index;
        ++summary.frames;
        summary.blocksSent = index + 1;
    }
    return summary;
}

inline bool IsByte(const std::vector<std::uint8_t>& write, std::uint8_t byte) {
    return write.size() == 1 && write[0] == byte;
}

// True when the last `count` writes are each the single byte `byte`.
inline bool EndsWith(const std::vector<std::vector<std::uint8_t>>& writes, std::uint8_t byte,
                     std::size_t count) {
    if (writes.size() < count) {
        return false;
    }
    for (std::size_t i = writes.size() - count; i < writes.size(); ++i) {
        if (!IsByte(writes[i], byte)) {
            return false;
        }
    }
    return true;
}

// A pseudo-random image of `size` bytes from `seed`.
inline std::vector<std::uint8_t> MakeImage(std::size_t size, std::uint32_t seed) {
    std::vector<std::uint8_t> image(size);
    std::uint32_t x = seed * 2654435761u + 1;
    for (auto& b : image) {
        x = x * 1103515245u + 12345u;
        b = static_cast<std::uint8_t>(x >> 16);
    }
    return image;
}

}  // namespace vantrel::fuzz
