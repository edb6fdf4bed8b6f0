#pragma once

#include <QJsonObject>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>

#include "station.h"
#include "serial/clock.h"
#include "session/session_events.h"

namespace vantrel::cli {

// Machine-readable output (--json): one JSON object a line on standard output, for a test
// system to follow. Every object holds "schema" (1), "time" (UTC, milliseconds), "event" and
// "port" (the COM name or the job's slot name); the events and their fields are described in
// vantrel(1).
//
// Thread contract: one EventLines is shared by every port of a station; Write() locks, so
// that lines from several threads never mix.
class EventLines {
public:
    explicit EventLines(std::FILE* out) : m_out(out) {}

    // Writes one object with the common fields added, as one line, and flushes it. A reader
    // that went away (a closed pipe) loses the line; the run goes on.
    void Write(const std::string& port, const char* event, QJsonObject fields = {});

    // The last line: how many instruments were handled (taken and run: `done` succeeded,
    // `failed` did not), how many were declined, and the program's exit status. `port` is
    // the console's port, or empty for a station's, which concerns every port ("port": null).
    void Summary(const std::string& port, int done, int failed, int declined, int exitStatus);

private:
    std::mutex m_mutex;
    std::FILE* m_out;
};

// The events of one port's sessions as lines: "waiting" (once the wait for a reset is
// announced), "identified", "phase" (begin and end), "progress" (at most once a second, and at every tenth of the image), and the lines the
// front end adds for what the session does not know: the instrument's outcome, a declined
// instrument, a port gone and back.
//
// Thread contract: belongs to the port's thread (the session's); the EventLines it writes to
// is shared.
class JsonEvents final : public PortEvents {
public:
    JsonEvents(EventLines& lines, std::string port, Clock& clock);

    void Waiting() override;
    void Identified(int model) override;
    void PhaseBegun(Phase phase) override;
    void PhaseEnded(Phase phase, const Outcome& outcome) override;
    void TransferProgress(const TransferState& state) override;

    // An instrument was handled, or a console run ended: every function succeeded (`ok`), what
    // the operator was told last, the last function's result (none: no function ran, or it
    // was refused), and the exit status.
    void InstrumentOutcome(bool ok, const std::string& text, std::optional<std::int32_t> result,
                           int exitStatus) override;
    // An instrument was identified but not served ("declined: model 2 is not in the job").
    void Declined(const std::string& text) override;
    // The port's device went away (`why`), or came back as `device`.
    void Gone(const std::string& why) override;
    void Back(const std::string& device) override;

private:
    EventLines& m_lines;
    std::string m_port;
    Clock& m_clock;
    int m_lastTenth = -1;
    std::uint64_t m_lastProgressMs = 0;
};

// A station's machine-readable output: a JsonEvents for each port, on one EventLines.
//
// Thread contract: as EventLines; ForPort may be called on any port's thread.
class JsonStation final : public StationEvents {
public:
    explicit JsonStation(EventLines& lines, Clock& clock) : m_lines(lines), m_clock(clock) {}
    std::unique_ptr<PortEvents> ForPort(const std::string& port) override {
        return std::make_unique<JsonEvents>(m_lines, port, m_clock);
    }
    void Summary(int done, int failed, int declined, int exitStatus) override {
        m_lines.Summary({}, done, failed, declined, exitStatus);
    }

private:
    EventLines& m_lines;
    Clock& m_clock;
};

}  // namespace vantrel::cli
