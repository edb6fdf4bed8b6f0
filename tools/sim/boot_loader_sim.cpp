#include "boot_loader_sim.h"

#include <cstdio>

#include "sim_limits.h"
#include "sim_trace.h"

namespace vantrel::sim {

namespace {

// The boot loader's own words.
constexpr std::string_view kPrompt = ">";
constexpr std::string_view kBlankChecking = "Blank checking user area...";
constexpr std::string_view kNotBlank = "User area is NOT blank";
constexpr std::string_view kBlank = "User area is blank";
constexpr std::string_view kProtectionCheck = "Sector Protection Verification...";
constexpr std::string_view kBank1Free = "User Area Sectors Bank1 NOT protected";
constexpr std::string_view kBank2Free = "User Area Sectors Bank2 NOT protected";
constexpr std::string_view kBank1Protected = "User Area Sectors Bank1 protected";
constexpr std::string_view kBank2Protected = "User Area Sectors Bank2 protected";
constexpr std::string_view kEraseQuestion = "Really erase ALL user blocks (Y/N)?";
constexpr const char* kEraseBlock = "Erasing block %02d... %s";
constexpr std::string_view kEraseComplete = "Erase complete";
constexpr std::string_view kFaultProtected =
    "User Area Fault Check For Protected Blocks or Invalid Memory";
constexpr std::string_view kFaultNotBlank = "User Area Fault Check For User Area Memory NOT blank";
constexpr std::string_view kAddressRequest =
    "Enter Flash memory base address as a 32-bit hex value e.g. AABBCCDD";
constexpr std::string_view kAddressRefused = "Invalid base address";
constexpr std::string_view kProgramQuestion = "Program Flash (Y/N)?";
constexpr std::string_view kDownloadStart = "Start 1k XModem download...";
constexpr std::string_view kDownloadOk = "Download OK";
constexpr std::string_view kRunQuestion = "Run user program (Y/N)?";
constexpr std::string_view kNoUserProgram = "Invalid user reset address.  Staying put.";

constexpr std::size_t kAddressDigits = 8;

bool IsHexDigit(char c) {
    return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F');
}

std::string EraseLine(int block, bool passed) {
    char line[64];
    std::snprintf(line, sizeof line, kEraseBlock, block, passed ? "PASSED" : "FAILED");
    return line;
}

const char* EndName(TransferEnd end) {
    switch (end) {
        case TransferEnd::Completed:
            return "completed";
        case TransferEnd::NoSender:
            return "no sender";
        case TransferEnd::CancelledBySender:
            return "cancelled by sender";
        case TransferEnd::CancelledByReceiver:
            return "cancelled by receiver";
        case TransferEnd::Silent:
            return "silent";
    }
    return "";
}

}  // namespace

BootLoaderSim::BootLoaderSim(const SimOptions& options, PtyLine& line)
    : m_options(options), m_traits(TraitsOf(options.model)), m_line(line), m_junk(options.seed) {
    m_record.model = options.model;
    m_record.blank = options.blank;
}

void BootLoaderSim::PowerOn() {
    Reset();
}

void BootLoaderSim::Run() {
    for (;;) {
        try {
            ServeMenu();
            m_line.IgnoreInput();
        } catch (const LineInterrupted& interrupted) {
            if (interrupted.kind == Interruption::Quit) {
                return;
            }
            Reset();
        }
    }
}

void BootLoaderSim::Reset() {
    m_line.Forget();
    ++m_record.resets;
    Trace("reset " + std::to_string(m_record.resets) + ": signature of model " +
          std::to_string(m_options.model));
    // The signature ends with a carriage return: the first prompt needs no line end before it.
    m_line.Send(m_traits.signature);
    m_atLineStart = true;
}

void BootLoaderSim::ServeMenu() {
    for (;;) {
        const char command = static_cast<char>(m_line.ReadByteWhenever());
        char buffer[5];
        Trace("command " + std::string(Printable(static_cast<unsigned char>(command), buffer)));
        m_record.AddCommand(std::string(1, command));
        if (CablePulledAt(command) || !Command(command)) {
            return;
        }
    }
}

bool BootLoaderSim::Command(char command) {
    switch (command) {
        case '\n':
            // A terminal's line feed after its carriage return: nothing to answer.
            return true;
        case '1':
            BlankCheck();
            return true;
        case '2':
            VerifyProtection();
            return true;
        case '3':
            Erase();
            return true;
        case '5':
            return Download();
        case '6':
            return RunUserProgram();
        case '7':
            Trace("menu left: silent until the next reset");
            return false;
        default:
            // A carriage return, or a key the menu does not know: only the prompt again.
            BeginAnswer();
            SendPrompt();
            return true;
    }
}

bool BootLoaderSim::CablePulledAt(char command) {
    if (m_cablePulled || m_options.silentFrom.kind != SilentFrom::Kind::MenuCommand ||
        m_options.silentFrom.command != command) {
        return false;
    }
    m_cablePulled = true;
    Trace("cable pulled: silent until the next reset");
    return true;
}

void BootLoaderSim::BlankCheck() {
    BeginAnswer();
    SendLine(kBlankChecking);
    SendLine(m_record.blank ? kBlank : kNotBlank);
    SendPrompt();
}

void BootLoaderSim::VerifyProtection() {
    const bool locked = m_options.sectorsProtected;
    BeginAnswer();
    SendLine(kProtectionCheck);
    SendLine(locked ? kBank1Protected : kBank1Free);
    if (m_traits.hasBank2) {
        SendLine(locked ? kBank2Protected : kBank2Free);
    }
    SendPrompt();
}

void BootLoaderSim::Erase() {
    BeginAnswer();
    SendQuestion(kEraseQuestion);
    const char answer = ReadAnswer();
    BeginAnswer();
    if (answer != 'Y') {
        SendPrompt();
        return;
    }
    SendLine("Y");
    for (int block = m_traits.firstBlock; block <= m_traits.lastBlock; ++block) {
        const bool passed = block != m_options.eraseFailAt;
        SendLine(EraseLine(block, passed));
        if (!passed) {
            // Blocks before the failed one are erased, the rest still hold data.
            m_record.blank = false;
            m_record.programValid = false;
            SendPrompt();
            return;
        }
    }
    m_record.blank = true;
    m_record.programValid = false;
    SendLine(kEraseComplete);
    SendPrompt();
}

bool BootLoaderSim::Download() {
    BeginAnswer();
    if (m_options.sectorsProtected || (!m_record.blank && m_options.faultNotBlank)) {
        SendLine(m_options.sectorsProtected ? kFaultProtected : kFaultNotBlank);
        SendPrompt();
        return true;
    }
    SendQuestion(kAddressRequest);
    const std::string address = ReadBaseAddress();
    BeginAnswer();
    if (address.size() != kAddressDigits ||
        std::stoul(address, nullptr, 16) != m_traits.baseAddress) {
        SendLine(kAddressRefused);
        SendPrompt();
        return true;
    }
    SendQuestion(kProgramQuestion);
    const char answer = ReadAnswer();
    BeginAnswer();
    if (answer != 'Y') {
        SendPrompt();
        return true;
    }
    SendLine(kDownloadStart);
    return Transfer();
}

bool BootLoaderSim::Transfer() {
    const bool silentHere =
        !m_cablePulled && m_options.silentFrom.kind == SilentFrom::Kind::XModemBlock;
    const XModemFaults faults{m_options.nakBlock, m_options.nakCount, m_options.cancelAtBlock,
                              silentHere ? m_options.silentFrom.block : 0};
    m_record.transfers.emplace_back();
    const std::size_t index = m_record.transfers.size() - 1;
    std::vector<std::uint8_t> image;
    TransferEnd end = TransferEnd::NoSender;
    try {
        XModemReceiver receiver(m_line, m_options.checksumMode, faults, m_record,
                                m_record.transfers[index]);
        end = receiver.Receive(image);
    } catch (const LineInterrupted& interrupted) {
        m_record.transfers[index].end =
            interrupted.kind == Interruption::Reset ? "reset" : "stopped";
        if (!image.empty()) {
            m_record.blank = false;
            m_record.programValid = false;
        }
        throw;
    }
    TransferRecord& transfer = m_record.transfers[index];
    transfer.end = EndName(end);
    transfer.completed = end == TransferEnd::Completed;
    Trace(std::string("transfer ") + transfer.end + ", " + std::to_string(image.size()) + " bytes");
    m_atLineStart = false;
    if (transfer.completed || !image.empty()) {
        m_record.blank = false;
        m_record.programValid = transfer.completed;
    }
    if (transfer.completed) {
        m_record.image = std::move(image);
        SendLine(kDownloadOk);
    }
    if (end == TransferEnd::Silent) {
        m_cablePulled = true;
        return false;
    }
    SendPrompt();
    return true;
}

bool BootLoaderSim::RunUserProgram() {
    BeginAnswer();
    SendQuestion(kRunQuestion);
    const char answer = ReadAnswer();
    BeginAnswer();
    if (answer == 'Y' && m_record.programValid) {
        Trace("the user program runs: silent until the next reset");
        return false;
    }
    if (answer == 'Y') {
        SendLine(kNoUserProgram);
    }
    SendPrompt();
    return true;
}

char BootLoaderSim::ReadAnswer() {
    const char answer = static_cast<char>(m_line.ReadByteWhenever());
    char buffer[5];
    Trace("answer " + std::string(Printable(static_cast<unsigned char>(answer), buffer)));
    m_record.AddCommand(std::string(1, answer));
    return answer;
}

std::string BootLoaderSim::ReadBaseAddress() {
    // Eight hexadecimal digits; any other character ends the entry at once and it is refused.
    std::string address;
    while (address.size() < kAddressDigits) {
        const char c = static_cast<char>(m_line.ReadByteWhenever());
        address.push_back(c);
        if (!IsHexDigit(c)) {
            break;
        }
    }
    Trace("base address " + address);
    m_record.AddCommand(address);
    m_record.baseAddress = address;
    if (!IsHexDigit(address.back())) {
        address.clear();
    }
    return address;
}

void BootLoaderSim::BeginAnswer() {
    if (m_options.slowMs > 0) {
        m_line.Pause(std::chrono::milliseconds(m_options.slowMs));
    }
}

void BootLoaderSim::FreshLine() {
    // Every line and prompt starts on a line of its own, so that the program's line reads
    // never find the prompt, a question or binary data glued to the text it waits for.
    if (!m_atLineStart) {
        m_line.Send(m_options.lineEnd);
        m_atLineStart = true;
    }
    if (m_options.garbage) {
        SendJunk();
    }
}

void BootLoaderSim::SendLine(std::string_view text) {
    FreshLine();
    m_line.Send(text);
    m_line.Send(m_options.lineEnd);
    m_atLineStart = true;
}

void BootLoaderSim::SendQuestion(std::string_view text) {
    FreshLine();
    m_line.Send(text);
    if (!m_options.bareQuestions) {
        m_line.Send(m_options.lineEnd);
    }
    m_atLineStart = !m_options.bareQuestions;
}

void BootLoaderSim::SendPrompt() {
    FreshLine();
    m_line.Send(kPrompt);
    m_atLineStart = false;
}

void BootLoaderSim::SendJunk() {
    // Noise a line read skips or at worst returns as a line of its own: a NUL now and then,
    // then printable characters and a line end.
    std::uniform_int_distribution<int> length(kJunkMinLength, kJunkMaxLength);
    std::uniform_int_distribution<int> printable(0x21, 0x7E);
    std::string junk;
    if (m_junk() % 2 == 0) {
        junk.push_back('\0');
    }
    const int count = length(m_junk);
    for (int i = 0; i < count; ++i) {
        junk.push_back(static_cast<char>(printable(m_junk)));
    }
    junk += m_options.lineEnd;
    m_line.Send(junk);
}

bool BootLoaderSim::WriteOutputs(std::string& error) const {
    if (!m_options.reportPath.empty() &&
        !WriteFileAtomically(m_options.reportPath, ReportJson(m_record), error)) {
        return false;
    }
    if (!m_options.imageOutPath.empty() && m_record.image) {
        const std::string bytes(m_record.image->begin(), m_record.image->end());
        if (!WriteFileAtomically(m_options.imageOutPath, bytes, error)) {
            return false;
        }
    }
    return true;
}

}  // namespace vantrel::sim
