#include <cstdio>
#include <cstring>

#include "app/vantrel_distribution_app.h"

namespace {

// --version and --help answer on stdout without starting the window system, so they work
// where no display is (a package check, a terminal on another machine).
bool AnswerInformationSwitch(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::strcmp(argv[i], "--version") == 0) {
            std::puts("VantrelDistribution " VANTREL_VERSION);
            return true;
        }
        if (std::strcmp(argv[i], "--help") == 0) {
            std::fputs(
                "Usage: VantrelDistribution [-Embedding | -Automation] [--trace FILE]\n"
                "The operator's window: reprograms a measuring instrument over RS-232.\n"
                "  -Embedding    started by the session bus for an automation client\n"
                "  -Automation   started to serve automation clients\n"
                "  --trace FILE  write every byte on the line, each way, into FILE\n"
                "  --version     print the version\n"
                "The manual page: man VantrelDistribution\n",
                stdout);
            return true;
        }
    }
    return false;
}

}  // namespace

int main(int argc, char** argv) {
    if (AnswerInformationSwitch(argc, argv)) {
        return 0;
    }
    CVantrelDistributionApp app(argc, argv);
    app.InitInstance();
    return app.ExitInstance();
}
