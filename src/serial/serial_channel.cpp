#include "serial_channel.h"

#include <algorithm>

#include "serial_timing.h"

namespace vantrel {

namespace {
constexpr std::uint8_t kCr = 0x0D;
constexpr std::uint8_t kLf = 0x0A;
constexpr std::uint8_t kNul = 0x00;
}  // namespace

SerialChannel::SerialChannel(Port& port, Clock& clock, const StopSignal* stop)
    : m_port(port), m_clock(clock), m_stop(stop) {}

SerialChannel SerialChannel::WithoutStop() const {
    SerialChannel channel(m_port, m_clock);
    channel.SetTimeoutFactor(m_factor);
    return channel;
}

bool SerialChannel::OpenPort(const std::string& device) {
    if (m_port.IsOpen()) {
        m_port.Close();
    }
    if (!m_port.Open(device)) {
        return false;
    }
    ClearInput();
    m_port.SetReceiveNotification(true);
    SendText("\r");
    return true;
}

bool SerialChannel::IsOpen() const {
    return m_port.IsOpen();
}

bool SerialChannel::SendText(std::string_view text) {
    return SendBytes(reinterpret_cast<const std::uint8_t*>(text.data()), text.size());
}

bool SerialChannel::SendBytes(const std::uint8_t* data, std::size_t size) {
    if (Stopped()) {
        return false;
    }
    // A failed write marks the port failed; the next wait then ends at once, which is where
    // callers that do not look at the result notice.
    return m_port.Write(data, size);
}

void SerialChannel::ClearInput() {
    m_port.DiscardInput();
}

std::uint64_t SerialChannel::Scaled(std::uint32_t ms) const {
    return static_cast<std::uint64_t>(ms) * m_factor;
}

bool SerialChannel::AwaitByte(std::uint64_t startMs, std::uint64_t limitMs) {
    for (;;) {
        const std::uint64_t elapsed = m_clock.NowMs() - startMs;
        // A closed port would return from WaitForInput at once and turn the wait into a
        // spin; it ends the wait like a failed one.
        if (elapsed > limitMs || !m_port.IsOpen() || m_port.HasFailed() || Stopped()) {
            return false;
        }
        if (m_port.Waiting() > 0) {
            return true;
        }
        // Sleep in the port until input arrives, the stop is raised or the deadline is just
        // passed.
        m_port.WaitForInput(limitMs - elapsed + 1, m_stop);
    }
}

ByteRead SerialChannel::ReadByte(std::uint32_t ms) {
    const std::uint64_t start = m_clock.NowMs();
    const std::uint64_t limit = Scaled(ms);
    while (AwaitByte(start, limit)) {
        if (const auto byte = m_port.Take()) {
            return ByteRead{0, *byte};
        }
    }
    return ByteRead{1, 0};
}

std::uint8_t SerialChannel::ReadLine(std::uint32_t ms) {
    m_receivedLine.clear();
    const std::uint64_t start = m_clock.NowMs();
    const std::uint64_t limit = Scaled(ms);
    while (AwaitByte(start, limit)) {
        const auto byte = m_port.Take();
        if (!byte) {
            continue;
        }
        if (*byte == kCr || *byte == kLf) {
            if (!m_receivedLine.empty()) {
                return 0;
            }
        } else if (*byte != kNul) {
            m_receivedLine.push_back(static_cast<char>(*byte));
        }
    }
    return m_receivedLine.empty() ? 1 : 0;
}

void SerialChannel::Drain() {
    Drain(Scaled(serial_timing::kDrainLimitMs));
}

void SerialChannel::Drain(std::uint64_t limit) {
    m_port.NoteDrain(true);
    DrainInput(limit);
    m_port.NoteDrain(false);
}

void SerialChannel::DrainInput(std::uint64_t limit) {
    ClearInput();
    const std::uint64_t start = m_clock.NowMs();
    const std::uint64_t quiet = Scaled(serial_timing::kDrainQuietMs);
    for (;;) {
        const std::uint64_t now = m_clock.NowMs();
        const std::uint64_t elapsed = now - start;
        if (elapsed >= limit) {
            return;
        }
        // The last quiet period is cut short so that the overall bound holds exactly.
        if (!AwaitByte(now, std::min(quiet, limit - elapsed))) {
            return;
        }
        m_port.Take();
    }
}

void SerialChannel::Delay(std::uint32_t ms) {
    const std::uint64_t start = m_clock.NowMs();
    for (;;) {
        const std::uint64_t elapsed = m_clock.NowMs() - start;
        if (elapsed > ms) {
            return;
        }
        m_clock.SleepMs(ms - elapsed + 1);
    }
}

std::optional<std::uint8_t> SerialChannel::TakeInput() {
    if (m_port.Waiting() == 0) {
        return std::nullopt;
    }
    return m_port.Take();
}

bool SerialChannel::PortFailed() const {
    return m_port.HasFailed();
}

std::string SerialChannel::LastError() const {
    return m_port.ErrorText();
}

}  // namespace vantrel
