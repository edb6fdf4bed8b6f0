// The serial channel's reads, drain and delay under arbitrary arrivals: each call ends within
// its time-out, a line holds exactly the text bytes taken for it, nothing is made up.

#include <string>
#include <vector>

#include "fuzz_peer.h"
#include "serial/serial_channel.h"

using namespace vantrel;
using namespace vantrel::fuzz;

namespace {

// Forwards to the fake port and keeps every byte the channel takes.
class TapPort final : public Port {
public:
    explicit TapPort(Port& inner) : m_inner(inner) {}
    std::vector<std::uint8_t> taken;

    bool Open(const std::string& device) override { return m_inner.Open(device); }
    void Close() override { m_inner.Close(); }
    bool IsOpen() const override { return m_inner.IsOpen(); }
    std::size_t Waiting() override { return m_inner.Waiting(); }
    std::optional<std::uint8_t> Take() override {
        const auto byte = m_inner.Take();
        if (byte) {
            taken.push_back(*byte);
        }
        return byte;
    }
    void DiscardInput() override { m_inner.DiscardInput(); }
    bool Write(const std::uint8_t* data, std::size_t size) override {
        return m_inner.Write(data, size);
    }
    bool WaitForInput(std::uint64_t ms, const StopSignal* stop) override {
        return m_inner.WaitForInput(ms, stop);
    }
    void SetReceiveNotification(bool armed) override { m_inner.SetReceiveNotification(armed); }
    bool ReceiveNotificationArmed() const override { return m_inner.ReceiveNotificationArmed(); }
    bool HasFailed() const override { return m_inner.HasFailed(); }
    std::string ErrorText() const override { return m_inner.ErrorText(); }

private:
    Port& m_inner;
};

bool IsLineEnd(std::uint8_t b) {
    return b == '\r' || b == '\n';
}

void CheckReadLine(SerialChannel& channel, TapPort& tap, test::SimClock& clock, std::uint32_t ms) {
    const std::uint64_t f = channel.TimeoutFactor();
    const bool failedBefore = tap.HasFailed();
    tap.taken.clear();
    const std::uint64_t start = clock.NowMs();
    const std::uint8_t result = channel.ReadLine(ms);
    const std::uint64_t elapsed = clock.NowMs() - start;
    const std::string& line = channel.ReceivedLine();

    Require(elapsed <= bounds::Read(ms, f), "ReadLine overran its time-out");
    Require(!failedBefore || elapsed == 0, "ReadLine on a failed port waited");
    Require((result == 0) == !line.empty(), "ReadLine result does not match its line");
    std::string expected;
    for (std::uint8_t b : tap.taken) {
        if (!IsLineEnd(b) && b != 0) {
            expected.push_back(static_cast<char>(b));
        }
    }
    Require(line == expected, "ReadLine line differs from the text bytes taken");
    const bool early = elapsed <= std::uint64_t{ms} * f;
    if (early && !tap.HasFailed()) {
        Require(!tap.taken.empty() && IsLineEnd(tap.taken.back()) && !line.empty(),
                "ReadLine returned before its deadline without a line end");
    }
}

void CheckReadByte(SerialChannel& channel, TapPort& tap, test::SimClock& clock, std::uint32_t ms) {
    const std::uint64_t f = channel.TimeoutFactor();
    tap.taken.clear();
    const std::uint64_t start = clock.NowMs();
    const ByteRead read = channel.ReadByte(ms);
    Require(clock.NowMs() - start <= bounds::Read(ms, f), "ReadByte overran its time-out");
    if (read.TimedOut()) {
        Require(tap.taken.empty() && read.byte == 0, "ReadByte timed out but took a byte");
    } else {
        Require(tap.taken.size() == 1 && tap.taken[0] == read.byte,
                "ReadByte returned a byte other than the one it took");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    test::SimClock clock;
    test::FakePort fake(clock);
    TapPort tap(fake);
    SerialChannel channel(tap, clock);
    Script script(data, size);
    if (!channel.OpenPort("/dev/fuzz")) {
        return 0;
    }
    // The program's own carriage return on opening is not answered from the script.
    ScriptedPeer peer(fake, script);

    constexpr int kMaxCalls = 64;
    for (int call = 0; call < kMaxCalls && !script.Done(); ++call) {
        const std::uint8_t op = script.Byte();
        switch (op % 8) {
            case 0:
                CheckReadLine(channel, tap, clock, script.Word() % 10000u);
                break;
            case 1:
                CheckReadByte(channel, tap, clock, script.Word() % 10000u);
                break;
            case 2: {
                const std::uint64_t start = clock.NowMs();
                channel.Drain();
                Require(clock.NowMs() - start <= bounds::Drain(channel.TimeoutFactor()),
                        "Drain overran its overall bound");
                break;
            }
            case 3: {
                tap.taken.clear();
                const std::uint64_t start = clock.NowMs();
                const auto byte = channel.TakeInput();
                Require(clock.NowMs() == start, "TakeInput waited");
                Require(byte ? tap.taken.size() == 1 && tap.taken[0] == *byte : tap.taken.empty(),
                        "TakeInput returned a byte other than the one it took");
                break;
            }
            case 4:
                channel.ClearInput();
                break;
            case 5: {
                const std::uint32_t ms = script.Byte();
                const std::uint64_t start = clock.NowMs();
                channel.Delay(ms);
                const std::uint64_t elapsed = clock.NowMs() - start;
                Require(elapsed > ms && elapsed <= ms + bounds::kSlack,
                        "Delay did not wait just over its time");
                break;
            }
            case 6:
                channel.SetTimeoutFactor(op & 0x08 ? serial_timing::kSlowModelFactor : 1);
                break;
            default:
                peer.Begin(1);
                break;
        }
    }
    return 0;
}
