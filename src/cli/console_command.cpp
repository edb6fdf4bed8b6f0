#include "console_command.h"

#include <sys/stat.h>
#include <algorithm>
#include <utility>

#include "console_display.h"
#include "console_run.h"
#include "line_watch.h"
#include "serial/port_memory.h"
#include "serial/trace_file.h"
#include "serial/tracing_port.h"
#include "session/image_file.h"
#include "session/strings.h"
#include "session/trace_events.h"
#include "update_record.h"

namespace vantrel::cli {

namespace {

struct ChosenPort {
    std::string name;
    std::string device;
    std::string error;
    int status = exit_status::kPortUnusable;  // the exit status when `error` is set
};

// True when the remembered token is `name` itself and not merely its beginning (the window's
// memory takes "COM1" for COM10 once COM1 is gone). A shorter token also begins `name` less
// its last letter; `name` itself does not.
bool RememberedExactly(const std::string& path, const std::string& name) {
    return LoadPortMemory(path, {name.substr(0, name.size() - 1)}, -1) < 0;
}

// The port of --port, or the remembered one (read only, never written here).
ChosenPort ChoosePort(const std::string& requested, const ConsoleSystem& system) {
    const std::vector<PortEntry> entries = system.listPorts();
    ChosenPort chosen;
    if (!requested.empty()) {
        chosen.device = ResolvePort(entries, requested);
        if (chosen.device.empty()) {
            chosen.name = requested;
            chosen.error = requested +
                           " stands for no serial port on this machine (see \"vantrel "
                           "ports\")";
            return chosen;
        }
        for (const PortEntry& entry : entries) {
            if (entry.name == requested ||
                (chosen.device == requested && entry.device == requested)) {
                chosen.name = entry.name;
                break;
            }
        }
        return chosen;
    }
    // Without --port only a port the operator chose before is opened: on a bench with several
    // instruments any other one belongs to somebody else.
    std::vector<std::string> names;
    for (const PortEntry& entry : entries) {
        names.push_back(entry.name);
    }
    const int selected = LoadPortMemory(system.portMemoryPath, names, -1);
    if (selected < 0 ||
        !RememberedExactly(system.portMemoryPath, names[static_cast<std::size_t>(selected)])) {
        chosen.status = exit_status::kUsage;
        chosen.error =
            "no port given, and no remembered port that this machine has: choose "
            "one with --port (\"vantrel ports\" lists them)";
        return chosen;
    }
    chosen.name = entries[static_cast<std::size_t>(selected)].name;
    chosen.device = entries[static_cast<std::size_t>(selected)].device;
    return chosen;
}

bool Downloads(const Options& options) {
    return std::any_of(options.functions.begin(), options.functions.end(),
                       [](Function f) { return f == Function::Download || f == Function::Auto; });
}

// The record of a run that never opened its port.
UpdateRecord PortNotChosen(const Options& options, const ChosenPort& port,
                           const std::optional<ImageDigest>& image) {
    UpdateRecord record;
    record.start = IsoUtcNow();
    record.portName = port.name;
    for (Function f : options.functions) {
        record.requested.push_back(FunctionName(f));
    }
    record.imagePath = options.targetFile;
    record.image = image;
    record.error = port.error;
    record.end = record.start;
    record.exitStatus = port.status;
    return record;
}

// The run's wire trace (--trace): the trace into its file, the port around the real one that
// feeds it, and the session's events into it, made together once the port is chosen.
struct RunTrace {
    RunTrace(TraceFile& file, Clock& clock, TraceDetail detail, const std::string& label,
             Port& port)
        : trace(file, clock, detail, label), tracingPort(port, trace), events(trace) {}
    WireTrace trace;
    TracingPort tracingPort;
    TraceEvents events;
};

// Why --trace cannot name the file it names, found before it is opened (which empties it):
// the target file or the record file would be lost. Empty when it names neither.
std::string TraceClash(const Options& options) {
    struct stat trace {};
    if (::stat(options.traceFile.c_str(), &trace) != 0 || !S_ISREG(trace.st_mode)) {
        return {};
    }
    const std::pair<const std::string*, const char*> others[] = {
        {&options.targetFile, "the target file"}, {&options.recordFile, "the update record"}};
    for (const auto& [path, what] : others) {
        struct stat other {};
        if (!path->empty() && ::stat(path->c_str(), &other) == 0 && other.st_dev == trace.st_dev &&
            other.st_ino == trace.st_ino) {
            return "Cannot write the trace to \"" + options.traceFile + "\": it is " + what;
        }
    }
    return {};
}

// Opens the trace file of --trace, when there is one; why it cannot be used otherwise.
std::string OpenTraceFile(const Options& options, TraceFile& file) {
    if (options.traceFile.empty()) {
        return {};
    }
    if (std::string clash = TraceClash(options); !clash.empty()) {
        return clash;
    }
    return file.Open(options.traceFile) ? std::string() : file.ErrorText();
}

}  // namespace

std::string StartRefusal(const Options& options, std::optional<ImageDigest>& image) {
    const std::string invalid = LoadString(Str::InvalidTargetFile) + ": ";
    if (Downloads(options) && options.targetFile.empty()) {
        return invalid + "download and auto need the image: give it with --file";
    }
    if (!options.targetFile.empty()) {
        if (Downloads(options)) {
            if (const std::string why = UnusableTarget(options.targetFile); !why.empty()) {
                return invalid + options.targetFile + ": " + why;
            }
        }
        image = DigestImageFile(options.targetFile);
        if (Downloads(options) && !image->ok) {
            return invalid + options.targetFile + ": " + image->error;
        }
    }
    // Last: it creates the file, which a run refused for its image should not leave behind.
    if (!options.recordFile.empty()) {
        if (const std::string why = PrepareRecordFile(options.recordFile); !why.empty()) {
            return "the update record " + options.recordFile + " cannot be written: " + why;
        }
    }
    return {};
}

int RunConsoleCommand(const Options& options, const std::string& program,
                      const std::string& version, ConsoleSystem& system, std::FILE* out,
                      std::FILE* err) {
    std::optional<ImageDigest> image;
    std::string refusal = StartRefusal(options, image);
    // The trace file after the others: opening it empties it, which a run refused for its
    // image should not do.
    TraceFile traceFile;
    if (refusal.empty()) {
        refusal = OpenTraceFile(options, traceFile);
    }
    if (!refusal.empty()) {
        std::fprintf(err, "%s: %s\n", program.c_str(), refusal.c_str());
        return exit_status::kUsage;
    }

    const ChosenPort port = ChoosePort(options.port, system);
    int status = port.status;
    UpdateRecord record;
    if (!port.error.empty()) {
        std::fprintf(err, "%s: %s\n", program.c_str(), port.error.c_str());
        record = PortNotChosen(options, port, image);
    } else {
        std::optional<RunTrace> trace;
        if (!options.traceFile.empty()) {
            trace.emplace(traceFile, system.clock,
                          options.traceBytes ? TraceDetail::Bytes : TraceDetail::Frames,
                          port.name.empty() ? port.device : port.name + " (" + port.device + ")",
                          system.port);
        }
        WatchedPort watched(trace ? trace->tracingPort : system.port);
        ConsoleDisplay display(out, system.terminal, system.clock);
        ConsoleRun run(watched, system.clock, display, err, system.cancel);
        if (trace) {
            run.AddObserver(trace->events);
        }
        status = run.Run(options, port.name, port.device, image ? &*image : nullptr);
        const int signalStatus = system.signalStatus ? system.signalStatus() : 0;
        if (status == exit_status::kInterrupted && signalStatus != 0) {
            status = signalStatus;
        }
        record = run.Record();
        record.exitStatus = status;
        if (trace) {
            // A trace that could not be written is said, and leaves the run's status as it is.
            trace->trace.Settle();
            record.trace = options.traceFile;
            record.traceError = traceFile.ErrorText();
            if (!record.traceError.empty()) {
                std::fflush(out);
                std::fprintf(err, "%s: %s\n", program.c_str(), record.traceError.c_str());
            }
        }
    }

    if (!options.recordFile.empty()) {
        record.program = program + " " + version;
        const std::string error = AppendRecordLine(options.recordFile, BuildRecordLine(record));
        if (!error.empty()) {
            // Said last, after everything the run printed: a script reading the end of the
            // output must not miss it.
            std::fflush(out);
            std::fprintf(err, "%s: the update record %s was not written: %s\n", program.c_str(),
                         options.recordFile.c_str(), error.c_str());
            std::fflush(err);
            if (status == exit_status::kSuccess) {
                status = exit_status::kRecordNotWritten;
            }
        }
    }
    return status;
}

}  // namespace vantrel::cli
