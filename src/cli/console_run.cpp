#include "console_run.h"

#include <cstdint>

#include "session/bootloader.h"
#include "session/image_file.h"
#include "session/strings.h"
#include "session/xmodem.h"

namespace vantrel::cli {

namespace {

// What the window's function table says about each function: its radio button, the Run
// button's caption and the description shown when it is selected.
struct FunctionTraits {
    int radio;
    Str caption;
    Str description;
};

FunctionTraits TraitsOf(Function function) {
    switch (function) {
        case Function::BlankCheck:
            return {control_id::kFunctionBlankCheck, Str::CaptionCheck, Str::DescBlankCheck};
        case Function::MemoryTest:
            return {control_id::kFunctionMemoryTest, Str::CaptionTest, Str::DescMemoryTest};
        case Function::Erase:
            return {control_id::kFunctionErase, Str::CaptionErase, Str::DescErase};
        case Function::Download:
            return {control_id::kFunctionDownload, Str::CaptionDownload, Str::DescDownload};
        case Function::Auto:
            return {control_id::kFunctionAuto, Str::CaptionAuto, Str::DescAuto};
        case Function::Restart:
            break;
    }
    return {control_id::kFunctionRestart, Str::CaptionRestart, Str::DescRestart};
}

// Cancels a boot loader's XModem receiver left waiting by an interrupted transfer.
constexpr std::uint8_t kCancel[] = {0x18, 0x18, 0x18};
// The boot loader's exit command, sent when leaving while On-Line.
constexpr char kExitCommand[] = "7";

constexpr const char* kInterruptedText = "Interrupted.";

// Longest slice of a station's unbounded wait for a reset: the station's decision to take no
// new instruments is seen within this many milliseconds.
constexpr std::uint64_t kGateCheckMs = 250;

}  // namespace

ConsoleRun::ConsoleRun(WatchedPort& port, Clock& clock, RunDisplay& display, std::FILE* errors)
    : m_port(port),
      m_clock(clock),
      m_display(display),
      m_errors(errors),
      m_channel(port, clock),
      m_connection(m_channel, display) {}

void ConsoleRun::StatusShown(const std::string& text) {
    if (text == FormatString(Str::Downloading, m_display.TargetFile())) {
        m_downloadShown = true;
    }
    const std::string now = IsoUtcNow();
    m_record.statuses.push_back({now, text});
    m_phases.Status(text, m_clock.NowMs(), now);
}

void ConsoleRun::TitleShown(const std::string& text) {
    m_phases.Title(text, m_clock.NowMs(), IsoUtcNow());
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
                       const std::string& device, const std::optional<ImageDigest>& image) {
    m_record = UpdateRecord{};
    m_phases = PhaseTracker{};
    m_identified = false;
    m_record.start = IsoUtcNow();
    m_record.portName = portName;
    m_record.device = device;
    for (Function f : options.functions) {
        m_record.requested.push_back(FunctionName(f));
    }
    m_record.imagePath = options.targetFile;
    if (image) {
        m_record.image = image;
        m_display.SetTargetFile(options.targetFile);
        m_display.SetImageSize(image->size);
    }
    m_phases.SetPhaseTexts(DefaultPhaseTexts(options.targetFile));
    m_display.SetListener(this);
}

int ConsoleRun::Finish(int status, bool closePort) {
    Leave(closePort);
    m_phases.End(m_clock.NowMs());
    m_record.phases = m_phases.Phases();
    m_record.model = m_identified ? m_connection.InstrumentModel() : -1;
    m_record.end = IsoUtcNow();
    m_record.exitStatus = status;
    m_display.SetListener(nullptr);
    return status;
}

int ConsoleRun::Run(const Options& options, const std::string& portName,
                    const std::string& device) {
    std::optional<ImageDigest> image;
    if (!options.targetFile.empty()) {
        image = DigestImageFile(options.targetFile);
    }
    Begin(options, portName, device, image);
    m_display.Message("Port " + PortLabel());
    if (!m_connection.OpenPort(device)) {
        m_record.error = m_display.StatusText();
        Error("vantrel: " + m_display.StatusText());
        return Finish(exit_status::kPortUnusable, true);
    }
    if (options.functions.empty()) {
        const WaitResult waited = WaitForInstrument(options.waitSeconds);
        return Finish(waited == WaitResult::OnLine ? exit_status::kSuccess
                                                   : NotIdentified(waited, options.waitSeconds),
                      true);
    }
    return Finish(RunFunctions(options), true);
}

int ConsoleRun::RunFunctions(const Options& options) {
    for (Function function : options.functions) {
        if (!m_connection.OnLine()) {
            const WaitResult waited = WaitForInstrument(options.waitSeconds);
            if (waited != WaitResult::OnLine) {
                return NotIdentified(waited, options.waitSeconds);
            }
        }
        const bool ok = RunFunction(function);
        if (m_port.Interrupted()) {
            m_display.Message(kInterruptedText);
            return exit_status::kInterrupted;
        }
        if (!ok) {
            return exit_status::kFunctionFailed;
        }
    }
    return exit_status::kSuccess;
}

bool ConsoleRun::OpenPort(const std::string& device) {
    return m_connection.OpenPort(device);
}

std::optional<int> ConsoleRun::ServeInstrument(const Options& options,
                                               const std::string& portName,
                                               const std::string& device,
                                               const ImageDigest& image, StationGate& gate) {
    Begin(options, portName, device,
          options.targetFile.empty() ? std::nullopt : std::optional<ImageDigest>(image));
    m_gate = &gate;
    std::optional<int> status;
    if (WaitForInstrument(std::nullopt) == WaitResult::OnLine &&
        gate.TakeInstrument(m_connection.InstrumentModel())) {
        status = Finish(RunFunctions(options), false);
    } else {
        m_display.SetListener(nullptr);
    }
    m_gate = nullptr;
    // Listen for the next reset: the instrument left behind (menu left, restarted, or not
    // taken) announces itself again only when it is reset.
    if (m_connection.OnLine()) {
        m_connection.GoConnectionLost();
    }
    return status;
}

ConsoleRun::WaitResult ConsoleRun::WaitForInstrument(std::optional<int> seconds) {
    m_port.StartObserving();
    m_phases.Begin("identification", m_clock.NowMs(), IsoUtcNow());
    m_display.Message(seconds ? "Waiting up to " + std::to_string(*seconds) +
                                    " s for the instrument to be reset..."
                              : std::string("Waiting for an instrument to be reset..."));
    // Without a bound the wait is cut in slices, so that the station's gate is asked often.
    const std::uint64_t deadline =
        seconds ? m_clock.NowMs() + static_cast<std::uint64_t>(*seconds) * 1000 : UINT64_MAX;
    while (!m_connection.OnLine()) {
        if (m_port.Interrupted() || (!seconds && !m_gate->KeepWaiting())) {
            return WaitResult::Interrupted;
        }
        // A closed port would return from every wait at once: it counts as failed.
        if (m_port.inner().HasFailed() || !m_port.IsOpen()) {
            return WaitResult::PortFailed;
        }
        const std::uint64_t now = m_clock.NowMs();
        if (now >= deadline) {
            return WaitResult::TimedOut;
        }
        if (!m_port.WaitForInput(seconds ? deadline - now : kGateCheckMs)) {
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
    }
    m_phases.End(m_clock.NowMs());
    m_identified = true;
    m_display.Message("Instrument model " + std::to_string(m_connection.InstrumentModel()) +
                      " on " + PortLabel());
    return WaitResult::OnLine;
}

void ConsoleRun::RestartRecord() {
    // A station's port may wait for hours between instruments, and hear a stray prompt or
    // junk meanwhile: the instrument's record begins with the attempt that identifies it.
    m_record.start = IsoUtcNow();
    m_record.statuses.clear();
    m_phases = PhaseTracker{};
    m_phases.SetPhaseTexts(DefaultPhaseTexts(m_record.imagePath));
    m_phases.Begin("identification", m_clock.NowMs(), m_record.start);
}

int ConsoleRun::NotIdentified(WaitResult result, int seconds) {
    m_phases.End(m_clock.NowMs());
    if (result == WaitResult::Interrupted) {
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

bool ConsoleRun::RefusedForChangedImage(UpdateRecord::FunctionEntry& entry) {
    const std::string changed = m_gate != nullptr ? m_gate->ImageChanged() : std::string();
    if (changed.empty()) {
        return false;
    }
    m_display.Message(changed);
    entry.outcome = changed;
    m_record.functions.push_back(entry);
    return true;
}

void ConsoleRun::Select(Function function) {
    // As a click on the function's radio button while On-Line.
    const FunctionTraits traits = TraitsOf(function);
    m_display.CheckFunction(traits.radio);
    m_display.SetRunCaption(LoadString(traits.caption));
    m_display.SetStatus(LoadString(traits.description));
}

void ConsoleRun::SwitchToRestart() {
    m_display.CheckFunction(control_id::kFunctionRestart);
    m_display.SetRunCaption(LoadString(Str::CaptionRestart));
    m_display.FocusRun();
    m_display.SetStatus(LoadString(Str::DescRestart));
}

bool ConsoleRun::RunFunction(Function function) {
    Select(function);
    m_downloadShown = false;
    UpdateRecord::FunctionEntry entry{FunctionName(function), std::nullopt, {}};
    XModemSender sender(m_channel, m_display);
    BootLoader bootLoader(m_connection, sender);
    bool ok = false;

    if (function == Function::Download || function == Function::Auto) {
        if (RefusedForChangedImage(entry)) {
            return false;
        }
        // The window can only choose an existing file; a path typed on the command line is
        // checked here, before anything is erased.
        const std::string& path = m_display.TargetFile();
        ImageFile target = path.empty() ? ImageFile{} : OpenImageFile(path);
        if (!target.file) {
            m_display.Message(LoadString(Str::InvalidTargetFile));
            if (!path.empty()) {
                Error("vantrel: cannot read " + path + ": " + target.error);
            }
            entry.outcome = LoadString(Str::InvalidTargetFile);
            m_record.functions.push_back(entry);
            return false;
        }
        target.file.reset();
        const std::int32_t result = function == Function::Download
                                        ? bootLoader.DownloadProgram()
                                        : static_cast<std::int32_t>(bootLoader.AutoReprogram());
        ok = function == Function::Download ? result >= 0 : result == 0;
        if (ok && m_gate != nullptr) {
            // Changed while it was being sent: what went out may not be the image hashed.
            const std::string changed = m_gate->ImageChanged();
            if (!changed.empty()) {
                m_display.Message(changed);
                ok = false;
            }
        }
        entry.result = result;
        const TransferReport& report = sender.Report();
        if (report.started || report.result != 0) {
            m_record.transfers.push_back({report.started, report.crcMode, report.framesSent,
                                          report.bytesAcknowledged, report.repeatsPerBlock,
                                          report.eotSent, report.result, report.imageError});
        }
        if (m_port.Interrupted() && m_downloadShown) {
            // The sender could not tell the boot loader: its receiver may still be waiting.
            // The cancel goes out on the real port, and the line is let fall quiet, so that
            // the cancel has reached the instrument before the port is closed.
            m_port.inner().Write(kCancel, sizeof kCancel);
            SerialChannel drain(m_port.inner(), m_clock);
            drain.SetTimeoutFactor(m_channel.TimeoutFactor());
            drain.Drain();
        }
    } else {
        std::uint8_t result = 1;
        switch (function) {
            case Function::BlankCheck:
                result = bootLoader.BlankCheck();
                break;
            case Function::MemoryTest:
                result = bootLoader.VerifyProtection();
                break;
            case Function::Erase:
                result = bootLoader.EraseUserArea();
                break;
            default:
                m_phases.Begin("restart", m_clock.NowMs(), IsoUtcNow());
                result = bootLoader.RestartInstrument();
                break;
        }
        entry.result = result;
        ok = result == 0;
    }
    m_phases.End(m_clock.NowMs());

    if (m_port.Interrupted()) {
        entry.outcome = kInterruptedText;
        m_record.functions.push_back(entry);
        return false;
    }
    switch (function) {
        case Function::Download:
        case Function::Auto:
            entry.outcome = LoadString(ok ? Str::DownloadCompleted : Str::DownloadAborted);
            m_display.Message(entry.outcome);
            if (ok) {
                SwitchToRestart();
            }
            break;
        case Function::Restart:
            if (ok) {
                m_connection.GoConnectionLost();
            }
            entry.outcome = LoadString(ok ? Str::Restarting : Str::RestartAborted);
            m_display.Message(entry.outcome);
            break;
        default:
            // The window shows no message for these: their outcome is the status line.
            entry.outcome = m_display.StatusText();
            break;
    }
    m_record.functions.push_back(entry);
    return ok;
}

void ConsoleRun::Leave(bool closePort) {
    if (m_connection.OnLine()) {
        // Through the real port: after a Ctrl-C the watched one writes nothing.
        m_port.inner().Write(reinterpret_cast<const std::uint8_t*>(kExitCommand), 1);
    }
    if (closePort) {
        m_port.inner().Close();
    }
}

}  // namespace vantrel::cli
