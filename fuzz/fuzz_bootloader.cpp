// Every boot-loader operation against an arbitrary boot loader on an arbitrary line, on each
// model: each ends within the bound its waits allow, returns one of its documented results,
// and a download counts as done only when the dialogue asked for it and every block of the
// image went out in well-formed frames.

#include <algorithm>
#include <cstdio>

#include "frame_check.h"
#include "fuzz_peer.h"
#include "recording_display.h"
#include "session/bootloader.h"
#include "session/model_table.h"
#include "session/results.h"
#include "session/strings.h"

using namespace vantrel;
using namespace vantrel::fuzz;

namespace {

enum Operation { kBlankCheck, kVerifyProtection, kErase, kDownload, kRestart, kAuto, kOperations };

const std::string& ImagePath() {
    static const ScratchFile file("image.upg");
    return file.Path();
}

void WriteImage(const std::vector<std::uint8_t>& image) {
    std::FILE* file = std::fopen(ImagePath().c_str(), "wb");
    Require(file != nullptr, "cannot write the scratch image");
    if (!image.empty()) {
        std::fwrite(image.data(), 1, image.size(), file);
    }
    std::fclose(file);
}

const char* kSignatures[3] = {"\t\t\t\r", "\n\n\n\r", "\n\n\r\r"};

// Simulated-time bound of each operation on a line that may fall silent at any moment.
std::uint64_t BoundOf(int op, const ModelTraits& traits, std::size_t blocks, std::uint64_t f) {
    using namespace bounds;
    const std::uint64_t blank = LineWait(f) + traits.blankCheckReads * LineRead(f);
    const std::uint64_t verify = LineWait(f) + 2 * LineRead(f);
    const std::uint64_t erase = LineWait(f) + (traits.eraseBlocks + 2) * LineRead(f);
    const std::uint64_t download = 3 * LineWait(f) + std::max(SendFile(blocks, f), Drain(f));
    const std::uint64_t restart =
        LineWait(f) + std::uint64_t{session_limits::kRestartListenLimitMs} * f + LineRead(f);
    switch (op) {
        case kBlankCheck:
            return blank;
        case kVerifyProtection:
            return verify;
        case kErase:
            return erase;
        case kDownload:
            return download;
        case kRestart:
            return restart;
        default:
            return verify + blank + erase + download;
    }
}

// The position of `text` written as one write at or after `from`, or writes.size().
std::size_t FindWrite(const std::vector<std::vector<std::uint8_t>>& writes, const std::string& text,
                      std::size_t from) {
    for (std::size_t i = from; i < writes.size(); ++i) {
        if (std::string(writes[i].begin(), writes[i].end()) == text) {
            return i;
        }
    }
    return writes.size();
}

// A download reported good: "5", the model's base address and "Y" went out in this order
// before the first frame, and every block followed.
void CheckGoodDownload(const std::vector<std::vector<std::uint8_t>>& writes,
                       const std::vector<std::uint8_t>& image, const ModelTraits& traits) {
    const FrameSummary frames = CheckFrames(writes, image);
    const std::size_t five = FindWrite(writes, "5", 0);
    const std::size_t address = FindWrite(writes, traits.baseAddress, five);
    const std::size_t yes = FindWrite(writes, "Y", address);
    const std::size_t firstFrame = frames.frames > 0 ? frames.firstFrameWrite : writes.size();
    Require(yes < writes.size() && (image.empty() || yes < firstFrame),
            "a download reported good without the dialogue that asks for it");
    Require(frames.blocksSent == BlocksOf(image.size()),
            "a download reported good without every block");
    Require(
        IsByte(writes.back(), kEot) || FindWrite(writes, std::string(1, kEot), yes) < writes.size(),
        "a download reported good without EOT");
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    Script script(data, size);
    const int op = script.Byte() % kOperations;
    const int model = script.Byte() % 3;
    const std::size_t imageSize = script.Word() % (4 * kBlock + 3);
    const bool fileMissing = (script.Byte() & 0x07) == 0x07;
    const std::vector<std::uint8_t> image = MakeImage(imageSize, static_cast<std::uint32_t>(size));

    test::SimClock clock;
    test::FakePort port(clock);
    test::RecordingDisplay display;
    SerialChannel channel(port, clock);
    Connection connection(channel, display);
    XModemSender sender(channel, display);
    BootLoader bootLoader(connection, sender);
    if (!connection.OpenPort("/dev/fuzz")) {
        return 0;
    }
    // A well-behaved reset brings the session On-Line on the chosen model.
    port.Arrive(kSignatures[model], 10);
    port.Arrive(">\r\n", 300);
    port.WaitForInput(50, nullptr);
    connection.IdentifyInstrument();
    Require(connection.OnLine() && connection.InstrumentModel() == model,
            "a clean signature was not identified");
    port.ClearWrites();

    if (fileMissing) {
        display.SetTargetFile("/nonexistent/vantrel-fuzz/image.upg");
    } else {
        WriteImage(image);
        display.SetTargetFile(ImagePath());
    }
    ScriptedPeer peer(port, script);
    peer.Begin(script.Byte() % 3);

    const ModelTraits& traits = TraitsOf(model);
    const std::uint64_t f = channel.TimeoutFactor();
    const std::uint64_t start = clock.NowMs();
    std::int32_t result = 0;
    switch (op) {
        case kBlankCheck:
            result = bootLoader.BlankCheck();
            break;
        case kVerifyProtection:
            result = bootLoader.VerifyProtection();
            break;
        case kErase:
            result = bootLoader.EraseUserArea();
            break;
        case kDownload:
            result = bootLoader.DownloadProgram();
            break;
        case kRestart:
            result = bootLoader.RestartInstrument();
            break;
        default:
            result = bootLoader.AutoReprogram();
            break;
    }
    const std::uint64_t elapsed = clock.NowMs() - start;
    Require(elapsed <= BoundOf(op, traits, BlocksOf(imageSize), f),
            "operation " + std::to_string(op) + " overran its bound: " + std::to_string(elapsed) +
                " ms");

    Trace("operation " + std::to_string(op) + " model " + std::to_string(model) + " result " +
          std::to_string(result) + " after " + std::to_string(elapsed) + " ms, status \"" +
          display.StatusText() + "\"");
    const auto& writes = port.Writes();
    if (op != kDownload) {
        Require(result == 0 || result == 1, "a result other than 0 or 1");
        if (op == kAuto && result == 0) {
            CheckGoodDownload(writes, image, traits);
        }
        return 0;
    }
    if (result >= 0) {
        Require(!fileMissing, "a download reported good without a file");
        Require(static_cast<std::size_t>(result) == BlocksOf(imageSize) * kBlock,
                "a good download's count is not the padded size");
        CheckGoodDownload(writes, image, traits);
        return 0;
    }
    CheckFrames(writes, image);
    const std::int32_t known[] = {
        result::kReceiverCancelled,  result::kNoStartSignal, result::kBlockNotAcknowledged,
        result::kEndNotAcknowledged, result::kFaultLine,     result::kConnectionLost,
        result::kCannotOpenTarget,   result::kPortFailed};
    Require(std::find(std::begin(known), std::end(known), result) != std::end(known),
            "an unknown download result " + std::to_string(result));
    if (result == result::kCannotOpenTarget) {
        Require(fileMissing && (port.HasFailed() || EndsWith(writes, kCan, 3)),
                "a missing file did not cancel the waiting receiver");
    }
    return 0;
}
