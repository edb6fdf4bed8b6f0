#pragma once

#include <cstdint>

#include "serial/clock.h"

namespace vantrel::test {

// A clock that moves only when told: waits in tests cost no real time.
class SimClock final : public Clock {
public:
    std::uint64_t NowMs() override { return m_now; }
    // Delay sleeps through here; the simulated time simply moves on.
    void SleepMs(std::uint64_t ms) override {
        m_now += ms;
        m_slept += ms;
    }

    void Set(std::uint64_t ms) {
        if (ms > m_now) {
            m_now = ms;
        }
    }
    std::uint64_t SleptMs() const { return m_slept; }

private:
    std::uint64_t m_now = 1'000'000;  // not 0, so that "since start" arithmetic is exercised
    std::uint64_t m_slept = 0;
};

}  // namespace vantrel::test
