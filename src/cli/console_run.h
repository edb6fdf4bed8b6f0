#pragma once

#include <cstdint>
#include <cstdio>
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

// One run of the console: opens the port, waits for a reset instrument, runs the functions
// in order as the window's Run button would, and leaves the boot loader's menu. Every step
// is noted in the update record.
class ConsoleRun final : public DisplayListener {
public:
    ConsoleRun(WatchedPort& port, Clock& clock, ConsoleDisplay& display, std::FILE* errors);

    // Runs `options` on `device` (shown as `portName`, which may be empty for a device given
    // by path). Returns the exit status.
    int Run(const Options& options, const std::string& portName, const std::string& device);

    // The update record of the run; complete once Run has returned.
    const UpdateRecord& Record() const { return m_record; }

    void StatusShown(const std::string& text) override;
    void TitleShown(const std::string& text) override;

private:
    enum class WaitResult { OnLine, TimedOut, PortFailed, Interrupted };
    WaitResult WaitForInstrument(int seconds);
    int NotIdentified(WaitResult result, int seconds);
    bool RunFunction(Function function);
    void Select(Function function);
    void SwitchToRestart();
    void Leave();
    void Error(const std::string& text);
    std::string PortLabel() const;

    WatchedPort& m_port;
    Clock& m_clock;
    ConsoleDisplay& m_display;
    std::FILE* m_errors;
    SerialChannel m_channel;
    Connection m_connection;
    PhaseTracker m_phases;
    UpdateRecord m_record;
    bool m_identified = false;     // an instrument came On-Line during the run
    bool m_downloadShown = false;  // the running function has begun its download menu
};

}  // namespace vantrel::cli
