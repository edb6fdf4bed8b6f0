#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "console_display.h"
#include "image_digest.h"
#include "line_watch.h"
#include "options.h"
#include "serial/clock.h"
#include "serial/serial_channel.h"
#include "serial/stop_signal.h"
#include "session/connection.h"
#include "session/xmodem.h"
#include "session/session_events.h"
#include "update_record.h"

namespace vantrel::cli {

// Exit statuses of the console front end and the station.
namespace exit_status {
inline constexpr int kSuccess = 0;
inline constexpr int kFunctionFailed = 1;
inline constexpr int kUsage = 2;
inline constexpr int kNotIdentified = 3;  // console: no instrument identified within --wait
inline constexpr int kCountNotReached = 3;  // station: --wait ended it before --count
inline constexpr int kPortUnusable = 4;
inline constexpr int kRecordNotWritten = 5;  // all went well, but a record line was lost
inline constexpr int kInterrupted = 130;  // 128 + SIGINT, as shells report it; after
                                          // SIGTERM 143, after SIGHUP 129
}  // namespace exit_status

// What a station answers for an instrument that came On-Line on one of its ports.
struct TakeAnswer {
    enum class Kind {
        Taken,     // the port handles it
        NotTaken,  // the station takes no more (count reached, stopping): no record
        Declined,  // the job does not program its model: recorded as failed, not counted
    };
    Kind kind = Kind::Taken;
    std::string why;  // NotTaken: "the count is reached"; Declined: DeclinedText(model)
};

// What a station decides for one of its ports while that port's run goes on.
class StationGate {
public:
    virtual ~StationGate() = default;
    // Raised once the station takes no new instruments: a wait for one ends at once.
    virtual const StopSignal& NoNewInstruments() = 0;
    // An instrument of `model` came On-Line: whether this port is to handle it. The menu of
    // one not taken or declined is left with "7".
    virtual TakeAnswer TakeInstrument(int model) = 0;
    // When (clock ms) the wait for a reset asks again: the station's idle bound, which this
    // call looks at and may end (raising NoNewInstruments); UINT64_MAX: no bound.
    virtual std::uint64_t WakeAtMs() = 0;
};

// What a run tells beyond the session's events (machine-readable output).
//
// Thread contract: called on the run's thread.
class RunEvents {
public:
    virtual ~RunEvents() = default;
    // A wait for a reset was announced: the line has fallen quiet after the open, and a reset
    // from now on is seen.
    virtual void Waiting() = 0;
};

// One run of the console: opens the port, waits for a reset instrument, runs the functions
// in order as the window's Run button would, and leaves the boot loader's menu. Every step
// is noted in the update record, from the session's typed events.
//
// Thread contract: a run and everything it was given belong to one thread; only `cancel` is
// raised from elsewhere (a signal handler, the station's main thread).
class ConsoleRun final : public DisplayListener, public SessionEvents {
public:
    // Errors go to `errors`, or to the display when it is null. Once `cancel` (when given) is
    // raised, every wait of the session ends at once: a running transfer is cancelled (three
    // CAN, the line let fall quiet), nothing more is run, and the menu is left with "7".
    ConsoleRun(WatchedPort& port, Clock& clock, RunDisplay& display, std::FILE* errors,
               const StopSignal* cancel = nullptr);

    // Another observer of the session's events (machine-readable output, a wire trace).
    void AddObserver(SessionEvents& observer) { m_events.Add(observer); }
    // Told of the announced waits (may be null).
    void SetRunEvents(RunEvents* events) { m_runEvents = events; }
    // What the operator is told when the target file is no longer the one read at the start.
    void SetImageChangedText(const std::string& text) { m_imageChangedText = text; }

    // Runs `options` on `device` (shown as `portName`, which may be empty for a device given
    // by path), then closes the port. An instrument of a model outside `options.models` (when
    // not empty) is declined: its menu is left, the record says why, and the run ends with
    // exit_status::kFunctionFailed. The functions run in order up to the first that fails;
    // the blank check's "not blank" is no failure in a list, but alone it ends the run with
    // exit_status::kFunctionFailed. `image` is the target file as read at the start (none
    // without --file): a file that differs from it by the time a download is due is refused,
    // and one that changes during the transfer is cancelled. Returns the exit status.
    int Run(const Options& options, const std::string& portName, const std::string& device,
            const ImageDigest* image);

    // The station's use, where the port stays open from one instrument to the next (closing
    // a real port would drop its modem lines between instruments).
    // Opens `device`; false when it cannot be opened (the display's status says why). The
    // next wait for a reset is announced only once the line has fallen quiet after the open.
    bool OpenPort(const std::string& device);
    // Waits, until the gate takes no new instruments (asking it again at the time it gives),
    // for the next reset instrument; runs the functions on it and leaves its menu, the port staying open and
    // listening. Returns the instrument's exit status (Record() then describes it; for one the
    // gate declined, its `declined` is set and the status is kFunctionFailed), or nothing when
    // no instrument was taken: the wait was stopped, the port failed, or the gate did not take
    // the instrument (its menu is then left with "7").
    std::optional<int> ServeInstrument(const Options& options, const std::string& portName,
                                       const std::string& device, const ImageDigest* image,
                                       StationGate& gate);

    // The update record of the run; complete once Run has returned.
    const UpdateRecord& Record() const { return m_record; }

    void StatusShown(const std::string& text) override;
    void PhaseBegun(Phase phase) override;
    void PhaseEnded(Phase phase, const Outcome& outcome) override;

private:
    enum class WaitResult { OnLine, TimedOut, PortFailed, Stopped };
    // How a function ended. The blank check's "not blank" is the boot loader's answer: in a
    // list the functions go on (the erase after it is what the operator asked for); alone it
    // is the run's result (status 1).
    enum class FunctionEnd { Succeeded, NotBlank, Failed };
    void Begin(const Options& options, const std::string& portName, const std::string& device,
               const ImageDigest* image);
    int RunFunctions(const Options& options);
    int Finish(int status, bool closePort);
    // Waits up to `seconds`, or without a bound (nothing) until `stop` is raised; a station's
    // `gate` is asked again at the time it gives.
    WaitResult WaitForInstrument(std::optional<int> seconds, const StopSignal* stop,
                                 StationGate* gate = nullptr);
    void RestartRecord();
    int NotIdentified(WaitResult result, int seconds);
    // Ends the run on an instrument the job does not program: said, recorded; the menu is
    // left by Finish.
    int Decline(const std::string& why);
    FunctionEnd RunFunction(Function function);
    // The target file of a download as the run may send it; empty when it may, else why not.
    std::string TargetRefusal();
    void NoteTransfer(const XModemSender& sender);
    void Leave(bool closePort);
    void Error(const std::string& text);
    std::string PortLabel() const;
    bool Cancelled() const { return m_cancel != nullptr && m_cancel->Raised(); }

    WatchedPort& m_port;
    Clock& m_clock;
    RunDisplay& m_display;
    std::FILE* m_errors;
    const StopSignal* m_cancel;
    SessionEventsFanout m_events;
    RunEvents* m_runEvents = nullptr;
    SerialChannel m_channel;
    Connection m_connection;
    const ImageDigest* m_image = nullptr;  // the target file as read at the start
    UpdateRecord m_record;
    std::uint64_t m_phaseStartMs = 0;
    bool m_identified = false;  // an instrument came On-Line during the run
    bool m_justOpened = false;  // the port was just opened: its line is let fall quiet
    std::string m_failure;      // the words of the phase that failed last in this function
    OutcomeKind m_lastOutcome = OutcomeKind::Done;  // how the last phase ended
    std::string m_imageChangedText = "Target file changed since it was read at the start";
};

}  // namespace vantrel::cli
