#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "console_display.h"
#include "line_watch.h"
#include "options.h"
#include "phase_tracker.h"
#include "serial/clock.h"
#include "serial/serial_channel.h"
#include "session/connection.h"
#include "update_record.h"

namespace vantrel::cli {

// Exit statuses of the console front end.
namespace exit_status {
inline constexpr int kSuccess = 0;
inline constexpr int kFunctionFailed = 1;
inline constexpr int kUsage = 2;
inline constexpr int kNotIdentified = 3;
inline constexpr int kPortUnusable = 4;
inline constexpr int kInterrupted = 130;  // 128 + SIGINT, as shells report it
}  // namespace exit_status

// What a station decides for one of its ports while that port's run goes on.
class StationGate {
public:
    virtual ~StationGate() = default;
    // False once the station takes no new instruments: the wait for one ends.
    virtual bool KeepWaiting() = 0;
    // An instrument of `model` came On-Line: true when this port is to handle it (false once
    // the station has handled as many as it was asked to).
    virtual bool TakeInstrument(int model) = 0;
    // Before and after each download: why the image may not be sent (or may not have been
    // sent) as it was read when the station started; empty when it is unchanged.
    virtual std::string ImageChanged() = 0;
};

// One run of the console: opens the port, waits for a reset instrument, runs the functions
// in order as the window's Run button would, and leaves the boot loader's menu. Every step
// is noted in the update record.
class ConsoleRun final : public DisplayListener {
public:
    // Errors go to `errors`, or to the display when it is null.
    ConsoleRun(WatchedPort& port, Clock& clock, RunDisplay& display, std::FILE* errors);

    // Runs `options` on `device` (shown as `portName`, which may be empty for a device given
    // by path), then closes the port. Returns the exit status.
    int Run(const Options& options, const std::string& portName, const std::string& device);

    // The station's use, where the port stays open from one instrument to the next (closing
    // a real port would drop its modem lines between instruments).
    // Opens `device`; false when it cannot be opened (the display's status says why).
    bool OpenPort(const std::string& device);
    // Waits without a time bound, for as long as `gate` keeps waiting, for the next reset
    // instrument; runs the functions on it and leaves its menu, the port staying open and
    // listening. Returns the instrument's exit status (Record() then describes it), or
    // nothing when no instrument was taken: the wait was stopped, the port failed, or the
    // gate declined the instrument. `image` is the image as read once by the station.
    std::optional<int> ServeInstrument(const Options& options, const std::string& portName,
                                       const std::string& device, const ImageDigest& image,
                                       StationGate& gate);

    // The update record of the run; complete once Run has returned.
    const UpdateRecord& Record() const { return m_record; }

    void StatusShown(const std::string& text) override;
    void TitleShown(const std::string& text) override;

private:
    enum class WaitResult { OnLine, TimedOut, PortFailed, Interrupted };
    void Begin(const Options& options, const std::string& portName, const std::string& device,
               const std::optional<ImageDigest>& image);
    int RunFunctions(const Options& options);
    int Finish(int status, bool closePort);
    // Waits up to `seconds`, or without a bound (nothing) while the station's gate keeps
    // waiting.
    WaitResult WaitForInstrument(std::optional<int> seconds);
    void RestartRecord();
    int NotIdentified(WaitResult result, int seconds);
    bool RunFunction(Function function);
    bool RefusedForChangedImage(UpdateRecord::FunctionEntry& entry);
    void Select(Function function);
    void SwitchToRestart();
    void Leave(bool closePort);
    void Error(const std::string& text);
    std::string PortLabel() const;

    WatchedPort& m_port;
    Clock& m_clock;
    RunDisplay& m_display;
    std::FILE* m_errors;
    StationGate* m_gate = nullptr;  // set while the station serves an instrument
    SerialChannel m_channel;
    Connection m_connection;
    PhaseTracker m_phases;
    UpdateRecord m_record;
    bool m_identified = false;     // an instrument came On-Line during the run
    bool m_downloadShown = false;  // the running function has begun its download menu
};

}  // namespace vantrel::cli
