#include "bootloader.h"

#include "image_file.h"
#include "model_table.h"
#include "results.h"
#include "session_limits.h"
#include "strings.h"

namespace vantrel {

namespace {

// Menu commands and answers, written exactly like this with nothing appended.
constexpr const char* kCmdBlankCheck = "1";
constexpr const char* kCmdProtection = "2";
constexpr const char* kCmdErase = "3";
constexpr const char* kCmdDownload = "5";
constexpr const char* kCmdRestart = "6";
constexpr const char* kAnswerYes = "Y";

constexpr char kCan = 0x18;

// The window title outside a transfer; the sender shows its percentage there meanwhile.
constexpr const char* kAppTitle = "Vantrel";

// Why a transfer stopped on the file. The sender writes no status: the reader knows why the
// file failed, the sender why it ended early (the file changed while it was being sent).
std::string ReadFailure(const std::string& path, const ImageReader& reader,
                        const TransferReport& report) {
    if (reader.Failed()) {
        return "Cannot read " + path + ": " + reader.ErrorText();
    }
    if (!report.imageError.empty()) {
        return report.imageError;
    }
    return "Cannot read " + path;
}

}  // namespace

BootLoader::BootLoader(Connection& connection, XModemSender& sender)
    : m_connection(connection), m_sender(sender) {}

std::uint8_t BootLoader::Read() {
    return m_connection.channel().ReadLine(session_limits::kReadTimeoutMs);
}

bool BootLoader::PortGone() {
    if (!m_connection.channel().PortFailed()) {
        return false;
    }
    m_connection.GoConnectionLost();
    return true;
}

BootLoader::Wait BootLoader::AwaitLine(const std::string& text, bool watchFaults) {
    SerialChannel& channel = m_connection.channel();
    Clock& clock = channel.clock();
    const std::uint64_t start = clock.NowMs();
    const std::uint64_t limit =
        std::uint64_t{session_limits::kLineWaitLimitMs} * channel.TimeoutFactor();
    while (channel.ReceivedLine() != text) {
        if (clock.NowMs() - start > limit) {
            // The boot loader talks, but not the dialogue: it must be reset.
            m_connection.GoConnectionLost();
            m_connection.display().SetStatus("Connection Lost - No \"" + text +
                                             "\" from the instrument - Reset the Instrument");
            return Wait::Lost;
        }
        if (Read() != 0) {
            m_connection.GoConnectionLost();
            return Wait::Lost;
        }
        const std::string& line = channel.ReceivedLine();
        if (watchFaults && (line == LoadString(Str::FaultProtectedBlocks) ||
                            line == LoadString(Str::FaultNotBlank))) {
            return Wait::FaultLine;
        }
    }
    return Wait::Found;
}

bool BootLoader::WaitForLine(const std::string& text) {
    return AwaitLine(text, false) == Wait::Found;
}

std::uint8_t BootLoader::BlankCheck() {
    SerialChannel& channel = m_connection.channel();
    OperatorDisplay& display = m_connection.display();
    const int reads = TraitsOf(m_connection.InstrumentModel()).blankCheckReads;

    display.SetStatus(LoadString(Str::BlankChecking));
    display.SetProgressPos(0);
    display.SetProgressStep(1);
    display.SetProgressRange(reads);
    channel.SendText(kCmdBlankCheck);
    if (!WaitForLine(LoadString(Str::BlankChecking))) {
        return 1;
    }
    // The check takes a while: the bar advances before each read and is full when the last
    // one begins.
    bool answered = false;
    for (int i = 0; i < reads && !answered; ++i) {
        display.StepProgress();
        answered = Read() == 0;
    }
    if (!answered) {
        PortGone();
        return 1;
    }
    const std::string line = channel.ReceivedLine();
    display.SetStatus(line);
    display.SetProgressPos(0);
    // Only the "not blank" answer is known; any other line reports a blank user area in the
    // boot loader's own words.
    return line == LoadString(Str::NotBlank) ? 1 : 0;
}

std::uint8_t BootLoader::VerifyProtection() {
    SerialChannel& channel = m_connection.channel();
    OperatorDisplay& display = m_connection.display();

    display.SetStatus(LoadString(Str::ProtectionVerification));
    channel.SendText(kCmdProtection);
    if (!WaitForLine(LoadString(Str::ProtectionVerification))) {
        return 1;
    }
    const Str banks[] = {Str::Bank1NotProtected, Str::Bank2NotProtected};
    const int bankCount = TraitsOf(m_connection.InstrumentModel()).reportsBank2 ? 2 : 1;
    for (int i = 0; i < bankCount; ++i) {
        if (Read() != 0) {
            PortGone();
            return 1;
        }
        if (channel.ReceivedLine() != LoadString(banks[i])) {
            display.SetStatus(channel.ReceivedLine());
            return 1;
        }
    }
    display.SetStatus(LoadString(Str::SectorsNotProtected));
    return 0;
}

std::uint8_t BootLoader::EraseUserArea() {
    SerialChannel& channel = m_connection.channel();
    OperatorDisplay& display = m_connection.display();
    const ModelTraits& traits = TraitsOf(m_connection.InstrumentModel());

    display.SetStatus(LoadString(Str::ErasingUserArea));
    channel.SendText(kCmdErase);
    if (!WaitForLine(LoadString(Str::ReallyErase))) {
        return 1;
    }
    channel.SendText(kAnswerYes);
    // One line comes between the answer and the first block line: read and dropped as it is.
    Read();
    display.SetProgressPos(0);
    display.SetProgressStep(1);
    display.SetProgressRange(traits.eraseBlocks);
    const int last = traits.firstEraseBlock + traits.eraseBlocks - 1;
    for (int block = traits.firstEraseBlock; block <= last; ++block) {
        const std::string expected = FormatString(Str::ErasingBlockPassed, block);
        if (Read() != 0) {
            m_connection.GoConnectionLost();
            return 1;
        }
        if (channel.ReceivedLine() != expected) {
            display.SetStatus(channel.ReceivedLine());
            return 1;
        }
        display.StepProgress();
    }
    // What the boot loader says after the last block is shown; silence empties the status.
    Read();
    display.SetStatus(channel.ReceivedLine());
    display.SetProgressPos(0);
    return 0;
}

void BootLoader::CancelReceiver() {
    SerialChannel& channel = m_connection.channel();
    const char can[] = {kCan, '\0'};
    for (int i = 0; i < session_limits::kCancelCanCount; ++i) {
        channel.SendText(can);
    }
    channel.Drain();
}

std::int32_t BootLoader::SendTarget() {
    OperatorDisplay& display = m_connection.display();
    const std::string path = display.TargetFile();

    ImageFile image = OpenImageFile(path);
    if (!image.file) {
        // The receiver is already waiting: send it back to its menu rather than leave it
        // expecting blocks.
        CancelReceiver();
        display.SetStatus("Cannot open " + path + ": " + image.error);
        return result::kCannotOpenTarget;
    }
    const std::int64_t size = image.size;
    if (size > session_limits::kMaxImageBytes) {
        CancelReceiver();
        display.SetStatus("Target file too large: " + path + " (" + std::to_string(size) +
                          " bytes, at most " + std::to_string(session_limits::kMaxImageBytes) +
                          " can be sent)");
        return result::kImageTooLarge;
    }

    FileImageReader reader(image.file.get());
    const std::int32_t sent = m_sender.SendFile(reader, size);
    image.file.reset();

    display.SetTitle(kAppTitle);
    display.RefreshControls();
    if (sent == result::kImageReadError) {
        display.SetStatus(ReadFailure(path, reader, m_sender.Report()));
    } else if (sent < 0) {
        // A pulled cable ends the transfer at once and silently (the sender writes no
        // status): the operator must hear that the port itself has gone.
        PortGone();
    }
    return sent;
}

std::int32_t BootLoader::DownloadProgram() {
    SerialChannel& channel = m_connection.channel();
    OperatorDisplay& display = m_connection.display();

    display.SetStatus(FormatString(Str::Downloading, display.TargetFile()));
    channel.SendText(kCmdDownload);
    // Before the base-address request the boot loader checks the user area and may report
    // a fault instead; after it, the fault texts mean nothing and are skipped.
    switch (AwaitLine(LoadString(Str::EnterBaseAddress), true)) {
        case Wait::Found:
            break;
        case Wait::FaultLine:
            display.SetStatus(channel.ReceivedLine());
            return result::kFaultLine;
        case Wait::Lost:
            return result::kConnectionLost;
    }
    channel.SendText(TraitsOf(m_connection.InstrumentModel()).baseAddress);
    if (!WaitForLine(LoadString(Str::ProgramFlash))) {
        return result::kConnectionLost;
    }
    channel.SendText(kAnswerYes);
    if (!WaitForLine(LoadString(Str::StartXModem))) {
        return result::kConnectionLost;
    }
    return SendTarget();
}

std::uint8_t BootLoader::RestartInstrument() {
    SerialChannel& channel = m_connection.channel();
    Clock& clock = channel.clock();

    channel.SendText(kCmdRestart);
    if (!WaitForLine(LoadString(Str::RunUserProgram))) {
        return 1;
    }
    channel.SendText(kAnswerYes);
    const std::uint64_t start = clock.NowMs();
    const std::uint64_t limit =
        std::uint64_t{session_limits::kRestartListenLimitMs} * channel.TimeoutFactor();
    const std::string& refusal = LoadString(Str::InvalidResetAddress);
    // Silence is the success here: the boot loader has handed over to the user program.
    while (channel.ReceivedLine() != refusal) {
        if (clock.NowMs() - start > limit) {
            return 0;
        }
        if (Read() != 0) {
            return PortGone() ? 1 : 0;
        }
    }
    m_connection.display().SetStatus(channel.ReceivedLine());
    return 1;
}

std::uint8_t BootLoader::AutoReprogram() {
    if (VerifyProtection() != 0) {
        return 1;
    }
    // Not blank, no answer and a lost connection alike lead to the erase.
    if (BlankCheck() != 0 && EraseUserArea() != 0) {
        return 1;
    }
    return DownloadProgram() < 0 ? 1 : 0;
}

}  // namespace vantrel
