#pragma once

#include <cstdint>
#include <map>
#include <string>
#include <vector>

#include "update_record.h"

namespace vantrel::cli {

// Derives the phases of a run (identification, protection check, blank check, erase, download
// menu, transfer, restart) and how long each took from what the session shows: each phase
// begins with its own status text or, for the transfer, with the first percentage in the
// title, and ends where the next begins, where the title returns to "Vantrel", or where the
// console ends the function.
class PhaseTracker {
public:
    // Status texts that begin a phase, and the phase's name.
    void SetPhaseTexts(std::map<std::string, std::string> texts) { m_texts = std::move(texts); }

    // Begins phase `name` at `ms` (monotonic) / `iso` (wall clock), ending any open one.
    void Begin(const std::string& name, std::uint64_t ms, const std::string& iso);
    // Ends the open phase, if any.
    void End(std::uint64_t ms);

    void Status(const std::string& text, std::uint64_t ms, const std::string& iso);
    void Title(const std::string& text, std::uint64_t ms, const std::string& iso);

    const std::vector<UpdateRecord::PhaseEntry>& Phases() const { return m_phases; }

private:
    std::map<std::string, std::string> m_texts;
    std::vector<UpdateRecord::PhaseEntry> m_phases;
    bool m_open = false;
    bool m_inTransfer = false;
    std::uint64_t m_startMs = 0;
};

// The status texts that begin each phase of the boot-loader operations; `target` is the
// image path shown in the download's status.
std::map<std::string, std::string> DefaultPhaseTexts(const std::string& target);

}  // namespace vantrel::cli
