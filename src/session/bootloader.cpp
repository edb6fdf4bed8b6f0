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

// The program's words for outcomes the boot loader has no words for.
constexpr const char* kInterruptedWords = "interrupted";
constexpr const char* kNoBlankCheckAnswer = "No answer to the blank check";

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

// Why a transfer failed on the line, in the operator's words.
std::string TransferFailure(std::int32_t sent, const TransferReport& report) {
    switch (sent) {
        case result::kReceiverCancelled:
            return "The instrument cancelled the transfer";
        case result::kNoStartSignal:
            return "The instrument's receiver never asked for the first block";
        case result::kBlockNotAcknowledged:
            return "Block " + std::to_string(report.bytesAcknowledged / 1024 + 1) +
                   " was not acknowledged";
        case result::kEndNotAcknowledged:
            return "The end of the transfer was not acknowledged";
        default:
            return "The transfer failed (" + std::to_string(sent) + ")";
    }
}

}  // namespace

BootLoader::BootLoader(Connection& connection, XModemSender& sender)
    : m_connection(connection), m_sender(sender) {}

void BootLoader::ExpectImage(const ImageIdentity& identity, const std::string& changedText) {
    m_imageExpected = true;
    m_expectedImage = identity;
    m_imageChangedText = changedText;
}

void BootLoader::Begin(Phase phase) {
    m_connection.events().PhaseBegun(phase);
}

std::int32_t BootLoader::End(Phase phase, OutcomeKind kind, std::int32_t result,
                             std::string words) {
    m_connection.events().PhaseEnded(phase, Outcome{kind, result, std::move(words)});
    return result;
}

std::int32_t BootLoader::EndUnanswered(Phase phase, std::int32_t result) {
    SerialChannel& channel = m_connection.channel();
    if (channel.Stopped()) {
        return End(phase, OutcomeKind::Interrupted, result, kInterruptedWords);
    }
    if (channel.PortFailed()) {
        return End(phase, OutcomeKind::PortFailed, result, channel.LastError());
    }
    return End(phase, OutcomeKind::Silent, result, m_connection.display().StatusText());
}

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
            // A stopped session has not lost its instrument: it stays On-Line, so that the
            // front end can still leave the menu.
            if (channel.Stopped()) {
                return Wait::Stopped;
            }
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

    Begin(Phase::BlankCheck);
    display.SetStatus(LoadString(Str::BlankChecking));
    display.SetProgressPos(0);
    display.SetProgressStep(1);
    display.SetProgressRange(reads);
    channel.SendText(kCmdBlankCheck);
    if (!WaitForLine(LoadString(Str::BlankChecking))) {
        return static_cast<std::uint8_t>(EndUnanswered(Phase::BlankCheck, 1));
    }
    // The check takes a while: the bar advances before each read and is full when the last
    // one begins.
    bool answered = false;
    for (int i = 0; i < reads && !answered && !channel.Stopped(); ++i) {
        display.StepProgress();
        answered = Read() == 0;
    }
    if (!answered) {
        if (PortGone() || channel.Stopped()) {
            return static_cast<std::uint8_t>(EndUnanswered(Phase::BlankCheck, 1));
        }
        return static_cast<std::uint8_t>(
            End(Phase::BlankCheck, OutcomeKind::Silent, 1, kNoBlankCheckAnswer));
    }
    const std::string line = channel.ReceivedLine();
    display.SetStatus(line);
    display.SetProgressPos(0);
    // Only the "not blank" answer is known; any other line reports a blank user area in the
    // boot loader's own words.
    if (line == LoadString(Str::NotBlank)) {
        return static_cast<std::uint8_t>(End(Phase::BlankCheck, OutcomeKind::Answered, 1, line));
    }
    return static_cast<std::uint8_t>(End(Phase::BlankCheck, OutcomeKind::Done, 0, line));
}

std::uint8_t BootLoader::VerifyProtection() {
    SerialChannel& channel = m_connection.channel();
    OperatorDisplay& display = m_connection.display();

    Begin(Phase::ProtectionCheck);
    display.SetStatus(LoadString(Str::ProtectionVerification));
    channel.SendText(kCmdProtection);
    if (!WaitForLine(LoadString(Str::ProtectionVerification))) {
        return static_cast<std::uint8_t>(EndUnanswered(Phase::ProtectionCheck, 1));
    }
    const Str banks[] = {Str::Bank1NotProtected, Str::Bank2NotProtected};
    const int bankCount = TraitsOf(m_connection.InstrumentModel()).reportsBank2 ? 2 : 1;
    for (int i = 0; i < bankCount; ++i) {
        if (Read() != 0) {
            PortGone();
            return static_cast<std::uint8_t>(EndUnanswered(Phase::ProtectionCheck, 1));
        }
        if (channel.ReceivedLine() != LoadString(banks[i])) {
            display.SetStatus(channel.ReceivedLine());
            return static_cast<std::uint8_t>(
                End(Phase::ProtectionCheck, OutcomeKind::Answered, 1, channel.ReceivedLine()));
        }
    }
    display.SetStatus(LoadString(Str::SectorsNotProtected));
    return static_cast<std::uint8_t>(End(Phase::ProtectionCheck, OutcomeKind::Done, 0,
                                         LoadString(Str::SectorsNotProtected)));
}

std::uint8_t BootLoader::EraseUserArea() {
    SerialChannel& channel = m_connection.channel();
    OperatorDisplay& display = m_connection.display();
    const ModelTraits& traits = TraitsOf(m_connection.InstrumentModel());

    Begin(Phase::Erase);
    display.SetStatus(LoadString(Str::ErasingUserArea));
    channel.SendText(kCmdErase);
    if (!WaitForLine(LoadString(Str::ReallyErase))) {
        return static_cast<std::uint8_t>(EndUnanswered(Phase::Erase, 1));
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
            if (!channel.Stopped()) {
                m_connection.GoConnectionLost();
            }
            return static_cast<std::uint8_t>(EndUnanswered(Phase::Erase, 1));
        }
        if (channel.ReceivedLine() != expected) {
            display.SetStatus(channel.ReceivedLine());
            return static_cast<std::uint8_t>(
                End(Phase::Erase, OutcomeKind::Answered, 1, channel.ReceivedLine()));
        }
        display.StepProgress();
    }
    // What the boot loader says after the last block is shown; silence empties the status.
    Read();
    display.SetStatus(channel.ReceivedLine());
    display.SetProgressPos(0);
    return static_cast<std::uint8_t>(End(Phase::Erase, OutcomeKind::Done, 0, channel.ReceivedLine()));
}

void BootLoader::CancelReceiver() {
    // Also after a stop: the receiver must not be left waiting for blocks.
    const SerialChannel& channel = m_connection.channel();
    SerialChannel line = channel.WithoutStop();
    const char can[] = {kCan, '\0'};
    for (int i = 0; i < session_limits::kCancelCanCount; ++i) {
        line.SendText(can);
    }
    if (channel.Stopped()) {
        line.Drain(session_limits::kStopDrainLimitMs);
    } else {
        line.Drain();
    }
}

std::int32_t BootLoader::SendTarget() {
    OperatorDisplay& display = m_connection.display();
    const std::string path = display.TargetFile();

    Begin(Phase::Transfer);
    ImageFile image = OpenImageFile(path);
    std::string refusal;
    std::int32_t refused = result::kCannotOpenTarget;
    if (!image.file) {
        refusal = "Cannot open " + path + ": " + image.error;
    } else if (m_imageExpected && !(image.identity == m_expectedImage)) {
        refusal = m_imageChangedText;
    } else if (image.size > session_limits::kMaxImageBytes) {
        refusal = "Target file too large: " + path + " (" + std::to_string(image.size) +
                  " bytes, at most " + std::to_string(session_limits::kMaxImageBytes) +
                  " can be sent)";
        refused = result::kImageTooLarge;
    }
    if (!refusal.empty()) {
        // The receiver is already waiting: send it back to its menu rather than leave it
        // expecting blocks.
        CancelReceiver();
        display.SetStatus(refusal);
        return End(Phase::Transfer, OutcomeKind::TargetFile, refused, refusal);
    }

    FileImageReader reader(image.file.get());
    if (m_imageExpected) {
        reader.Guard(path, m_expectedImage, m_imageChangedText);
    }
    const std::int32_t sent = m_sender.SendFile(reader, image.size);
    image.file.reset();

    display.SetTitle(kAppTitle);
    display.RefreshControls();
    if (sent >= 0) {
        return End(Phase::Transfer, OutcomeKind::Done, sent, std::string());
    }
    switch (sent) {
        case result::kImageReadError: {
            const std::string why = ReadFailure(path, reader, m_sender.Report());
            display.SetStatus(why);
            return End(Phase::Transfer, OutcomeKind::TargetFile, sent, why);
        }
        case result::kInterrupted:
            return End(Phase::Transfer, OutcomeKind::Interrupted, sent, kInterruptedWords);
        case result::kPortFailed:
            // A pulled cable ends the transfer at once and silently (the sender writes no
            // status): the operator must hear that the port itself has gone.
            PortGone();
            return End(Phase::Transfer, OutcomeKind::PortFailed, sent,
                       m_connection.channel().LastError());
        default:
            PortGone();
            return End(Phase::Transfer, OutcomeKind::Transfer, sent,
                       TransferFailure(sent, m_sender.Report()));
    }
}

std::int32_t BootLoader::DownloadProgram() {
    SerialChannel& channel = m_connection.channel();
    OperatorDisplay& display = m_connection.display();

    Begin(Phase::DownloadMenu);
    display.SetStatus(FormatString(Str::Downloading, display.TargetFile()));
    channel.SendText(kCmdDownload);
    // Before the base-address request the boot loader checks the user area and may report
    // a fault instead; after it, the fault texts mean nothing and are skipped.
    switch (AwaitLine(LoadString(Str::EnterBaseAddress), true)) {
        case Wait::Found:
            break;
        case Wait::FaultLine:
            display.SetStatus(channel.ReceivedLine());
            return End(Phase::DownloadMenu, OutcomeKind::Answered, result::kFaultLine,
                       channel.ReceivedLine());
        case Wait::Stopped:
            return End(Phase::DownloadMenu, OutcomeKind::Interrupted, result::kInterrupted,
                       kInterruptedWords);
        case Wait::Lost:
            return EndUnanswered(Phase::DownloadMenu, result::kConnectionLost);
    }
    channel.SendText(TraitsOf(m_connection.InstrumentModel()).baseAddress);
    if (const Wait wait = AwaitLine(LoadString(Str::ProgramFlash), false); wait != Wait::Found) {
        return EndUnanswered(Phase::DownloadMenu, wait == Wait::Stopped ? result::kInterrupted
                                                                        : result::kConnectionLost);
    }
    channel.SendText(kAnswerYes);
    if (const Wait wait = AwaitLine(LoadString(Str::StartXModem), false); wait != Wait::Found) {
        if (wait == Wait::Stopped) {
            // The boot loader took the "Y": its receiver may be waiting for blocks already.
            CancelReceiver();
            return EndUnanswered(Phase::DownloadMenu, result::kInterrupted);
        }
        return EndUnanswered(Phase::DownloadMenu, result::kConnectionLost);
    }
    End(Phase::DownloadMenu, OutcomeKind::Done, 0, channel.ReceivedLine());
    return SendTarget();
}

std::uint8_t BootLoader::RestartInstrument() {
    SerialChannel& channel = m_connection.channel();
    Clock& clock = channel.clock();

    Begin(Phase::Restart);
    channel.SendText(kCmdRestart);
    if (!WaitForLine(LoadString(Str::RunUserProgram))) {
        return static_cast<std::uint8_t>(EndUnanswered(Phase::Restart, 1));
    }
    channel.SendText(kAnswerYes);
    const std::uint64_t start = clock.NowMs();
    const std::uint64_t limit =
        std::uint64_t{session_limits::kRestartListenLimitMs} * channel.TimeoutFactor();
    const std::string& refusal = LoadString(Str::InvalidResetAddress);
    // Silence is the success here: the boot loader has handed over to the user program.
    while (channel.ReceivedLine() != refusal) {
        if (clock.NowMs() - start > limit) {
            return static_cast<std::uint8_t>(End(Phase::Restart, OutcomeKind::Done, 0, {}));
        }
        if (Read() != 0) {
            if (PortGone() || channel.Stopped()) {
                return static_cast<std::uint8_t>(EndUnanswered(Phase::Restart, 1));
            }
            return static_cast<std::uint8_t>(End(Phase::Restart, OutcomeKind::Done, 0, {}));
        }
    }
    m_connection.display().SetStatus(channel.ReceivedLine());
    return static_cast<std::uint8_t>(
        End(Phase::Restart, OutcomeKind::Answered, 1, channel.ReceivedLine()));
}

std::uint8_t BootLoader::AutoReprogram() {
    const SerialChannel& channel = m_connection.channel();
    if (VerifyProtection() != 0) {
        return 1;
    }
    // Not blank, no answer and a lost connection alike lead to the erase; a stop leads
    // nowhere more.
    if (BlankCheck() != 0 && (channel.Stopped() || EraseUserArea() != 0)) {
        return 1;
    }
    if (channel.Stopped()) {
        return 1;
    }
    return DownloadProgram() < 0 ? 1 : 0;
}

}  // namespace vantrel
