#include "phase_tracker.h"

#include "console_display.h"
#include "session/strings.h"

namespace vantrel::cli {

void PhaseTracker::Begin(const std::string& name, std::uint64_t ms, const std::string& iso) {
    End(ms);
    m_phases.push_back({name, iso, 0});
    m_open = true;
    m_startMs = ms;
}

void PhaseTracker::End(std::uint64_t ms) {
    if (m_open) {
        m_phases.back().durationMs = static_cast<std::int64_t>(ms - m_startMs);
        m_open = false;
    }
    m_inTransfer = false;
}

void PhaseTracker::Status(const std::string& text, std::uint64_t ms, const std::string& iso) {
    const auto it = m_texts.find(text);
    if (it != m_texts.end()) {
        Begin(it->second, ms, iso);
    }
}

void PhaseTracker::Title(const std::string& text, std::uint64_t ms, const std::string& iso) {
    const bool percent = PercentFromTitle(text).has_value();
    if (percent && !m_inTransfer) {
        Begin("transfer", ms, iso);
        m_inTransfer = true;
    } else if (!percent && m_inTransfer) {
        End(ms);
    }
}

std::map<std::string, std::string> DefaultPhaseTexts(const std::string& target) {
    return {
        {LoadString(Str::ProtectionVerification), "protection-check"},
        {LoadString(Str::BlankChecking), "blank-check"},
        {LoadString(Str::ErasingUserArea), "erase"},
        {FormatString(Str::Downloading, target), "download-menu"},
    };
}

}  // namespace vantrel::cli
