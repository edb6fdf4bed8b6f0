#pragma once

#include <cstdint>
#include <deque>
#include <optional>
#include <string>

#include "fault_injector.h"
#include "pty_end.h"
#include "relay_options.h"

namespace vantrel::relay {

// Fixed values of the relay, with their reasons.
namespace limits {
// Bytes taken from one side per read. Larger than an XModem-1K frame, so a frame usually
// passes in one piece.
inline constexpr std::size_t kReadChunk = 4096;
// Bytes waiting for one side before the relay stops reading the other: a side that does not
// read holds up its peer instead of filling the relay's memory.
inline constexpr std::size_t kMaxWaiting = 64 * 1024;
// Milliseconds between attempts to reopen an instrument device that went away (the
// simulator was restarted behind the same path).
inline constexpr std::uint32_t kReopenMs = 250;
}  // namespace limits

// The relay between the program's pty and the instrument side. It sleeps in poll() until a
// side can be read or written, a delayed byte is due, or a timer of the cut runs out.
class Relay {
public:
    Relay(const RelayOptions& options, std::uint64_t seed);
    ~Relay();

    // Opens both sides, places the links and prints PROGRAM, INSTRUMENT, SEED and READY.
    // False with `error` set when a side cannot be made.
    bool Start(std::string& error);

    // Forwards until a terminating signal arrives through `signalFd` (a pipe that carries
    // one byte per signal: its number). SIGUSR1 cuts the line at once. Returns the exit status.
    int Run(int signalFd);

    // Prints one STATS line per direction.
    void PrintStats() const;

private:
    enum class CutState { Armed, Pending, Cut, Done };
    struct Delayed {
        std::uint64_t dueMs;
        std::string bytes;
    };

    LineEnd& EndOf(Direction towards) {
        return towards == Direction::ToProgram ? m_program : m_instrument;
    }
    bool PlaceProgramLinks(std::string& error);
    // Watches the program side's slave for programs opening and closing it.
    bool WatchProgram(std::string& error);
    void UnwatchProgram();
    void ReadOpenEvents();
    // Reads the side whose bytes travel `towards` and passes them through the faults.
    void ReadSide(Direction towards, std::uint64_t now);
    // Writes what waits for the side `towards`.
    void WriteSide(Direction towards);
    void Commit(Direction d, std::string& bytes, std::uint64_t now);
    bool CutTriggered(Direction d, std::uint8_t byte);
    void CutNow();
    void Replug();
    void InstrumentGone(const std::string& why, std::uint64_t now);
    void ReleaseDue(std::uint64_t now);
    int PollTimeout(std::uint64_t now) const;
    std::size_t WaitingFor(Direction towards) const;

    RelayOptions m_options;
    std::uint64_t m_seed;
    LineEnd m_program;
    LineEnd m_instrument;
    std::string m_aliasPath;
    FaultInjector m_faults[kDirections];
    std::string m_waiting[kDirections];
    std::deque<Delayed> m_delayed[kDirections];
    std::uint64_t m_discarded[kDirections] = {0, 0};
    std::uint64_t m_passed[kDirections] = {0, 0};  // source bytes counted for the cut
    std::string m_window;                          // the last bytes, for a cut on a text
    CutState m_cut = CutState::Armed;
    std::uint64_t m_cutAtMs = 0;
    std::optional<std::uint64_t> m_replugAtMs;
    std::optional<std::uint64_t> m_reopenAtMs;
    int m_openWatch = -1;  // inotify descriptor
    int m_watch = -1;      // its watch on the program side's slave
    // Programs holding the program side open. What the instrument says while there are none
    // is lost, as on a line nobody listens to, and does not count towards a cut.
    int m_programOpens = 0;
};

// Milliseconds of the monotonic clock.
std::uint64_t NowMs();

}  // namespace vantrel::relay
