#include "signals.h"

#include <signal.h>
#include <time.h>

#include <algorithm>

namespace vantrel::cli {

namespace {

constexpr int kHandled[] = {SIGINT, SIGTERM, SIGHUP};

// The one watch of the process, for the handler.
std::atomic<SignalWatch*> g_watch{nullptr};

std::int64_t MonotonicNs() {
    timespec now{};
    ::clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::int64_t>(now.tv_sec) * 1'000'000'000 + now.tv_nsec;
}

}  // namespace

int SignalPolicy::Deliver(int signal, std::int64_t nowNs) {
    const bool repeat = m_lastSignal.load() == signal && m_lastNs.load() != 0 &&
                        nowNs - m_lastNs.load() < kRepeatWindowNs;
    m_lastSignal = signal;
    m_lastNs = nowNs;
    if (repeat) {
        return m_level.load();
    }
    const int before = m_level.load();
    const int counted = m_counted.load() + 1;
    m_counted = counted;
    int level = std::min(counted, 3);
    if (signal != SIGINT || m_mode == Mode::Console) {
        level = std::max(level, 2);
    }
    level = std::max(level, before);
    m_level = level;
    if (before < 2 && (level >= 2 || m_signal.load() == 0)) {
        m_signal = signal;
    }
    return level;
}

int SignalStops::Deliver(int signal, std::int64_t nowNs) {
    const int level = m_policy.Deliver(signal, nowNs);
    if (level >= 1) {
        m_noNew.Raise();
    }
    if (level >= 2) {
        m_cancel.Raise();
    }
    return level;
}

int SignalStops::ExitStatus() const {
    const int signal = m_policy.Signal();
    return signal == 0 ? 0 : 128 + signal;
}

SignalWatch::SignalWatch(SignalPolicy::Mode mode) : m_stops(mode) {
    g_watch = this;
    struct sigaction action {};
    action.sa_handler = &SignalWatch::Handle;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    for (int signal : kHandled) {
        ::sigaction(signal, &action, nullptr);
    }
    ::signal(SIGXFSZ, SIG_IGN);
    ::signal(SIGPIPE, SIG_IGN);
}

SignalWatch::~SignalWatch() {
    for (int signal : kHandled) {
        ::signal(signal, SIG_DFL);
    }
    g_watch = nullptr;
}

void SignalWatch::Handle(int signal) {
    SignalWatch* watch = g_watch.load();
    if (watch == nullptr) {
        return;
    }
    if (watch->m_stops.Deliver(signal, MonotonicNs()) >= 3) {
        // Nothing has let go by now: the signal's own default ends the program.
        ::signal(signal, SIG_DFL);
        ::raise(signal);
    }
}

}  // namespace vantrel::cli
