#pragma once

#include <atomic>

namespace vantrel {

// A request to stop, raised once and for good, that every wait of the serial layer sees at
// once: a wait blocked in poll() is woken through the signal's eventfd, which sits in the same
// poll() as the port, rather than found by sleeping in slices.
//
// Thread contract: Raise() may be called from any thread and from a signal handler (it stores
// an atomic flag and writes eight bytes to the eventfd, both async-signal-safe); Raised() and
// Fd() from any thread. The object must outlive every wait that was given it.
class StopSignal {
public:
    StopSignal();
    ~StopSignal();
    StopSignal(const StopSignal&) = delete;
    StopSignal& operator=(const StopSignal&) = delete;

    // False when no eventfd could be made (the process is out of descriptors): a blocked wait
    // would then not be woken, so a front end refuses to start.
    bool Valid() const noexcept { return m_fd >= 0; }

    void Raise() noexcept;
    bool Raised() const noexcept { return m_raised.load(std::memory_order_acquire); }

    // Polls readable (POLLIN) from the moment the signal is raised; it is never read, so it
    // stays readable.
    int Fd() const noexcept { return m_fd; }

private:
    std::atomic<bool> m_raised{false};
    int m_fd = -1;
};

}  // namespace vantrel
