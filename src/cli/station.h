#pragma once

#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "console_run.h"
#include "image_digest.h"
#include "serial/clock.h"
#include "serial/port.h"
#include "serial/port_map.h"
#include "serial/stop_signal.h"
#include "serial/wire_trace.h"
#include "signals.h"
#include "station_board.h"
#include "station_options.h"
#include "update_record.h"

namespace vantrel {
class PortTrace;
}

namespace vantrel::cli {

// Bounds of the station.
namespace station_limits {
// Between two tries to open a port whose device is missing, in ms: an adapter plugged back in
// is found within this time, and a missing one costs one open call per period.
inline constexpr std::uint64_t kRetryMs = 3000;
// Shortest time between two drawings of the board, in ms: a transfer's figures still look
// live, and thirty ports' progress costs a few drawings a second, not one per block.
inline constexpr int kDrawGapMs = 250;
}  // namespace station_limits

// The text a port shows when it refuses to download an image that has changed.
inline constexpr const char* kImageChangedText = "Target file changed since the station started";

// The device number (st_rdev) of the character device at `path`, links followed; nothing when
// there is none.
std::optional<std::uint64_t> DeviceNumberOf(const std::string& path);
// Blocks up to `ms` milliseconds, or until `stop` is raised (poll() on its eventfd).
void PauseUnlessStopped(std::uint64_t ms, const StopSignal& stop);

// What the station needs of the machine: a fresh serial port for each port's thread (made on
// that thread), the machine's COM names and the device behind a name (at the start, and
// at every open of that port; nothing else is opened to ask), the device number behind a
// device path (to find one device named twice), and a pause that a stop ends (a missing
// port's wait before it is tried again).
struct StationSystem {
    std::function<std::unique_ptr<Port>()> makePort;
    std::function<std::vector<PortEntry>()> listPorts;
    std::function<std::string(const std::string&)> resolve;
    std::function<std::optional<std::uint64_t>(const std::string&)> deviceNumber = DeviceNumberOf;
    std::function<void(std::uint64_t, const StopSignal&)> pause = PauseUnlessStopped;
};

// A port the station serves: its COM name (may be empty) and what was asked for it.
struct StationPort {
    std::string name;
    std::string requested;  // COM name or device path, resolved anew at every open
};

// Where the station's update record goes, one instrument at a time.
class RecordWriter {
public:
    virtual ~RecordWriter() = default;
    // Appends the record of one instrument; empty on success, otherwise why not.
    virtual std::string Append(const UpdateRecord& record) = 0;
};

// What one port of a station tells beyond its board row, for machine-readable output: its
// sessions' events, its announced waits, and what the station itself knows.
//
// Thread contract: made and used on its port's thread.
class PortEvents : public SessionEvents, public RunEvents {
public:
    // An instrument was handled (`ok`: every function succeeded), with what the operator was
    // told last, the last function's result (none when refused), and its exit status.
    virtual void InstrumentOutcome(bool ok, const std::string& text,
                                   std::optional<std::int32_t> result, int exitStatus) = 0;
    // An instrument was identified and declined by the job.
    virtual void Declined(const std::string& text) = 0;
    // The port's device went away (why), or came back (as `device`).
    virtual void Gone(const std::string& why) = 0;
    virtual void Back(const std::string& device) = 0;
};

// The station's machine-readable output (json_events.h: JsonStation).
//
// Thread contract: ForPort is called on each port's thread, Summary once on the thread of
// Station::Run after every port's thread has ended.
class StationEvents {
public:
    virtual ~StationEvents() = default;
    // The events of the port named `port` (its slot or COM name, else what was asked for).
    virtual std::unique_ptr<PortEvents> ForPort(const std::string& port) = 0;
    // The station's end: instruments handled (done and failed), declined, the exit status.
    virtual void Summary(int done, int failed, int declined, int exitStatus) = 0;
};

// Station mode: one thread per port, each with its own port, channel, connection and sender,
// running the console's functions on every instrument reset on that port. With a trace folder
// (TraceFolderOf) each port also keeps its wire trace in a ring of fixed size, allocated once
// when its thread starts, and writes a failed instrument's part of it to a file of its own
// (every instrument's with --trace-all), which its record line names.
//
// Thread contract: Run() is called once, on the thread that made the station; it starts a
// std::thread per port and ends when every one has ended. The ports' threads share the board
// (locked by itself), the record (one line at a time, under m_recordMutex) and the station's
// counts (under m_mutex); the clock is read on the ports' threads only. The thread of Run()
// waits in poll() on the signals' stops and the station's news (an eventfd every change
// raises), draws the board at most once per kDrawGapMs while it changes, and never ticks
// while nothing does. Every wait of a port's thread ends at once through the station's
// StopSignal (no new instruments) or the signals' Cancel(). A port's trace (its ring, the
// tracing port around its serial port) is made on its thread and used there only.
class Station {
public:
    // `signalStops` (level 1) stops taking new instruments, and (level 2) cancels running
    // transfers; `records` (may be null) takes one record per instrument.
    Station(const StationOptions& options, const std::string& program, const ImageDigest* image,
            StationSystem system, StationBoard& board, const SignalStops& signalStops, Clock& clock,
            RecordWriter* records);
    ~Station();
    Station(const Station&) = delete;
    Station& operator=(const Station&) = delete;

    // Serves `ports` until done; returns the exit status.
    int Run(const std::vector<StationPort>& ports);
    // Machine-readable output besides the board (null: none); set before Run.
    void SetEvents(StationEvents* events) { m_events = events; }

private:
    class Gate;
    class News;
    void Serve(std::size_t row, const StationPort& port);
    bool Stopping();
    // Looks at the signals, the count and the idle bound, and stops the station when one of
    // them says so (on any thread). Returns the clock time at which the idle bound would end
    // the station, UINT64_MAX when it cannot.
    std::uint64_t CheckStop();
    // With m_mutex held: the signals' level noted, and the station stopped from level 1 on.
    void CheckSignalsLocked();
    // With m_mutex held: no new instruments from now on; `note` says why.
    void StopLocked(const std::string& note);
    TakeAnswer TakeInstrument(std::size_t row, int model);
    void PortOpened(bool opened);
    // An instrument handled (counted toward --count) or declined (not counted, but failed).
    void Handled(std::size_t row, int status, UpdateRecord record);
    // Writes the instrument's trace file and names it in `record` and on the row's lines; a
    // file that cannot be written is said on the board and in the record.
    void WriteTrace(std::size_t row, PortTrace& trace, UpdateRecord& record);
    void Declined(std::size_t row, UpdateRecord record);
    // The record of an instrument appended; empty, or why it was not.
    std::string AppendRecord(UpdateRecord& record);
    void Watch(std::size_t workers);
    int ExitStatus() const;

    Options m_options;
    int m_count;
    int m_waitSeconds;
    std::string m_program;
    const ImageDigest* m_image;
    StationSystem m_system;
    StationBoard& m_board;
    const SignalStops& m_signals;  // its Cancel(): every port's session unwinds at once
    Clock& m_clock;
    RecordWriter* m_records;
    std::string m_traceFolder;  // empty: no trace, no ring
    bool m_traceAll;
    TraceDetail m_traceDetail;
    StationEvents* m_events = nullptr;
    StopSignal m_noNew;  // no new instruments: every wait for a reset ends at once
    std::unique_ptr<News> m_news;

    std::mutex m_mutex;  // guards what follows
    bool m_stopping = false;
    bool m_idleEnded = false;  // the idle bound ended the station
    bool m_cancelNoted = false;
    int m_taken = 0;
    int m_handled = 0;
    int m_failed = 0;
    int m_declined = 0;  // not in m_handled or m_failed, but a failure all the same
    int m_recordsLost = 0;
    int m_attempted = 0;  // ports that have tried to open once
    int m_opened = 0;     // ports that have opened at least once
    int m_finished = 0;   // threads that have ended
    std::uint64_t m_lastActivityMs = 0;

    std::mutex m_recordMutex;  // one record line at a time
};

// What `vantrel station` runs on: the terminal (or not) it writes to, its clock, the signals.
struct StationIo {
    std::FILE* out = stdout;
    std::FILE* err = stderr;
    bool terminal = false;
    StationBoard::SizeFunction size;  // default: the terminal's
};

// `vantrel station ARGS`: checks everything it can before any port is opened (ports named,
// none twice, the target file, the record file, the trace folder), then serves the ports.
// Returns the exit status.
int RunStationCommand(const std::vector<std::string>& args, const std::string& program,
                      const std::string& version, StationSystem system,
                      const SignalStops& signalStops, Clock& clock, const StationIo& io);
// The same on the process's terminal, clock and signal handlers.
int RunStationCommand(const std::vector<std::string>& args, const std::string& program,
                      const std::string& version, StationSystem system,
                      const SignalWatch& signalWatch);

}  // namespace vantrel::cli
