#include "console_run.h"

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

}  // namespace

ConsoleRun::ConsoleRun(WatchedPort& port, Clock& clock, ConsoleDisplay& display, std::FILE* errors)
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
    std::fputs((text + "\n").c_str(), m_errors);
    std::fflush(m_errors);
}

std::string ConsoleRun::PortLabel() const {
    if (m_record.portName.empty()) {
        return m_record.device;
    }
    return m_record.portName + " (" + m_record.device + ")";
}

int ConsoleRun::Run(const Options& options, const std::string& portName,
                    const std::string& device) {
    m_record.start = IsoUtcNow();
    m_record.portName = portName;
    m_record.device = device;
    for (Function f : options.functions) {
        m_record.requested.push_back(FunctionName(f));
    }
    m_record.imagePath = options.targetFile;
    if (!options.targetFile.empty()) {
        const ImageDigest image = DigestImageFile(options.targetFile);
        m_record.image = image;
        m_display.SetTargetFile(options.targetFile);
        m_display.SetImageSize(image.size);
    }
    m_phases.SetPhaseTexts(DefaultPhaseTexts(options.targetFile));
    m_display.SetListener(this);

    auto finish = [this](int status) {
        Leave();
        m_phases.End(m_clock.NowMs());
        m_record.phases = m_phases.Phases();
        m_record.model = m_identified ? m_connection.InstrumentModel() : -1;
        m_record.end = IsoUtcNow();
        m_record.exitStatus = status;
        m_display.SetListener(nullptr);
        return status;
    };

    m_display.Message("Port " + PortLabel());
    if (!m_connection.OpenPort(device)) {
        m_record.error = m_display.StatusText();
        Error("vantrel: " + m_display.StatusText());
        return finish(exit_status::kPortUnusable);
    }

    if (options.functions.empty()) {
        const WaitResult waited = WaitForInstrument(options.waitSeconds);
        return finish(waited == WaitResult::OnLine ? exit_status::kSuccess
                                                   : NotIdentified(waited, options.waitSeconds));
    }
    for (Function function : options.functions) {
        if (!m_connection.OnLine()) {
            const WaitResult waited = WaitForInstrument(options.waitSeconds);
            if (waited != WaitResult::OnLine) {
                return finish(NotIdentified(waited, options.waitSeconds));
            }
        }
        const bool ok = RunFunction(function);
        if (m_port.Interrupted()) {
            m_display.Message(kInterruptedText);
            return finish(exit_status::kInterrupted);
        }
        if (!ok) {
            return finish(exit_status::kFunctionFailed);
        }
    }
    return finish(exit_status::kSuccess);
}

ConsoleRun::WaitResult ConsoleRun::WaitForInstrument(int seconds) {
    m_port.StartObserving();
    m_phases.Begin("identification", m_clock.NowMs(), IsoUtcNow());
    m_display.Message("Waiting up to " + std::to_string(seconds) +
                      " s for the instrument to be reset...");
    const std::uint64_t deadline = m_clock.NowMs() + static_cast<std::uint64_t>(seconds) * 1000;
    while (!m_connection.OnLine()) {
        if (m_port.Interrupted()) {
            return WaitResult::Interrupted;
        }
        if (m_port.inner().HasFailed()) {
            return WaitResult::PortFailed;
        }
        const std::uint64_t now = m_clock.NowMs();
        if (now >= deadline) {
            return WaitResult::TimedOut;
        }
        if (!m_port.WaitForInput(deadline - now)) {
            continue;
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

void ConsoleRun::Leave() {
    if (m_connection.OnLine()) {
        // Through the real port: after a Ctrl-C the watched one writes nothing.
        m_port.inner().Write(reinterpret_cast<const std::uint8_t*>(kExitCommand), 1);
    }
    m_port.inner().Close();
}

}  // namespace vantrel::cli
