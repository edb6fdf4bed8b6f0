#pragma once

#include <sys/types.h>
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "image_digest.h"
#include "signals.h"
#include "serial/port.h"
#include "serial/port_map.h"
#include "serial/stop_signal.h"
#include "station_board.h"
#include "station_options.h"
#include "update_record.h"

namespace vantrel::cli {

// Bounds of the station, in milliseconds.
namespace station_limits {
// Between two tries to open a port whose device is missing: an adapter plugged back in is
// found within this time, and a missing one costs one open call per period.
inline constexpr std::uint64_t kRetryMs = 3000;
// Between two drawings of the board (and two looks at Ctrl-C and the idle bound): fast enough
// for a transfer's figures to look live, slow enough to cost nothing next to the transfers.
inline constexpr std::uint64_t kTickMs = 250;
}  // namespace station_limits

// The text a port shows when it refuses to download an image that has changed.
inline constexpr const char* kImageChangedText = "Target file changed since the station started";

// What the station needs of the machine: a fresh serial port for each port's thread (made on
// that thread), the machine's COM names (once, at the start), and the device behind one name
// now (at every open; it must not open other ports' devices).
struct StationSystem {
    std::function<std::unique_ptr<Port>()> makePort;
    std::function<std::vector<PortEntry>()> listPorts;
    std::function<std::string(const std::string&)> resolve;
};

// A port the station serves: its COM name (may be empty) and what was asked for it.
struct StationPort {
    std::string name;
    std::string requested;  // COM name or device path, resolved anew at every open
};

// Station mode: one thread per port, each with its own port, channel, connection and sender,
// running the console's functions on every instrument reset on that port; the board and the
// record are the only state they share.
class Station {
public:
    // `signalWatch` counts Ctrl-Cs: the first stops taking new instruments, the second (or
    // SIGTERM, SIGHUP) cancels running transfers.
    Station(const StationOptions& options, const std::string& program, const ImageDigest* image,
            StationSystem system, StationBoard& board, const SignalWatch& signalWatch);
    ~Station();

    // Serves `ports` until done; returns the exit status.
    int Run(const std::vector<StationPort>& ports);

    // For the ports' threads.
    bool Stopping();
    std::string TakeInstrument(std::size_t row, int model);

private:
    class Gate;
    void Serve(std::size_t row, const StationPort& port);
    void PortOpened(bool opened);
    void Handled(std::size_t row, int status, UpdateRecord record);
    void Stop(const std::string& why);
    void SleepUnlessStopping(std::uint64_t ms);
    void Watch(std::size_t workers);

    Options m_options;
    int m_count;
    int m_waitSeconds;
    std::string m_recordFile;
    std::string m_program;
    const ImageDigest* m_image;
    StationSystem m_system;
    StationBoard& m_board;
    const SignalWatch& m_signals;  // its Cancel(): every port's session unwinds at once
    StopSignal m_noNew;            // no new instruments: every wait for a reset ends at once
    bool m_cancelNoted = false;

    std::mutex m_mutex;  // guards what follows
    std::condition_variable m_wake;
    bool m_stopping = false;
    int m_taken = 0;
    int m_handled = 0;
    int m_failed = 0;
    int m_attempted = 0;  // ports that have tried to open once
    int m_opened = 0;     // ports that have opened at least once
    int m_finished = 0;   // threads that have ended
    std::uint64_t m_lastActivityMs = 0;

    std::mutex m_recordMutex;  // one record line at a time
};

// `vantrel station ARGS`: returns the exit status.
int RunStationCommand(const std::vector<std::string>& args, const std::string& program,
                      const std::string& version, StationSystem system,
                      const SignalWatch& signalWatch);

}  // namespace vantrel::cli
