#pragma once

#include <atomic>
#include <cstdint>

#include "serial/stop_signal.h"

namespace vantrel::cli {

// What SIGINT, SIGTERM and SIGHUP ask of a console run or a station, counted as the operator
// means them. The handler only counts and raises stop signals; the code that owns each line
// cancels the receiver, leaves the menu and writes the record, and the program unwinds.
//
//   level 1: take no new instruments (the station's first Ctrl-C). The console has nothing to
//            wait for but its one instrument, so its first signal goes on to level 2.
//   level 2: cancel running transfers: every session unwinds at once (three CAN, the line let
//            fall quiet, the menu left with "7", the record written).
//   level 3: end at once, should anything still hold the program. Only the third signal
//            counted gets there, in either mode: a cancel takes a few seconds to let the line
//            fall quiet, and an operator who presses Ctrl-C again meanwhile must not lose the
//            cancel and the record.
//
// SIGTERM (a service manager's stop) and SIGHUP (the terminal closed) go straight to level 2:
// nobody is there to press Ctrl-C a second time. A repeat of the same signal within
// kRepeatWindowNs counts once: a Ctrl-C typed under `timeout` reaches the program twice, from
// the terminal and from `timeout`.
class SignalPolicy {
public:
    enum class Mode { Console, Station };
    // Same signal again within this long: the same press of the key (200 ms).
    static constexpr std::int64_t kRepeatWindowNs = 200'000'000;

    explicit SignalPolicy(Mode mode) : m_mode(mode) {}

    // One delivery of `signal` at `nowNs` (CLOCK_MONOTONIC): the level reached afterwards.
    // Async-signal-safe (atomics only).
    int Deliver(int signal, std::int64_t nowNs);

    int Level() const { return m_level.load(); }
    // The signal that brought the level to 2 (or to 1 when it went no further); 0: none.
    int Signal() const { return m_signal.load(); }

private:
    Mode m_mode;
    std::atomic<int> m_level{0};
    std::atomic<int> m_counted{0};  // deliveries counted (repeats within the window are not)
    std::atomic<int> m_signal{0};
    std::atomic<int> m_lastSignal{0};
    std::atomic<std::int64_t> m_lastNs{0};
};

// The stops that SIGINT, SIGTERM and SIGHUP raise, after SignalPolicy, apart from the
// process's handlers: SignalWatch holds the process's one; a test delivers signals to its own.
//
// Thread contract: Deliver() may be called from a signal handler or any thread (atomics and
// eventfd writes only); everything else from any thread.
class SignalStops {
public:
    explicit SignalStops(SignalPolicy::Mode mode) : m_policy(mode) {}
    SignalStops(const SignalStops&) = delete;
    SignalStops& operator=(const SignalStops&) = delete;

    // One delivery of `signal` at `nowNs` (CLOCK_MONOTONIC): raises the stops of the level
    // reached, which it returns.
    int Deliver(int signal, std::int64_t nowNs);

    // Raised at level 1: waits for a reset instrument end at once.
    const StopSignal& NoNewInstruments() const { return m_noNew; }
    // Raised at level 2: every session's waits end at once.
    const StopSignal& Cancel() const { return m_cancel; }
    bool Valid() const { return m_noNew.Valid() && m_cancel.Valid(); }

    int Level() const { return m_policy.Level(); }
    // The exit status after a signal: 128 + the signal that stopped the program (130 for
    // SIGINT, 143 for SIGTERM, 129 for SIGHUP); 0 when no signal came.
    int ExitStatus() const;

private:
    SignalPolicy m_policy;
    StopSignal m_noNew;
    StopSignal m_cancel;
};

// The process's handlers for SIGINT, SIGTERM and SIGHUP, delivering to its SignalStops; SIGPIPE
// and SIGXFSZ are ignored (a reader of the output that goes away, a record past the file-size
// limit must fail a write, not end a run mid-dialogue). One per process, made on the main
// thread before any other thread starts; the stops it raises may be read from any thread.
class SignalWatch {
public:
    explicit SignalWatch(SignalPolicy::Mode mode);
    ~SignalWatch();
    SignalWatch(const SignalWatch&) = delete;
    SignalWatch& operator=(const SignalWatch&) = delete;

    const SignalStops& Stops() const { return m_stops; }
    const StopSignal& NoNewInstruments() const { return m_stops.NoNewInstruments(); }
    const StopSignal& Cancel() const { return m_stops.Cancel(); }
    bool Valid() const { return m_stops.Valid(); }
    int Level() const { return m_stops.Level(); }
    int ExitStatus() const { return m_stops.ExitStatus(); }

private:
    static void Handle(int signal);

    SignalStops m_stops;
};

}  // namespace vantrel::cli
