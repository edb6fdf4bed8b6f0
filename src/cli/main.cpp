// vantrel: the console front end. Reprograms an instrument from the command line or a
// production script, with the same functions, refusals and outcome texts as the window.

#include <unistd.h>
#include <QCoreApplication>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "console_command.h"
#include "console_run.h"
#include "doctor.h"
#include "job.h"
#include "options.h"
#include "port_listing.h"
#include "real_system_view.h"
#include "serial/clock.h"
#include "serial/port_map.h"
#include "serial/port_memory.h"
#include "serial/qt_serial_port.h"
#include "signals.h"
#include "station.h"

namespace {

using namespace vantrel;
using namespace vantrel::cli;

int ListPortsCommand(const SystemView& view) {
    const std::vector<PortEntry> entries = view.Ports();
    if (entries.empty()) {
        std::fputs("No serial ports found.\n", stderr);
        return exit_status::kSuccess;
    }
    std::fputs(FormatPortList(DescribePorts(entries, view)).c_str(), stdout);
    return exit_status::kSuccess;
}

// Without its eventfds a signal could not wake a wait blocked in poll(): no port is opened then.
int CannotWatchSignals(const std::string& program) {
    std::fprintf(stderr,
                 "%s: cannot watch for Ctrl-C, SIGTERM and SIGHUP (%s); no port was opened\n",
                 program.c_str(), std::strerror(errno));
    return exit_status::kPortUnusable;
}

}  // namespace

int main(int argc, char** argv) {
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationVersion(VANTREL_VERSION);
    const std::string program = "vantrel";
    const std::vector<std::string> args(argv + 1, argv + argc);
    const ParseResult parsed = ParseOptions(args);
    if (!parsed.ok) {
        std::fprintf(stderr, "%s: %s\n\n%s", program.c_str(), parsed.error.c_str(),
                     UsageText(program).c_str());
        return exit_status::kUsage;
    }
    const Options& options = parsed.options;
    // The machine as the port list, the doctor and the jobs read it, opening nothing (but
    // the doctor's --open).
    RealSystemView view;
    switch (options.command) {
        case Options::Command::Help:
            std::fputs(UsageText(program).c_str(), stdout);
            return exit_status::kSuccess;
        case Options::Command::Version:
            std::printf("%s %s\n", program.c_str(), VANTREL_VERSION);
            return exit_status::kSuccess;
        case Options::Command::ListPorts:
            return ListPortsCommand(view);
        case Options::Command::Doctor:
            return RunDoctor(options.doctorPorts, options.doctorOpen, view, stdout);
        case Options::Command::JobCheck:
            return RunJobCheck(options.jobFile, view, stdout, stderr);
        case Options::Command::Station: {
            // "station" comes first: nothing may be given before it.
            const SignalWatch signalWatch(SignalPolicy::Mode::Station);
            if (!signalWatch.Valid()) {
                return CannotWatchSignals(program);
            }
            StationSystem system{[] { return std::make_unique<QtSerialPort>(); }, ListPorts,
                                 ResolvePortName};
            return RunStationCommand(std::vector<std::string>(args.begin() + 1, args.end()),
                                     program, VANTREL_VERSION, std::move(system), signalWatch);
        }
        case Options::Command::Run:
            break;
    }

    const SignalWatch signalWatch(SignalPolicy::Mode::Console);
    if (!signalWatch.Valid()) {
        return CannotWatchSignals(program);
    }
    SteadyClock clock;
    QtSerialPort serial;
    ConsoleSystem system{serial,
                         clock,
                         ListPorts,
                         PortMemoryPath(),
                         ::isatty(STDOUT_FILENO) == 1,
                         &signalWatch.Cancel(),
                         [&signalWatch] { return signalWatch.ExitStatus(); },
                         &view};
    return RunConsoleCommand(options, program, VANTREL_VERSION, system, stdout, stderr);
}
