// `vantrel station`: everything that can be refused is refused before any port is opened;
// then the station serves the ports.

#include <unistd.h>
#include <map>

#include "console_run.h"
#include "job.h"
#include "json_events.h"
#include "serial/trace_file.h"
#include "session/image_file.h"
#include "session/strings.h"
#include "station.h"

namespace vantrel::cli {

namespace {

bool IsComName(const std::string& text) {
    return text.size() > 3 && text.rfind("COM", 0) == 0 &&
           text.find_first_not_of("0123456789", 3) == std::string::npos;
}

// The ports asked for, each with its COM name where it has one.
std::vector<StationPort> NamePorts(const std::vector<std::string>& requested,
                                   const std::vector<PortEntry>& entries) {
    std::vector<StationPort> ports;
    for (const std::string& wanted : requested) {
        StationPort port{IsComName(wanted) ? wanted : std::string(), wanted};
        for (const PortEntry& entry : entries) {
            if (entry.device == wanted && port.name.empty()) {
                port.name = entry.name;
            }
        }
        ports.push_back(port);
    }
    return ports;
}

// Two ports that are one device (an alias and its device, two aliases of one adapter) would
// fight over it for ever: the first such pair, said plainly; empty when there is none. A port
// whose device is missing now cannot be compared, and is tried as it comes.
std::string SameDeviceTwice(const std::vector<StationPort>& ports, const StationSystem& system) {
    std::map<std::uint64_t, std::string> seen;
    for (const StationPort& port : ports) {
        const std::string device = system.resolve(port.requested);
        const auto number = system.deviceNumber(device);
        if (!number) {
            continue;
        }
        const auto [it, added] = seen.emplace(*number, port.requested);
        if (!added) {
            return it->second + " and " + port.requested + " are the same device (" + device +
                   "): name it once";
        }
    }
    return {};
}

// The record as JSON lines appended to one file.
class JsonRecordFile final : public RecordWriter {
public:
    explicit JsonRecordFile(std::string path) : m_path(std::move(path)) {}
    std::string Append(const UpdateRecord& record) override {
        const std::string error = AppendRecordLine(m_path, BuildRecordLine(record));
        return error.empty() ? error : m_path + ": " + error;
    }

private:
    std::string m_path;
};

// The station's machine as a job's slots are resolved (ResolveSlots asks only Resolve and
// Stat): through the same look-ups the station makes at every open, so that a slot leads to
// the device the station will open.
class StationSystemView final : public SystemView {
public:
    explicit StationSystemView(const StationSystem& system) : m_system(system) {}
    std::optional<FileStatus> Stat(const std::string& path) const override {
        const auto number = m_system.deviceNumber(path);
        if (!number) {
            return std::nullopt;
        }
        FileStatus status;
        status.kind = FileStatus::Kind::CharDevice;
        status.rdev = *number;
        return status;
    }
    std::string Resolve(const std::string& nameOrDevice) const override {
        return m_system.resolve(nameOrDevice);
    }
    std::string Canonical(const std::string&) const override { return {}; }
    std::string LinkTarget(const std::string&) const override { return {}; }
    std::optional<std::vector<std::string>> List(const std::string&) const override {
        return std::nullopt;
    }
    std::optional<std::string> Read(const std::string&) const override { return std::nullopt; }
    UserCredentials User() const override { return {}; }
    std::string GroupName(unsigned gid) const override { return std::to_string(gid); }
    int OwnPid() const override { return 0; }
    std::vector<PortEntry> Ports() const override { return m_system.listPorts(); }
    OpenTrial TryOpen(const std::string&) override { return {"not opened here", std::nullopt}; }

private:
    const StationSystem& m_system;
};

// --job: the job's image, functions, models, record, bounds and slots in place of the
// options it fixes (the parser refused those beside it), all checked before any port is
// opened. Every reason it cannot be served, one a line; empty when it can.
std::vector<std::string> TakeJob(StationOptions& options, std::vector<StationPort>& ports,
                                 std::optional<ImageDigest>& image, const StationSystem& system) {
    ReadyJob ready = PrepareJob(options.jobFile, StationSystemView(system));
    if (!ready.job) {
        return ready.errors;
    }
    const Job& job = *ready.job;
    options.targetFile = job.image;
    options.recordFile = job.record;
    options.count = job.count;
    options.waitSeconds = job.waitSeconds;
    options.functions = job.functions;
    options.models = job.models;
    for (const JobSlot& slot : job.fixture) {
        ports.push_back({slot.name, slot.port});
    }
    image = std::move(ready.image);
    return {};
}

}  // namespace

int RunStationCommand(const std::vector<std::string>& args, const std::string& program,
                      const std::string& version, StationSystem system,
                      const SignalStops& signalStops, Clock& clock, const StationIo& io) {
    const StationParseResult parsed = ParseStationOptions(args);
    if (!parsed.ok) {
        std::fprintf(io.err, "%s station: %s\n\n%s", program.c_str(), parsed.error.c_str(),
                     StationUsageText(program).c_str());
        return exit_status::kUsage;
    }
    StationOptions options = parsed.options;
    if (options.help) {
        std::fputs(StationUsageText(program).c_str(), io.out);
        return exit_status::kSuccess;
    }
    auto refuse = [&](const std::string& why) {
        std::fprintf(io.err, "%s station: %s\n", program.c_str(), why.c_str());
        return exit_status::kUsage;
    };
    std::vector<StationPort> ports;
    std::optional<ImageDigest> image;
    if (!options.jobFile.empty()) {
        const std::vector<std::string> errors = TakeJob(options, ports, image, system);
        for (const std::string& error : errors) {
            std::fprintf(io.err, "%s station: %s\n", program.c_str(), error.c_str());
        }
        if (!errors.empty()) {
            return refuse("the job cannot be served; no port was opened");
        }
    } else if (options.ports.empty()) {
        // Every port of the machine may belong to another bench: the station is told its own.
        return refuse("name the ports with --port (\"" + program + " ports\" lists them)");
    } else {
        ports = NamePorts(options.ports, system.listPorts());
    }
    if (const std::string twice = SameDeviceTwice(ports, system); !twice.empty()) {
        return refuse(twice);
    }
    if (!options.targetFile.empty() && !image) {
        // An empty image would have every instrument erased for nothing.
        std::string why = UnusableTarget(options.targetFile);
        if (why.empty()) {
            image = DigestImageFile(options.targetFile);
            why = image->error;
        }
        if (!why.empty()) {
            return refuse(LoadString(Str::InvalidTargetFile) + ": " + options.targetFile + ": " +
                          why);
        }
    }
    // A trace folder that cannot take trace files would be found so only once an instrument
    // failed. A folder given is looked at before the record file is made, so that its refusal
    // leaves nothing behind; the record's own folder once the record has said what is wrong
    // with it, if anything.
    const std::string traceFolder = TraceFolderOf(options);
    const bool besideRecord = options.traceFolder.empty() && !traceFolder.empty();
    const std::string traceProblem = traceFolder.empty() ? std::string()
                                                         : TraceFolderProblem(traceFolder);
    if (!besideRecord && !traceProblem.empty()) {
        return refuse(traceProblem);
    }
    // A record that cannot be written would be found missing only after the instruments.
    std::optional<JsonRecordFile> records;
    if (!options.recordFile.empty()) {
        if (const std::string why = PrepareRecordFile(options.recordFile); !why.empty()) {
            return refuse("the update record " + options.recordFile + " cannot be written: " +
                          why);
        }
        records.emplace(options.recordFile);
    }
    if (besideRecord && !traceProblem.empty()) {
        return refuse(traceProblem + " (the record's folder: name another with --trace-dir)");
    }
    // With --json the standard output is the event lines', and the text goes to stderr as
    // lines: a board redrawn in place would garble a log.
    EventLines lines(io.out);
    JsonStation json(lines, clock);
    StationBoard board(options.json ? io.err : io.out, io.terminal && !options.json, io.size);
    Station station(options, program + " " + version, image ? &*image : nullptr,
                    std::move(system), board, signalStops, clock, records ? &*records : nullptr);
    if (options.json) {
        station.SetEvents(&json);
    }
    return station.Run(ports);
}

int RunStationCommand(const std::vector<std::string>& args, const std::string& program,
                      const std::string& version, StationSystem system,
                      const SignalWatch& signalWatch) {
    SteadyClock clock;
    StationIo io;
    io.terminal = ::isatty(STDOUT_FILENO) == 1;
    return RunStationCommand(args, program, version, std::move(system), signalWatch.Stops(),
                             clock, io);
}

}  // namespace vantrel::cli
