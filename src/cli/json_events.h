#pragma once

#include <QJsonObject>
#include <cstdint>
#include <cstdio>
#include <mutex>
#include <string>

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

private:
    std::mutex m_mutex;
    std::FILE* m_out;
};

// The events of one port's sessions as lines: "waiting", "identified", "phase" (begin and
// end), "progress" (at most once a second, and at every tenth of the image), and the lines the
// front end adds for what the session does not know: the instrument's outcome, a declined
// instrument, a port gone and back.
//
// Thread contract: belongs to the port's thread (the session's); the EventLines it writes to
// is shared.
class JsonEvents final : public SessionEvents {
public:
    JsonEvents(EventLines& lines, std::string port, Clock& clock);

    void Identified(int model) override;
    void PhaseBegun(Phase phase) override;
    void PhaseEnded(Phase phase, const Outcome& outcome) override;
    void TransferProgress(const TransferState& state) override;

    // An instrument was handled: every function succeeded (`ok`), what the operator was told
    // last, the last function's result, and the instrument's exit status.
    void InstrumentOutcome(bool ok, const std::string& text, std::int32_t result,
                           int exitStatus);
    // An instrument was identified but not served ("declined: model 2 is not in the job").
    void Declined(const std::string& text);
    // The port's device went away (`why`), or came back as `device`.
    void Gone(const std::string& why);
    void Back(const std::string& device);

private:
    EventLines& m_lines;
    std::string m_port;
    Clock& m_clock;
    int m_lastTenth = -1;
    std::uint64_t m_lastProgressMs = 0;
};

}  // namespace vantrel::cli
