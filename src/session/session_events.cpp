#include "session_events.h"

#include <algorithm>

namespace vantrel {

const char* PhaseId(Phase phase) {
    switch (phase) {
        case Phase::Identification:
            return "identification";
        case Phase::ProtectionCheck:
            return "protection-check";
        case Phase::BlankCheck:
            return "blank-check";
        case Phase::Erase:
            return "erase";
        case Phase::DownloadMenu:
            return "download-menu";
        case Phase::Transfer:
            return "transfer";
        case Phase::Restart:
            return "restart";
        case Phase::Leave:
            break;
    }
    return "leave";
}

const char* OutcomeKindId(OutcomeKind kind) {
    switch (kind) {
        case OutcomeKind::Done:
            return "done";
        case OutcomeKind::Answered:
            return "answered";
        case OutcomeKind::Silent:
            return "silent";
        case OutcomeKind::PortFailed:
            return "port-failed";
        case OutcomeKind::Interrupted:
            return "interrupted";
        case OutcomeKind::TargetFile:
            return "target-file";
        case OutcomeKind::Transfer:
            break;
    }
    return "transfer";
}

SessionEvents& NoSessionEvents() {
    static SessionEvents none;
    return none;
}

void SessionEventsFanout::Remove(SessionEvents& observer) {
    m_observers.erase(std::remove(m_observers.begin(), m_observers.end(), &observer),
                      m_observers.end());
}

void SessionEventsFanout::Identified(int model) {
    for (SessionEvents* o : m_observers) {
        o->Identified(model);
    }
}

void SessionEventsFanout::PhaseBegun(Phase phase) {
    for (SessionEvents* o : m_observers) {
        o->PhaseBegun(phase);
    }
}

void SessionEventsFanout::PhaseEnded(Phase phase, const Outcome& outcome) {
    for (SessionEvents* o : m_observers) {
        o->PhaseEnded(phase, outcome);
    }
}

void SessionEventsFanout::TransferProgress(const TransferState& state) {
    for (SessionEvents* o : m_observers) {
        o->TransferProgress(state);
    }
}

}  // namespace vantrel
