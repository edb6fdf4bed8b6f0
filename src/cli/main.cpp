// vantrel: the console front end. Reprograms an instrument from the command line or a
// production script, with the same functions, refusals and outcome texts as the window.

#include <unistd.h>
#include <QCoreApplication>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "console_display.h"
#include "console_run.h"
#include "line_watch.h"
#include "options.h"
#include "serial/clock.h"
#include "serial/port_map.h"
#include "serial/qt_serial_port.h"
#include "signals.h"
#include "station.h"
#include "ui/port_memory.h"
#include "update_record.h"

namespace {

using namespace vantrel;
using namespace vantrel::cli;

int ListPortsCommand() {
    const std::vector<PortEntry> entries = ListPorts();
    if (entries.empty()) {
        std::fputs("No serial ports found.\n", stderr);
        return exit_status::kSuccess;
    }
    for (const PortEntry& entry : entries) {
        std::printf("%-6s %s\n", entry.name.c_str(), entry.device.c_str());
    }
    return exit_status::kSuccess;
}

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
ChosenPort ChoosePort(const std::string& requested) {
    const std::vector<PortEntry> entries = ListPorts();
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
    const std::string memory = PortMemoryPath();
    const int selected = LoadPortMemory(memory, names, -1);
    if (selected < 0 || !RememberedExactly(memory, names[static_cast<std::size_t>(selected)])) {
        chosen.status = exit_status::kUsage;
        chosen.error = "no port given, and no remembered port that this machine has: choose "
                       "one with --port (\"vantrel ports\" lists them)";
        return chosen;
    }
    chosen.name = entries[static_cast<std::size_t>(selected)].name;
    chosen.device = entries[static_cast<std::size_t>(selected)].device;
    return chosen;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(VANTREL_VERSION);
    const std::string program = "vantrel";
    std::vector<std::string> args(argv + 1, argv + argc);
    if (!args.empty() && args.front() == "station") {
        const SignalWatch signalWatch(SignalPolicy::Mode::Station);
        StationSystem system{[] { return std::make_unique<QtSerialPort>(); }, ListPorts,
                             ResolvePortName};
        return RunStationCommand(std::vector<std::string>(args.begin() + 1, args.end()), program,
                                 VANTREL_VERSION, std::move(system), signalWatch);
    }
    const ParseResult parsed = ParseOptions(args);
    if (!parsed.ok) {
        std::fprintf(stderr, "%s: %s\n\n%s", program.c_str(), parsed.error.c_str(),
                     UsageText(program).c_str());
        return exit_status::kUsage;
    }
    const Options& options = parsed.options;
    if (options.command == Options::Command::Help) {
        std::fputs(UsageText(program).c_str(), stdout);
        return exit_status::kSuccess;
    }
    if (options.command == Options::Command::Version) {
        std::printf("%s %s\n", program.c_str(), VANTREL_VERSION);
        return exit_status::kSuccess;
    }
    if (options.command == Options::Command::ListPorts) {
        return ListPortsCommand();
    }

    const SignalWatch signalWatch(SignalPolicy::Mode::Console);
    const ChosenPort port = ChoosePort(options.port);
    SteadyClock clock;
    QtSerialPort serial;
    WatchedPort watched(serial);
    ConsoleDisplay display(stdout, ::isatty(STDOUT_FILENO) == 1, clock);
    ConsoleRun run(watched, clock, display, stderr, &signalWatch.Cancel());
    std::optional<ImageDigest> image;
    if (!options.targetFile.empty()) {
        image = DigestImageFile(options.targetFile);
    }

    int status = exit_status::kPortUnusable;
    UpdateRecord record;
    if (!port.error.empty()) {
        std::fprintf(stderr, "%s: %s\n", program.c_str(), port.error.c_str());
        record.start = IsoUtcNow();
        record.portName = port.name;
        for (Function f : options.functions) {
            record.requested.push_back(FunctionName(f));
        }
        record.imagePath = options.targetFile;
        record.error = port.error;
        record.end = record.start;
        status = port.status;
        record.exitStatus = status;
    } else {
        status = run.Run(options, port.name, port.device, image ? &*image : nullptr);
        if (status == exit_status::kInterrupted && signalWatch.ExitStatus() != 0) {
            status = signalWatch.ExitStatus();
        }
        record = run.Record();
    }

    if (!options.recordFile.empty()) {
        record.program = program + " " + QCoreApplication::applicationVersion().toStdString();
        const std::string error = AppendRecordLine(options.recordFile, BuildRecordLine(record));
        if (!error.empty()) {
            std::fprintf(stderr, "%s: the update record %s was not written: %s\n", program.c_str(),
                         options.recordFile.c_str(), error.c_str());
        }
    }
    return status;
}
