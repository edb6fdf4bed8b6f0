#pragma once

#include <cstddef>
#include <cstdint>
#include <random>
#include <string>

#include "relay_options.h"

namespace vantrel::relay {

// What happened to the bytes of one direction.
struct FaultCounts {
    std::uint64_t in = 0;   // bytes taken from the sending side
    std::uint64_t out = 0;  // bytes handed on (before any cut)
    std::uint64_t dropped = 0;
    std::uint64_t flipped = 0;
    std::uint64_t duplicated = 0;
    std::uint64_t inserted = 0;
};

// The faults of one direction. Decisions come from a generator of its own, seeded from the
// run's seed and the direction, and are drawn byte after byte: the same seed and the same
// bytes give the same damage, however the bytes were split into reads.
class FaultInjector {
public:
    FaultInjector(const FaultRates& rates, std::uint64_t seed, Direction direction);

    // Appends what the line makes of `byte` to `out`.
    void Pass(std::uint8_t byte, std::string& out);

    const FaultCounts& Counts() const { return m_counts; }

private:
    bool Chance(double rate);

    FaultRates m_rates;
    std::mt19937_64 m_random;
    FaultCounts m_counts;
};

}  // namespace vantrel::relay
