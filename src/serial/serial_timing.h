#pragma once

#include <cstdint>

namespace vantrel::serial_timing {

// Quiet period that Drain waits for: one ReadByte of this many milliseconds (times the
// model's factor) that receives nothing ends the drain.
inline constexpr std::uint32_t kDrainQuietMs = 1000;

// Overall bound on one Drain, before the model's factor. A peer that never stays quiet
// for a whole quiet period (a babbling line, a receiver repeating its start signal faster
// than the quiet period) must not hold the program forever: ten quiet periods is long
// enough for any boot loader to finish what it was saying.
inline constexpr std::uint32_t kDrainLimitMs = 10000;

// Time-outs of ReadByte and ReadLine are multiplied by this on the slow variant (model 2).
inline constexpr std::uint32_t kSlowModelFactor = 4;

// Longest time one write may take to be handed to the system. The largest write is a
// 1029-byte XModem-1K frame, 268 ms on the wire at 38400 baud even behind a full 4 KiB
// system buffer (another 1.1 s); a port that takes longer than this has stopped sending
// and is counted as failed.
inline constexpr std::uint32_t kWriteLimitMs = 5000;

}  // namespace vantrel::serial_timing
