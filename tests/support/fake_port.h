#pragma once

#include <algorithm>
#include <cstdint>
#include <deque>
#include <functional>
#include <limits>
#include <set>
#include <string>
#include <string_view>
#include <vector>

#include "serial/port.h"
#include "sim_clock.h"

namespace vantrel::test {

// A serial port on a simulated clock. The peer side schedules bytes to arrive at given
// times and can answer each write through a responder; WaitForInput moves the clock to the
// next arrival (or the deadline), so a 96-second handshake costs no real time.
class FakePort final : public Port {
public:
    using Bytes = std::vector<std::uint8_t>;
    // Called after every write with the bytes written; may schedule answers.
    using Responder = std::function<void(FakePort&, const Bytes&)>;

    explicit FakePort(SimClock& clock) : m_clock(clock) {}

    // `bytes` arrive back to back, `afterMs` from now.
    void Arrive(const Bytes& bytes, std::uint64_t afterMs = 0) {
        ArriveAt(bytes, m_clock.NowMs() + afterMs);
    }
    void Arrive(std::string_view text, std::uint64_t afterMs = 0) {
        Arrive(Bytes(text.begin(), text.end()), afterMs);
    }
    void ArriveAt(const Bytes& bytes, std::uint64_t atMs) {
        // Keep the queue ordered by arrival; bytes of equal time stay in order.
        auto it = std::find_if(m_incoming.begin(), m_incoming.end(),
                               [atMs](const Pending& p) { return p.at > atMs; });
        for (std::uint8_t b : bytes) {
            it = m_incoming.insert(it, Pending{atMs, b});
            ++it;
        }
    }
    void SetResponder(Responder responder) { m_responder = std::move(responder); }
    // The device goes away `afterMs` from now (USB adapter pulled): reads and writes fail.
    void FailIn(std::uint64_t afterMs, std::string error = "Input/output error") {
        m_failAt = m_clock.NowMs() + afterMs;
        m_failError = std::move(error);
    }
    // `stop` is raised `afterMs` from now (Ctrl-C, SIGTERM), waking the wait that is running
    // then, as the real port's poll() would.
    void StopIn(StopSignal& stop, std::uint64_t afterMs) {
        m_stop = &stop;
        m_stopAt = m_clock.NowMs() + afterMs;
    }
    // Open() of this device fails with `error`.
    void Refuse(const std::string& device, std::string error) {
        m_refused.insert(device);
        m_refuseError = std::move(error);
    }

    const std::vector<Bytes>& Writes() const { return m_writes; }
    std::string WrittenText() const {
        std::string all;
        for (const auto& w : m_writes) {
            all.append(w.begin(), w.end());
        }
        return all;
    }
    void ClearWrites() { m_writes.clear(); }
    int OpenCount() const { return m_opens; }
    const std::string& Device() const { return m_device; }
    std::size_t PendingCount() const { return m_incoming.size(); }
    // Calls of WaitForInput: a wait that spins shows up here as a huge number.
    std::uint64_t WaitCalls() const { return m_waitCalls; }

    bool Open(const std::string& device) override {
        ++m_opens;
        if (m_refused.count(device) != 0) {
            m_open = false;
            m_error = m_refuseError;
            return false;
        }
        m_open = true;
        m_device = device;
        m_failAt = kNever;
        m_error.clear();
        return true;
    }
    void Close() override { m_open = false; }
    bool IsOpen() const override { return m_open; }

    std::size_t Waiting() override {
        if (!m_open || HasFailed()) {
            return 0;
        }
        const std::uint64_t now = m_clock.NowMs();
        return static_cast<std::size_t>(std::count_if(
            m_incoming.begin(), m_incoming.end(), [now](const Pending& p) { return p.at <= now; }));
    }
    std::optional<std::uint8_t> Take() override {
        if (Waiting() == 0) {
            return std::nullopt;
        }
        const std::uint8_t b = m_incoming.front().byte;
        m_incoming.pop_front();
        return b;
    }
    void DiscardInput() override {
        while (!m_incoming.empty() && m_incoming.front().at <= m_clock.NowMs()) {
            m_incoming.pop_front();
        }
    }
    bool Write(const std::uint8_t* data, std::size_t size) override {
        if (!m_open || HasFailed()) {
            return false;
        }
        Bytes written(data, data + size);
        m_writes.push_back(written);
        if (m_responder) {
            m_responder(*this, written);
        }
        return true;
    }
    bool WaitForInput(std::uint64_t ms, const StopSignal* stop) override {
        ++m_waitCalls;
        if (Waiting() > 0) {
            return true;
        }
        if (!m_open || HasFailed() || (stop != nullptr && stop->Raised())) {
            return false;
        }
        const std::uint64_t deadline = m_clock.NowMs() + ms;
        if (m_stop != nullptr && m_stopAt <= deadline &&
            (m_incoming.empty() || m_stopAt < m_incoming.front().at) && m_stopAt < m_failAt) {
            m_clock.Set(m_stopAt);
            m_stop->Raise();
            m_stop = nullptr;
            return false;
        }
        const std::uint64_t next =
            m_incoming.empty() ? m_failAt : std::min(m_failAt, m_incoming.front().at);
        if (next <= deadline) {
            m_clock.Set(next);
            return Waiting() > 0;
        }
        m_clock.Set(deadline);
        return false;
    }
    void SetReceiveNotification(bool armed) override { m_armed = armed; }
    bool ReceiveNotificationArmed() const override { return m_armed; }
    bool HasFailed() const override { return m_open && m_clock.NowMs() >= m_failAt; }
    std::string ErrorText() const override { return HasFailed() ? m_failError : m_error; }

private:
    static constexpr std::uint64_t kNever = std::numeric_limits<std::uint64_t>::max();
    struct Pending {
        std::uint64_t at;
        std::uint8_t byte;
    };

    SimClock& m_clock;
    std::deque<Pending> m_incoming;
    std::vector<Bytes> m_writes;
    Responder m_responder;
    std::set<std::string> m_refused;
    std::string m_refuseError;
    std::string m_device;
    std::string m_error;
    std::string m_failError;
    std::uint64_t m_failAt = kNever;
    StopSignal* m_stop = nullptr;
    std::uint64_t m_stopAt = kNever;
    std::uint64_t m_waitCalls = 0;
    int m_opens = 0;
    bool m_open = false;
    bool m_armed = false;
};

}  // namespace vantrel::test
