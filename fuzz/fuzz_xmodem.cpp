// The XModem-1K sender against an arbitrary receiver on an arbitrary line, with an image that
// may fail to read part-way: it ends within the protocol's bounds, every frame carries the
// image as the protocol pads it, success is claimed only for a whole, well-read image, and
// every failure leaves the receiver told (ACK to its cancel, CAN when giving up).

#include "frame_check.h"
#include "fuzz_peer.h"
#include "recording_display.h"
#include "session/results.h"
#include "session/xmodem.h"

using namespace vantrel;
using namespace vantrel::fuzz;

namespace {

// An image in memory whose reads fail from `failAt` on (never when failAt is past the end).
class MemoryImage final : public ImageReader {
public:
    MemoryImage(const std::vector<std::uint8_t>& bytes, std::size_t failAt)
        : m_bytes(bytes), m_failAt(failAt) {}
    std::size_t Read(std::uint8_t* buffer, std::size_t size) override {
        std::size_t n = 0;
        while (n < size && m_pos < m_bytes.size()) {
            if (m_pos >= m_failAt) {
                m_failed = true;
                break;
            }
            buffer[n++] = m_bytes[m_pos++];
        }
        return n;
    }
    bool Failed() const override { return m_failed; }
    std::string ErrorText() const override { return m_failed ? "Input/output error" : ""; }

private:
    const std::vector<std::uint8_t>& m_bytes;
    std::size_t m_failAt;
    std::size_t m_pos = 0;
    bool m_failed = false;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Script script(data, size);
    const std::size_t imageSize = script.Word() % (5 * kBlock + 7);
    const std::uint8_t flags = script.Byte();
    const std::size_t failAt = (flags & 0x02) ? script.Word() % (imageSize + 1) : SIZE_MAX;
    const std::vector<std::uint8_t> image = MakeImage(imageSize, flags);

    test::SimClock clock;
    test::FakePort port(clock);
    test::RecordingDisplay display;
    SerialChannel channel(port, clock);
    if (!channel.OpenPort("/dev/fuzz")) {
        return 0;
    }
    channel.SetTimeoutFactor((flags & 0x01) ? serial_timing::kSlowModelFactor : 1);
    port.ClearWrites();
    ScriptedPeer peer(port, script);
    peer.Begin(1 + (flags >> 4) % 3);

    XModemSender sender(channel, display);
    MemoryImage reader(image, failAt);
    const std::uint64_t start = clock.NowMs();
    const std::int32_t result = sender.SendFile(reader, static_cast<std::int64_t>(imageSize));
    const std::uint64_t f = channel.TimeoutFactor();
    const std::size_t blocks = BlocksOf(imageSize);

    Require(clock.NowMs() - start <= bounds::SendFile(blocks, f), "SendFile overran its bound");
    Trace("size " + std::to_string(imageSize) + " result " + std::to_string(result) + " after " +
          std::to_string(clock.NowMs() - start) + " ms");
    const auto& writes = port.Writes();
    const FrameSummary frames = CheckFrames(writes, image);
    if (result >= 0) {
        Require(static_cast<std::size_t>(result) == blocks * kBlock, "wrong byte count on success");
        Require(!reader.Failed(), "success claimed for an image that failed to read");
        Require(frames.blocksSent == blocks, "success claimed without every block sent");
        Require(!writes.empty() && IsByte(writes.back(), kEot), "success without a final EOT");
        return 0;
    }
    // A pulled cable takes every later write with it: nothing can tell the receiver then.
    if (port.HasFailed()) {
        return 0;
    }
    switch (result) {
        case result::kReceiverCancelled:
            Require(!writes.empty() && IsByte(writes.back(), kAck), "a cancel not acknowledged");
            break;
        case result::kNoStartSignal:
            Require(frames.frames == 0, "blocks sent without a start signal");
            Require(EndsWith(writes, kCan, 3), "gave up without three CAN");
            break;
        case result::kBlockNotAcknowledged:
            Require(EndsWith(writes, kCan, 3), "gave up without three CAN");
            break;
        case result::kEndNotAcknowledged:
            Require(!writes.empty() && IsByte(writes.back(), kEot), "EOT not the last word");
            Require(frames.blocksSent == blocks, "closing before every block was sent");
            break;
        case result::kImageReadError:
            Require(failAt <= imageSize && failAt < SIZE_MAX, "read error from a good image");
            Require(EndsWith(writes, kCan, 3), "read error without three CAN");
            break;
        default:
            Require(false, "unknown result " + std::to_string(result));
    }
    return 0;
}
