// vantrel-relay: a faulty line between the program and an instrument, for tests and soaks.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <cstdio>
#include <random>
#include <string>
#include <vector>

#include "relay.h"
#include "relay_options.h"

namespace {

int g_signalPipe[2] = {-1, -1};

void OnSignal(int signal) {
    const unsigned char byte = static_cast<unsigned char>(signal);
    // Nothing to do if the pipe is full: a terminating signal is already waiting in it.
    [[maybe_unused]] const ssize_t n = write(g_signalPipe[1], &byte, 1);
}

bool InstallSignals() {
    if (pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0) {
        return false;
    }
    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigemptyset(&action.sa_mask);
    for (int signal : {SIGTERM, SIGINT, SIGHUP, SIGUSR1}) {
        if (sigaction(signal, &action, nullptr) != 0) {
            return false;
        }
    }
    signal(SIGPIPE, SIG_IGN);
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vantrel::relay;
    std::string error;
    const auto options = ParseRelayOptions(std::vector<std::string>(argv + 1, argv + argc), error);
    if (!options) {
        std::fputs(RelayUsage(), error.empty() ? stdout : stderr);
        if (!error.empty()) {
            std::fprintf(stderr, "vantrel-relay: %s\n", error.c_str());
        }
        return error.empty() ? 0 : 2;
    }
    if (!InstallSignals()) {
        std::perror("vantrel-relay: signals");
        return 1;
    }
    const std::uint64_t seed =
        options->seed ? *options->seed
                      : (std::uint64_t{std::random_device{}()} << 32 | std::random_device{}());
    Relay relay(*options, seed);
    if (!relay.Start(error)) {
        std::fprintf(stderr, "vantrel-relay: %s\n", error.c_str());
        return 1;
    }
    const int status = relay.Run(g_signalPipe[0]);
    relay.PrintStats();
    return status;
}
