#pragma once

#include <cstddef>
#include <string>

#include "serial/trace_file.h"
#include "serial/trace_limits.h"
#include "serial/trace_ring.h"
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

// A port's trace that is always on, as a station keeps one per port: the newest lines in a
// ring of fixed size, the session's events in it, and an instrument's part (from the start of
// its identification) written to a file of its own when it is wanted. The station wires it as
//     PortTrace portTrace(clock, "COM7", TraceDetail::Frames);
//     TracingPort traced(serialPort, portTrace.Trace());
//     WatchedPort watched(traced);                 // then ConsoleRun run(watched, ...)
//     run.AddObserver(portTrace.Events());
//     ... an instrument failed: portTrace.WriteInstrument(traceFolder) names its file
// and must keep it alive as long as the tracing port.
//
// Thread contract: the port's thread, as the trace; nothing of it is shared.
class PortTrace {
public:
    // `port` names the port in the trace's header and in the names of its files.
    PortTrace(Clock& clock, const std::string& port, TraceDetail detail,
              std::size_t ringBytes = trace_limits::kRingBytes);

    WireTrace& Trace() { return m_trace; }
    SessionEvents& Events() { return m_events; }

    // The instrument's part of the trace, from the start of its identification (as much of
    // it as the ring still holds), in a new file in `folder` (WriteTraceSection).
    TraceFileWritten WriteInstrument(const std::string& folder);

private:
    std::string m_port;
    TraceRing m_ring;
    WireTrace m_trace;
    TraceEvents m_events;
};

}  // namespace vantrel
