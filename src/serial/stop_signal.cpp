#include "stop_signal.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace vantrel {

StopSignal::StopSignal() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

StopSignal::~StopSignal() {
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

void StopSignal::Raise() noexcept {
    m_raised.store(true, std::memory_order_release);
    if (m_fd >= 0) {
        const std::uint64_t one = 1;
        // Non-blocking: a counter already near its limit (never, in practice) must not hold a
        // signal handler. Readable once written is all the waits need.
        [[maybe_unused]] const ssize_t written = ::write(m_fd, &one, sizeof one);
    }
}

}  // namespace vantrel
