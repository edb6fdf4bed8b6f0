#include "connection.h"

#include <optional>

#include "serial/serial_timing.h"
#include "session_limits.h"
#include "strings.h"

namespace vantrel {

namespace {

// Status texts of the port handling; the boot loader never sends these.
constexpr const char* kNoPortSelected = "No serial port selected";
constexpr const char* kCannotOpenPrefix = "Cannot open ";
constexpr const char* kPortFailedPrefix = "Connection Lost - ";
constexpr const char* kPortFailedUnknown = "The serial port failed";

// The boot loader's exit command.
constexpr char kExitCommand[] = "7";

// The boot loader's prompt, a whole line of its own.
constexpr const char* kPrompt = ">";

// Signatures in the order the boot loader's documentation lists them. The comparisons are
// exact and the three texts differ, so the order decides nothing.
struct SignatureEntry {
    Str text;
    int model;
};
constexpr SignatureEntry kSignatures[] = {
    {Str::SignatureModel0, 0},
    {Str::SignatureModel2, 2},
    {Str::SignatureModel1, 1},
};

// A NUL from the port counts as nothing received, as in the boot loader's line reads.
std::optional<char> TakeCharacter(SerialChannel& channel) {
    const auto byte = channel.TakeInput();
    if (!byte || *byte == 0) {
        return std::nullopt;
    }
    return static_cast<char>(*byte);
}

}  // namespace

Connection::Connection(SerialChannel& channel, OperatorDisplay& display, SessionEvents& events)
    : m_channel(channel), m_display(display), m_events(events) {}

bool Connection::OpenPort(const std::string& device) {
    const bool portHadFailed = m_channel.PortFailed();
    GoConnectionLost();
    if (device.empty()) {
        m_channel.port().Close();
        m_display.SetStatus(kNoPortSelected);
        return false;
    }
    if (!m_channel.OpenPort(device)) {
        m_channel.port().Close();
        std::string why = kCannotOpenPrefix + device;
        const std::string error = m_channel.LastError();
        if (!error.empty()) {
            why += ": " + error;
        }
        m_display.SetStatus(why);
        return false;
    }
    // GoConnectionLost described the old port's failure; the new port is good.
    if (portHadFailed) {
        m_display.SetStatus(LoadString(Str::ConnectionLost));
    }
    return true;
}

std::string Connection::CollectSignature() {
    std::string signature;
    std::optional<char> next = TakeCharacter(m_channel);
    if (!next) {
        return signature;
    }
    for (int i = 0; i < session_limits::kSignatureLength; ++i) {
        if (next) {
            signature.push_back(*next);
        }
        m_channel.Delay(session_limits::kSignatureGapMs);
        next = TakeCharacter(m_channel);
    }
    // `next` now holds a fifth character if one came during the last gap; it is dropped.
    return signature;
}

bool Connection::AwaitPrompt() {
    Clock& clock = m_channel.clock();
    const std::uint64_t start = clock.NowMs();
    const std::uint64_t limit =
        std::uint64_t{session_limits::kPromptWaitLimitMs} * m_channel.TimeoutFactor();
    // A ">" left by an earlier read counts before any read.
    while (m_channel.ReceivedLine() != kPrompt) {
        if (clock.NowMs() - start > limit) {
            return false;
        }
        if (m_channel.ReadLine(session_limits::kReadTimeoutMs) != 0) {
            return false;
        }
    }
    return true;
}

void Connection::IdentifyInstrument() {
    if (m_onLine || !m_channel.IsOpen()) {
        return;
    }
    const std::string signature = CollectSignature();
    if (signature.empty()) {
        return;
    }
    const SignatureEntry* match = nullptr;
    for (const auto& entry : kSignatures) {
        if (signature == LoadString(entry.text)) {
            match = &entry;
            break;
        }
    }
    if (match == nullptr) {
        return;
    }
    m_model = match->model;
    m_channel.SetTimeoutFactor(m_model == 2 ? serial_timing::kSlowModelFactor : 1);
    m_channel.SendText("\r");
    if (!AwaitPrompt()) {
        // A boot loader that does not come up leaves everything as it was, but a port that
        // failed meanwhile must be reported, or the operator would keep resetting.
        if (m_channel.PortFailed()) {
            GoConnectionLost();
        }
        return;
    }
    GoOnLine();
    m_events.Identified(m_model);
}

bool Connection::GoOnLine() {
    m_display.CollectControls();
    m_onLine = true;
    m_channel.port().SetReceiveNotification(false);
    m_display.CheckFunction(control_id::kFunctionAuto);
    m_display.SetRunCaption(LoadString(Str::CaptionAuto));
    m_display.EnableRun(true);
    m_display.FocusRun();
    m_display.SetStatus(LoadString(Str::InstrumentOnLine));
    return false;
}

bool Connection::GoConnectionLost() {
    m_display.CollectControls();
    m_onLine = false;
    m_channel.port().SetReceiveNotification(true);
    m_display.EnableRun(false);
    if (m_channel.PortFailed()) {
        // Resetting the instrument cannot help when the port itself has gone.
        std::string error = m_channel.LastError();
        if (error.empty()) {
            error = kPortFailedUnknown;
        }
        m_display.SetStatus(kPortFailedPrefix + error + m_portFailedAdvice);
    } else {
        m_display.SetStatus(LoadString(Str::ConnectionLost));
    }
    return true;
}

bool Connection::Leave() {
    if (!m_onLine) {
        return false;
    }
    m_events.PhaseBegun(Phase::Leave);
    SerialChannel line = m_channel.WithoutStop();
    const bool sent = line.SendText(kExitCommand);
    Outcome outcome;
    if (!sent) {
        outcome.kind = OutcomeKind::PortFailed;
        outcome.result = 1;
        outcome.words = m_channel.LastError();
    }
    m_events.PhaseEnded(Phase::Leave, outcome);
    return sent;
}

}  // namespace vantrel
