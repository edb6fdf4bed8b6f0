#include "trace_events.h"

#include <string>

namespace vantrel {

void TraceEvents::Identified(int model) {
    m_trace.SessionEvent("identified: model " + std::to_string(model));
}

void TraceEvents::PhaseBegun(Phase phase) {
    if (phase == Phase::Identification) {
        m_trace.Mark();
    }
    m_trace.SessionEvent(std::string(PhaseId(phase)) + " begun");
    if (phase == Phase::Transfer) {
        m_trace.SetTransfer(true);
    }
}

void TraceEvents::PhaseEnded(Phase phase, const Outcome& outcome) {
    std::string text = std::string(PhaseId(phase)) + " ended: " + OutcomeKindId(outcome.kind) +
                       ", result " + std::to_string(outcome.result);
    if (!outcome.words.empty()) {
        text += ", " + WireTrace::Quoted(outcome.words);
    }
    m_trace.SessionEvent(text);
    if (phase == Phase::Transfer) {
        m_trace.SetTransfer(false);
    }
}

PortTrace::PortTrace(Clock& clock, const std::string& port, TraceDetail detail,
                     std::size_t ringBytes)
    : m_port(port), m_ring(ringBytes), m_trace(m_ring, clock, detail, port), m_events(m_trace) {}

TraceFileWritten PortTrace::WriteInstrument(const std::string& folder) {
    m_trace.Flush();
    return WriteTraceSection(m_ring, folder, m_port);
}

}  // namespace vantrel
