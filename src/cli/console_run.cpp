#include "console_run.h"

#include <algorithm>
#include <cstdint>
#include <limits>
#include <utility>

#include "job.h"
#include "session/bootloader.h"
#include "session/image_file.h"
#include "session/strings.h"
#include "session/xmodem.h"

namespace vantrel::cli {

namespace {

// The description the window shows when a function is selected: the console names the
// function it begins with it.
Str DescriptionOf(Function function) {
    switch (function) {
        case Function::BlankCheck:
            return Str::DescBlankCheck;
        case Function::MemoryTest:
            return Str::DescMemoryTest;
        case Function::Erase:
            return Str::DescErase;
        case Function::Download:
            return Str::DescDownload;
        case Function::Auto:
            return Str::DescAuto;
        case Function::Restart:
            break;
    }
    return Str::DescRestart;
}

constexpr const char* kInterruptedText = "Interrupted.";

// A wait without a bound still hands the port a finite one; the stop ends it at once.
constexpr std::uint64_t kUnboundedWaitMs = std::numeric_limits<std::uint64_t>::max() / 4;
// Quiet on the line after a port is opened before the wait for a reset is announced, in ms. The open sends a carriage return, and a boot loader already at its menu answers it
// with its prompt at once; a reset's signature that ran into that answer would not be
// recognised, so the operator is told to reset only once the answer is over. What comes
// meanwhile (an instrument reset by the open itself) is identified as usual.
constexpr std::uint64_t kOpenQuietMs = 500;
// Longest wait for that quiet, in ms: a line that keeps talking (an instrument's own program)
// is announced all the same.
constexpr std::uint64_t kOpenQuietLimitMs = 3000;

}  // namespace

ConsoleRun::ConsoleRun(WatchedPort& port, Clock& clock, RunDisplay& display, std::FILE* errors,
                       const StopSignal* cancel)
    : m_port(port),
      m_clock(clock),
      m_display(display),
      m_errors(errors),
      m_cancel(cancel),
      m_channel(port, clock, cancel),
      m_connection(m_channel, display, m_events) {
    // The record first, so that it holds a phase before anyone shows it.
    m_events.Add(*this);
    m_events.Add(display);
}

void ConsoleRun::StatusShown(const std::string& text) {
    m_record.statuses.push_back({UtcNowIso(), text});
}

void ConsoleRun::PhaseBegun(Phase phase) {
    m_record.phases.push_back({PhaseId(phase), UtcNowIso(), 0, {}});
    m_phaseStartMs = m_clock.NowMs();
}

void ConsoleRun::PhaseEnded(Phase, const Outcome& outcome) {
    if (!m_record.phases.empty()) {
        m_record.phases.back().durationMs = static_cast<std::int64_t>(m_clock.NowMs() -
                                                                      m_phaseStartMs);
        m_record.phases.back().outcome = OutcomeKindId(outcome.kind);
    }
    m_lastOutcome = outcome.kind;
    if (!outcome.ok()) {
        m_failure = outcome.words;
    }
}

void ConsoleRun::Error(const std::string& text) {
    if (m_errors == nullptr) {
        m_display.Message(text);
        return;
    }
    std::fputs((text + "\n").c_str(), m_errors);
    std::fflush(m_errors);
}

std::string ConsoleRun::PortLabel() const {
    if (m_record.portName.empty()) {
        return m_record.device;
    }
    return m_record.portName + " (" + m_record.device + ")";
}

void ConsoleRun::Begin(const Options& options, const std::string& portName,
                       const std::string& device, const ImageDigest* image) {
    m_record = UpdateRecord{};
    m_identified = false;
    // A file that could not be read is in the record as such, and guards nothing.
    m_image = image != nullptr && image->ok ? image : nullptr;
    m_record.start = UtcNowIso();
    m_record.portName = portName;
    m_record.device = device;
    for (Function f : options.functions) {
        m_record.requested.push_back(FunctionName(f));
    }
    m_record.imagePath = options.targetFile;
    if (image != nullptr) {
        m_record.image = *image;
    }
    m_display.SetTargetFile(options.targetFile);
    m_display.SetListener(this);
}

int ConsoleRun::Finish(int status, bool closePort) {
    Leave(closePort);
    m_record.model = m_identified ? m_connection.InstrumentModel() : -1;
    m_record.end = UtcNowIso();
    m_record.exitStatus = status;
    m_display.SetListener(nullptr);
    return status;
}

int ConsoleRun::Run(const Options& options, const std::string& portName,
                    const std::string& device, const ImageDigest* image) {
    Begin(options, portName, device, image);
    m_display.Message("Port " + PortLabel());
    // As a station's port: the wait is announced once the answer to the opening carriage
    // return is over, so that a reset the operator makes on the announcement is never lost.
    if (!OpenPort(device)) {
        m_record.error = m_display.StatusText();
        // The port's own words name the device already.
        const std::string why = m_port.ErrorText();
        Error("vantrel: " + (why.empty() ? m_record.error : why));
        return Finish(exit_status::kPortUnusable, true);
    }
    if (options.functions.empty()) {
        const WaitResult waited = WaitForInstrument(options.waitSeconds, m_cancel);
        return Finish(waited == WaitResult::OnLine ? exit_status::kSuccess
                                                   : NotIdentified(waited, options.waitSeconds),
                      true);
    }
    return Finish(RunFunctions(options), true);
}

int ConsoleRun::RunFunctions(const Options& options) {
    for (Function function : options.functions) {
        if (!m_connection.OnLine()) {
            const WaitResult waited = WaitForInstrument(options.waitSeconds, m_cancel);
            if (waited != WaitResult::OnLine) {
                return NotIdentified(waited, options.waitSeconds);
            }
            const int model = m_connection.InstrumentModel();
            if (!ModelAllowed(options.models, model)) {
                return Decline(DeclinedText(model));
            }
        }
        const FunctionEnd end = RunFunction(function);
        if (Cancelled()) {
            m_display.Message(kInterruptedText);
            return exit_status::kInterrupted;
        }
        if (end == FunctionEnd::Failed ||
            (end == FunctionEnd::NotBlank && options.functions.size() == 1)) {
            return exit_status::kFunctionFailed;
        }
    }
    return exit_status::kSuccess;
}

bool ConsoleRun::OpenPort(const std::string& device) {
    m_justOpened = m_connection.OpenPort(device);
    return m_justOpened;
}

std::optional<int> ConsoleRun::ServeInstrument(const Options& options,
                                               const std::string& portName,
                                               const std::string& device,
                                               const ImageDigest* image, StationGate& gate) {
    Begin(options, portName, device, image);
    std::optional<int> status;
    if (WaitForInstrument(std::nullopt, &gate.NoNewInstruments(), &gate) == WaitResult::OnLine) {
        const TakeAnswer answer = gate.TakeInstrument(m_connection.InstrumentModel());
        if (answer.kind == TakeAnswer::Kind::Taken) {
            status = Finish(RunFunctions(options), false);
        } else if (answer.kind == TakeAnswer::Kind::Declined) {
            status = Finish(Decline(answer.why), false);
        } else {
            // Left at its menu the instrument would wait there for nobody.
            m_connection.Leave();
            m_display.Message("not taken: " + answer.why);
            m_display.SetListener(nullptr);
        }
    } else {
        m_display.SetListener(nullptr);
    }
    // Listen for the next reset: the instrument left behind (menu left, restarted, or not
    // taken) announces itself again only when it is reset. After a cancel nobody listens:
    // "Reset the Instrument" would be the last word of a station that is ending.
    if (m_connection.OnLine() && !Cancelled()) {
        m_connection.GoConnectionLost();
    }
    return status;
}

ConsoleRun::WaitResult ConsoleRun::WaitForInstrument(std::optional<int> seconds,
                                                     const StopSignal* stop, StationGate* gate) {
    m_port.StartObserving();
    m_events.PhaseBegun(Phase::Identification);
    const std::string announcement =
        seconds ? "Waiting up to " + std::to_string(*seconds) +
                      " s for the instrument to be reset..."
                : std::string("Waiting for an instrument to be reset...");
    const std::uint64_t start = m_clock.NowMs();
    // Until then the line is let fall quiet after an open (kOpenQuietMs).
    std::uint64_t announceAt = std::exchange(m_justOpened, false) ? start + kOpenQuietMs : start;
    const std::uint64_t announceBy = start + kOpenQuietLimitMs;
    bool announced = false;
    const std::uint64_t deadline =
        seconds ? start + static_cast<std::uint64_t>(*seconds) * 1000 : UINT64_MAX;
    WaitResult result = WaitResult::OnLine;
    while (!m_connection.OnLine()) {
        const std::uint64_t wakeAt = gate != nullptr ? gate->WakeAtMs() : UINT64_MAX;
        if ((stop != nullptr && stop->Raised()) || Cancelled()) {
            result = WaitResult::Stopped;
            break;
        }
        // A closed port would return from every wait at once: it counts as failed.
        if (m_port.inner().HasFailed() || !m_port.IsOpen()) {
            result = WaitResult::PortFailed;
            break;
        }
        const std::uint64_t now = m_clock.NowMs();
        if (now >= deadline) {
            result = WaitResult::TimedOut;
            break;
        }
        if (!announced && now >= std::min(announceAt, announceBy)) {
            m_display.Message(announcement);
            announced = true;
            if (m_runEvents != nullptr) {
                m_runEvents->Waiting();
            }
        }
        const std::uint64_t until =
            std::min({deadline, wakeAt, announced ? UINT64_MAX : std::min(announceAt, announceBy)});
        if (!m_port.WaitForInput(until == UINT64_MAX ? kUnboundedWaitMs : until - now, stop)) {
            continue;
        }
        if (!seconds) {
            RestartRecord();
        }
        // As the window's receive notification: identification runs while it is armed and
        // bytes are waiting. Each attempt takes at least one byte; should one take none, the
        // bytes are dropped rather than offered again and again.
        const std::uint64_t seenBefore = m_port.Observed().bytesSeen;
        if (m_port.ReceiveNotificationArmed()) {
            m_connection.IdentifyInstrument();
        }
        if (!m_connection.OnLine() && m_port.Observed().bytesSeen == seenBefore) {
            m_port.DiscardInput();
        }
        announceAt = m_clock.NowMs() + kOpenQuietMs;
    }
    Outcome outcome;
    switch (result) {
        case WaitResult::OnLine:
            break;
        case WaitResult::TimedOut:
            outcome = {OutcomeKind::Silent, 1, "no instrument was identified in time"};
            break;
        case WaitResult::PortFailed:
            outcome = {OutcomeKind::PortFailed, 1, m_port.inner().ErrorText()};
            break;
        case WaitResult::Stopped:
            // A station that ends (its count reached, its first Ctrl-C) stops its waits too.
            outcome = {OutcomeKind::Interrupted, 1,
                       Cancelled() || stop == m_cancel ? "interrupted"
                                                       : "the station takes no new instruments"};
            break;
    }
    m_events.PhaseEnded(Phase::Identification, outcome);
    if (result == WaitResult::OnLine) {
        m_identified = true;
        m_display.Message("Instrument model " + std::to_string(m_connection.InstrumentModel()) +
                          " on " + PortLabel());
    }
    return result;
}

void ConsoleRun::RestartRecord() {
    // A station's port may wait for hours between instruments, and hear a stray prompt or
    // junk meanwhile: the instrument's record begins with the attempt that identifies it.
    m_record.start = UtcNowIso();
    m_record.statuses.clear();
    m_record.phases.clear();
    m_record.phases.push_back({PhaseId(Phase::Identification), m_record.start, 0, {}});
    m_phaseStartMs = m_clock.NowMs();
}

int ConsoleRun::NotIdentified(WaitResult result, int seconds) {
    if (result == WaitResult::Stopped) {
        m_display.Message(kInterruptedText);
        return exit_status::kInterrupted;
    }
    LineObservation seen = m_port.Observed();
    if (result == WaitResult::PortFailed) {
        seen.portFailed = true;
        seen.portError = m_port.inner().ErrorText();
    }
    const SilenceDiagnosis d = DiagnoseSilence(seen, PortLabel(), seconds);
    Error(d.text.substr(0, d.text.size() - 1));
    m_record.diagnosis = UpdateRecord::Diagnosis{d.kind, seen.bytesSeen, d.firstBytesHex, d.text};
    return exit_status::kNotIdentified;
}

int ConsoleRun::Decline(const std::string& why) {
    m_record.declined = why;
    m_display.Message(why);
    return exit_status::kFunctionFailed;
}

std::string ConsoleRun::TargetRefusal() {
    const std::string& path = m_display.TargetFile();
    if (path.empty()) {
        return "no target file was given (--file)";
    }
    if (m_image != nullptr) {
        std::string why;
        const auto now = IdentityOfPath(path, why);
        if (!now || !(*now == m_image->identity)) {
            return m_imageChangedText;
        }
    }
    return UnusableTarget(path);
}

void ConsoleRun::NoteTransfer(const XModemSender& sender) {
    const TransferReport& report = sender.Report();
    if (report.started || report.result != 0) {
        m_record.transfers.push_back({report.started, report.crcMode, report.framesSent,
                                      report.bytesAcknowledged, report.repeatsPerBlock,
                                      report.eotSent, report.result, report.imageError});
    }
}

ConsoleRun::FunctionEnd ConsoleRun::RunFunction(Function function) {
    m_failure.clear();
    m_lastOutcome = OutcomeKind::Done;
    const std::uint64_t started = m_clock.NowMs();
    m_display.Message(LoadString(DescriptionOf(function)));
    UpdateRecord::FunctionEntry entry{FunctionName(function), std::nullopt, {}, {}};
    XModemSender sender(m_channel, m_display, m_events);
    BootLoader bootLoader(m_connection, sender);
    bool ok = false;
    bool boxed = true;  // the window would show the outcome in a message box
    bool notBlank = false;

    if (Downloads(function)) {
        // The window can only choose an existing file; a path given on the command line was
        // checked at the start and is checked again here, before anything is erased.
        if (const std::string refusal = TargetRefusal(); !refusal.empty()) {
            entry.outcome = refusal == m_imageChangedText ? refusal
                                                          : LoadString(Str::InvalidTargetFile);
            entry.reason = refusal;
            if (refusal != m_imageChangedText) {
                Error("vantrel: cannot use the target file " + m_display.TargetFile() + ": " +
                      refusal);
            }
            m_record.functions.push_back(entry);
            m_display.FunctionEnded({entry.name, false, entry.outcome, refusal,
                                     m_clock.NowMs() - started, true});
            return FunctionEnd::Failed;
        }
        if (m_image != nullptr) {
            bootLoader.ExpectImage(m_image->identity, m_imageChangedText);
        }
        const std::int32_t result = function == Function::Download
                                        ? bootLoader.DownloadProgram()
                                        : static_cast<std::int32_t>(bootLoader.AutoReprogram());
        ok = function == Function::Download ? result >= 0 : result == 0;
        entry.result = result;
        NoteTransfer(sender);
    } else {
        std::uint8_t result = 1;
        switch (function) {
            case Function::BlankCheck:
                result = bootLoader.BlankCheck();
                // Its only answer that is no success, and no failure either.
                notBlank = result != 0 && m_lastOutcome == OutcomeKind::Answered;
                break;
            case Function::MemoryTest:
                result = bootLoader.VerifyProtection();
                break;
            case Function::Erase:
                result = bootLoader.EraseUserArea();
                break;
            default:
                result = bootLoader.RestartInstrument();
                break;
        }
        entry.result = result;
        ok = result == 0;
    }

    if (Cancelled()) {
        entry.outcome = kInterruptedText;
        ok = false;
        boxed = false;
    } else if (Downloads(function)) {
        entry.outcome = LoadString(ok ? Str::DownloadCompleted : Str::DownloadAborted);
    } else if (function == Function::Restart) {
        if (ok) {
            m_connection.GoConnectionLost();
        }
        entry.outcome = LoadString(ok ? Str::Restarting : Str::RestartAborted);
    } else {
        // The window shows no message for these: their outcome is the status line.
        entry.outcome = m_display.StatusText();
        boxed = false;
    }
    if (!ok && !notBlank) {
        entry.reason = m_failure;
    }
    m_record.functions.push_back(entry);
    m_display.FunctionEnded({entry.name, ok || notBlank, entry.outcome, entry.reason,
                             m_clock.NowMs() - started, boxed});
    if (ok) {
        return FunctionEnd::Succeeded;
    }
    return notBlank && !Cancelled() ? FunctionEnd::NotBlank : FunctionEnd::Failed;
}

void ConsoleRun::Leave(bool closePort) {
    // Also after a cancel: a menu left waiting would take the next program's bytes for
    // commands.
    m_connection.Leave();
    if (closePort) {
        m_port.inner().Close();
    }
}

}  // namespace vantrel::cli
