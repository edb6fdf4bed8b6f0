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
#include "serial/port.h"
#include "serial/port_map.h"
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

// The image as the station read it at the start, and the check that the file at its path is
// still that one: the same file (device and inode), size and modification time.
class ImageGuard {
public:
    // Reads and fingerprints the file at `path`; Error() says why when it cannot.
    explicit ImageGuard(const std::string& path);

    const ImageDigest& Digest() const { return m_digest; }
    const std::string& Error() const { return m_error; }
    // Empty while the file is unchanged; otherwise kImageChangedText and why.
    std::string Changed() const;

private:
    struct Identity {
        dev_t device = 0;
        ino_t inode = 0;
        std::int64_t size = 0;
        std::int64_t mtimeNs = 0;
        bool operator==(const Identity&) const = default;
    };
    // The identity of a regular file that can be opened for reading; nothing with `why`.
    static std::optional<Identity> IdentityOf(const std::string& path, std::string& why);

    std::string m_path;
    ImageDigest m_digest;
    std::optional<Identity> m_identity;
    std::string m_error;
};

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
    // `interrupts` counts Ctrl-Cs (set by the signal handler): the first stops taking new
    // instruments, the second cancels running transfers.
    Station(const StationOptions& options, const std::string& program, const ImageDigest& image,
            const ImageGuard* guard, StationSystem system, StationBoard& board,
            const std::atomic<int>& interrupts);
    ~Station();

    // Serves `ports` until done; returns the exit status.
    int Run(const std::vector<StationPort>& ports);

    // For the ports' threads.
    bool Stopping();
    bool TakeInstrument(std::size_t row, int model);
    std::string ImageChanged();

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
    ImageDigest m_image;
    const ImageGuard* m_guard;
    StationSystem m_system;
    StationBoard& m_board;
    const std::atomic<int>& m_interrupts;
    std::atomic<int> m_cancel{0};  // every port's session unwinds at once (second Ctrl-C)

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
                      const std::atomic<int>& interrupts);

}  // namespace vantrel::cli
