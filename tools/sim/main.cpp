// vantrel-sim: a simulated instrument boot loader on a pseudo-terminal (see README.md).
#include <QCoreApplication>
#include <QStringList>
#include <cstdio>
#include <string>

#include "boot_loader_sim.h"
#include "pty_line.h"
#include "sim_options.h"
#include "sim_trace.h"

using namespace vantrel::sim;

namespace {

QStringList Arguments(int argc, char** argv) {
    QStringList arguments;
    for (int i = 1; i < argc; ++i) {
        arguments << QString::fromLocal8Bit(argv[i]);
    }
    return arguments;
}

// Writes the report files; a test waiting for a report mid-run watches stdout for this line.
bool WriteOutputs(const BootLoaderSim& sim, const SimOptions& options) {
    std::string error;
    if (!sim.WriteOutputs(error)) {
        std::fprintf(stderr, "vantrel-sim: %s\n", error.c_str());
        return false;
    }
    if (!options.reportPath.empty()) {
        std::printf("REPORT %s\n", options.reportPath.c_str());
        std::fflush(stdout);
    }
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    // Only for the help and version texts: the simulator runs its own poll loop.
    QCoreApplication application(argc, argv);
    QCoreApplication::setApplicationVersion(VANTREL_VERSION);
    SimOptions options;
    QString error;
    QString help;
    if (!ParseOptions(Arguments(argc, argv), options, error, help)) {
        if (!help.isEmpty()) {
            std::fputs(help.toLocal8Bit().constData(), stdout);
            return 0;
        }
        std::fprintf(stderr, "vantrel-sim: %s\n", error.toLocal8Bit().constData());
        return 2;
    }
    SetTracing(options.verbose);

    PtyLine line({options.baud, options.watchStdin, options.resetOnOpen});
    std::string failure;
    if (!line.Open(failure) || (!options.portAlias.empty() &&
                                !line.PlaceAlias(PortAliasFolder(), options.portAlias, failure))) {
        std::fprintf(stderr, "vantrel-sim: %s\n", failure.c_str());
        return 1;
    }
    BootLoaderSim sim(options, line);
    sim.PowerOn();
    // The first line of stdout names the port; whoever started the simulator waits for it.
    std::printf("PTY %s\n", line.SlavePath().c_str());
    std::fflush(stdout);

    line.SetReportHandler([&sim, &options] { WriteOutputs(sim, options); });
    sim.Run();
    const bool written = WriteOutputs(sim, options);
    line.RemoveAlias();
    return written ? 0 : 1;
}
