#pragma once

#include <cstdint>
#include <string>

namespace vantrel {

// The time base of every wait in the serial channel and the session.
//
// Milliseconds on a monotonic 64-bit counter: it never goes backwards and does not wrap in
// any realistic uptime, so a wait ends only when more than its limit has really passed.
class Clock {
public:
    virtual ~Clock() = default;

    // Milliseconds since an arbitrary fixed point.
    virtual std::uint64_t NowMs() = 0;

    // Microseconds on the same counter, for the wire trace's times. A clock that counts only
    // milliseconds gives whole milliseconds.
    virtual std::uint64_t NowUs() { return NowMs() * 1000; }

    // Blocks the calling thread for `ms` milliseconds without using the processor.
    virtual void SleepMs(std::uint64_t ms) = 0;
};

// The real clock: std::chrono::steady_clock.
class SteadyClock final : public Clock {
public:
    std::uint64_t NowMs() override;
    std::uint64_t NowUs() override;
    void SleepMs(std::uint64_t ms) override;
};

// The wall-clock time now, as ISO 8601 UTC with milliseconds (2026-03-01T09:15:02.120Z): for
// records, event lines and traces that people and other programs read, never to measure time.
std::string UtcNowIso();

}  // namespace vantrel
