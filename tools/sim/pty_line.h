#pragma once

#include <chrono>
#include <cstdint>
#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace vantrel::sim {

// Why a wait of the line was cut short: the instrument is reset, or the simulator must stop.
enum class Interruption { Reset, Quit };

// Thrown out of every wait of `PtyLine` when a reset or a stop is asked for (SIGUSR1, a `reset`
// line on stdin, a program opening the port under --reset-on-open; SIGTERM, SIGINT, SIGHUP, a
// `quit` line, or Ctrl-D on the terminal it reads). The boot loader unwinds to its top level and
// resets or stops.
struct LineInterrupted {
    Interruption kind;
};

// The instrument's end of the serial line: the master of a pseudo-terminal whose slave the
// program opens as its serial port.
//
// The simulator keeps its own descriptor of the slave open, so the program may open and close
// the port as often as it likes; inotify on the slave tells when it does. Output sent while no
// program has the port open is lost, as on a real line with nobody listening. With a baud rate
// set, both directions are paced at 10 bits per byte: received bytes become readable at the
// time their last bit would have arrived, sent bytes reach the pty at the time their last bit
// would have left.
//
// Standard input carries command lines (reset, report, quit) when it is a pipe or a file, or the
// terminal whose foreground job the simulator is. A terminal is read only after asking whether
// the simulator is its foreground job now (a read from the background would stop it with
// SIGTTIN); what is typed for another job is left alone and looked at again after a while. The
// end of a pipe or file only ends the reading: an empty stdin (/dev/null, a script's background
// job, a pipe closed at once) leaves the instrument to the signals; Ctrl-D on its terminal stops
// it. Single-threaded: everything runs in the waits of the one thread that owns the line.
class PtyLine {
public:
    using Clock = std::chrono::steady_clock;
    using TimePoint = Clock::time_point;

    struct Settings {
        int baud = 0;  // 0: unpaced
        bool watchStdin = true;
        bool resetOnOpen = false;
    };

    explicit PtyLine(Settings settings);
    ~PtyLine();
    PtyLine(const PtyLine&) = delete;
    PtyLine& operator=(const PtyLine&) = delete;

    // Creates the pty pair with its slave in raw mode, the signal pipe and the open watch.
    // False with `error` set when the system refuses.
    bool Open(std::string& error);
    // Path of the slave, e.g. /dev/pts/4.
    const std::string& SlavePath() const { return m_slavePath; }

    // Points the symbolic link `folder`/`name` at the slave, replacing a stale link. False with
    // `error` set when the folder cannot be made or a file that is no link stands there.
    bool PlaceAlias(const std::string& folder, const std::string& name, std::string& error);
    // Removes the alias again, unless it has been pointed elsewhere meanwhile.
    void RemoveAlias();

    // Called inside any wait when a report is asked for (SIGUSR2, a `report` line on stdin).
    void SetReportHandler(std::function<void()> handler) { m_reportHandler = std::move(handler); }

    // Queues bytes for sending; they go out paced while later calls wait.
    void Send(std::string_view bytes);
    // The next received byte, or nothing once `deadline` has passed.
    std::optional<std::uint8_t> ReadByte(TimePoint deadline);
    std::optional<std::uint8_t> ReadByteWithin(Clock::duration timeout) {
        return ReadByte(Clock::now() + timeout);
    }
    // The next received byte, however long it takes (only an interruption ends the wait).
    std::uint8_t ReadByteWhenever();
    // Lets `duration` pass while output goes on; input stays queued.
    void Pause(Clock::duration duration);
    // Throws input away until none has arrived for `quiet`.
    void WaitQuiet(Clock::duration quiet);
    // Throws every byte received away, for ever: only an interruption leaves this wait.
    [[noreturn]] void IgnoreInput();
    // Drops all queued input and output (the instrument has been reset).
    void Forget();

private:
    struct TimedByte {
        TimePoint time;  // when the byte's last bit is on the line
        std::uint8_t byte;
    };

    void WaitFor(TimePoint deadline, bool wantInput);
    bool InputReady(TimePoint now) const;
    void PumpOutput(TimePoint now);
    void ReadMaster(TimePoint now);
    void ReadOpenEvents(TimePoint now);
    void ReadSignals(std::optional<Interruption>& interruption);
    bool TerminalIsOurs(TimePoint now);
    void ReadStdin(TimePoint now, std::optional<Interruption>& interruption);
    void HandleStdinLine(std::string_view line, std::optional<Interruption>& interruption);
    void CheckPendingReset(TimePoint now);
    void ProgramClosedPort();
    void RequestReport();

    Settings m_settings;
    Clock::duration m_byteTime{};  // time of one byte on the line; zero when unpaced
    int m_master = -1;
    int m_heldSlave = -1;
    int m_openWatch = -1;  // inotify descriptor watching the slave for opens and closes
    int m_signalRead = -1;
    std::string m_slavePath;
    std::string m_aliasPath;
    int m_programOpens = 0;              // descriptions of the slave that programs hold open
    std::optional<TimePoint> m_resetAt;  // --reset-on-open: when the pending reset fires
    std::optional<TimePoint> m_quitAt;   // a quit waiting for the bytes still on the line
    // What standard input is: not read, a terminal, or a pipe or file.
    enum class StdinKind { None, Terminal, Stream };
    StdinKind m_stdinKind = StdinKind::None;
    bool m_stdinWatched = false;                 // false once a pipe or file has ended
    std::optional<TimePoint> m_stdinAsideUntil;  // a terminal typed at for another job
    bool m_terminalWasOurs = false;              // for the trace: tells only changes
    std::string m_stdinLine;
    std::deque<TimedByte> m_input;
    std::deque<TimedByte> m_output;
    TimePoint m_lastInput{};
    TimePoint m_lastOutput{};
    bool m_outputBlocked = false;  // the pty's buffer is full: wait until it can be written
    std::function<void()> m_reportHandler;
};

// $XDG_CONFIG_HOME/vantrel/ports, by default ~/.config/vantrel/ports.
std::string PortAliasFolder();

}  // namespace vantrel::sim
