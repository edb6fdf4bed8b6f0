#include "console_command.h"

#include <sys/stat.h>
#include <algorithm>
#include <utility>

#include "console_display.h"
#include "console_run.h"
#include "job.h"
#include "json_events.h"
#include "line_watch.h"
#include "serial/port_memory.h"
#include "serial/trace_file.h"
#include "serial/tracing_port.h"
#include "session/image_file.h"
#include "session/strings.h"
#include "session/trace_events.h"
#include "station_board.h"
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

// The record of a run that never opened its port.
UpdateRecord PortNotChosen(const Options& options, const ChosenPort& port,
                           const std::optional<ImageDigest>& image) {
    UpdateRecord record;
    record.start = UtcNowIso();
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

// --job: the job's one slot, image, functions, models, record and wait in place of the
// options it fixes (the parser refused those beside it). Every reason it cannot run, one a
// line, found before any port is opened; empty when it can.
std::vector<std::string> TakeJob(Options& options, std::optional<ImageDigest>& image,
                                 const SystemView* view) {
    if (view == nullptr) {
        return {"--job cannot be used here"};
    }
    ReadyJob ready = PrepareJob(options.jobFile, *view);
    if (!ready.job) {
        return ready.errors;
    }
    const Job& job = *ready.job;
    if (job.fixture.size() != 1) {
        return {job.path + ": the console serves one slot, and this job has " +
                std::to_string(job.fixture.size()) + ": serve it with \"vantrel station --job " +
                job.path + "\""};
    }
    options.port = job.fixture.front().port;
    options.portName = job.fixture.front().name;
    options.targetFile = job.image;
    options.recordFile = job.record;
    options.functions = job.functions;
    options.models = job.models;
    // The station's idle bound is, for the one instrument of the console, its wait for the
    // reset.
    options.waitSeconds = job.waitSeconds > 0 ? job.waitSeconds : kDefaultWaitSeconds;
    image = std::move(ready.image);
    if (!options.recordFile.empty()) {
        if (const std::string why = PrepareRecordFile(options.recordFile); !why.empty()) {
            return {"the update record " + options.recordFile + " cannot be written: " + why};
        }
    }
    return {};
}

// What the run's last event line says of it.
void TellOutcome(JsonEvents& json, EventLines& lines, const std::string& port,
                 const UpdateRecord& record, int status) {
    if (!record.declined.empty()) {
        json.Declined(record.declined);
    }
    std::string text = record.declined;
    std::optional<std::int32_t> result;
    if (text.empty() && !record.functions.empty()) {
        text = LastResult(record.functions.back().outcome, record.functions.back().reason);
        result = record.functions.back().result;
    } else if (text.empty() && record.diagnosis) {
        text = record.diagnosis->text;
    } else if (text.empty()) {
        text = record.error;
    }
    json.InstrumentOutcome(status == exit_status::kSuccess, text, result, status);
    // An instrument identified is handled, unless the job declined it.
    const bool handled = record.model >= 0 && record.declined.empty();
    const bool done = handled && status == exit_status::kSuccess;
    lines.Summary(port, done ? 1 : 0, handled && !done ? 1 : 0, record.declined.empty() ? 0 : 1,
                  status);
}

}  // namespace

std::string StartRefusal(const Options& options, std::optional<ImageDigest>& image) {
    const std::string invalid = LoadString(Str::InvalidTargetFile) + ": ";
    if (Downloads(options.functions) && options.targetFile.empty()) {
        return invalid + "download and auto need the image: give it with --file";
    }
    if (!options.targetFile.empty()) {
        if (Downloads(options.functions)) {
            if (const std::string why = UnusableTarget(options.targetFile); !why.empty()) {
                return invalid + options.targetFile + ": " + why;
            }
        }
        image = DigestImageFile(options.targetFile);
        if (Downloads(options.functions) && !image->ok) {
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

int RunConsoleCommand(const Options& given, const std::string& program,
                      const std::string& version, ConsoleSystem& system, std::FILE* out,
                      std::FILE* err) {
    Options options = given;
    std::optional<ImageDigest> image;
    std::string refusal;
    if (!options.jobFile.empty()) {
        const std::vector<std::string> errors = TakeJob(options, image, system.view);
        for (const std::string& error : errors) {
            std::fprintf(err, "%s: %s\n", program.c_str(), error.c_str());
        }
        if (!errors.empty()) {
            std::fprintf(err, "%s: the job cannot be run; no port was opened\n",
                         program.c_str());
            return exit_status::kUsage;
        }
    } else {
        refusal = StartRefusal(options, image);
    }
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

    ChosenPort port = ChoosePort(options.port, system);
    if (!options.portName.empty()) {
        // The slot's name is the port's name everywhere.
        port.name = options.portName;
    }
    // With --json the standard output is the event lines', and the text goes to stderr.
    std::FILE* text = options.json ? err : out;
    EventLines lines(out);
    const std::string shown = port.name.empty() ? port.device : port.name;
    JsonEvents json(lines, shown, system.clock);
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
        ConsoleDisplay display(text, system.terminal && !options.json, system.clock);
        ConsoleRun run(watched, system.clock, display, err, system.cancel);
        if (trace) {
            run.AddObserver(trace->events);
        }
        if (options.json) {
            run.AddObserver(json);
            run.SetRunEvents(&json);
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
                std::fflush(text);
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
            std::fflush(text);
            std::fprintf(err, "%s: the update record %s was not written: %s\n", program.c_str(),
                         options.recordFile.c_str(), error.c_str());
            std::fflush(err);
            if (status == exit_status::kSuccess) {
                status = exit_status::kRecordNotWritten;
            }
        }
    }
    if (options.json) {
        TellOutcome(json, lines, shown, record, status);
    }
    return status;
}

}  // namespace vantrel::cli
