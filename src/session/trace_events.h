#pragma once

#include "serial/wire_trace.h"
#include "session_events.h"

namespace vantrel {

// Writes the session's typed events into a wire trace as "==" lines, so that the bytes read
// against what the session was doing:
//     == identified: model 1
//     == transfer begun
//     == protection-check ended: answered, result 1, "User area sectors are protected"
// The beginning of an identification marks where an instrument's part of the trace begins
// (the station writes a failed instrument's trace from there, signature included); the
// transfer switches the trace's names for answer bytes on and off.
//
// Thread contract: the session's thread, which is the trace's.
class TraceEvents final : public SessionEvents {
public:
    explicit TraceEvents(WireTrace& trace) : m_trace(trace) {}

    void Identified(int model) override;
    void PhaseBegun(Phase phase) override;
    void PhaseEnded(Phase phase, const Outcome& outcome) override;

private:
    WireTrace& m_trace;
};

}  // namespace vantrel
