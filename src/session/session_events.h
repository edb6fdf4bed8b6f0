#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace vantrel {

// The stages of a session. Each has a stable id (PhaseId) that the update record, the station
// board, machine-readable output and the wire trace all use.
enum class Phase {
    Identification,   // waiting for a reset instrument, up to its ">" prompt (the front end's wait)
    ProtectionCheck,  // menu "2"
    BlankCheck,       // menu "1"
    Erase,            // menu "3", "Y", the block lines
    DownloadMenu,     // menu "5", base address, "Y", up to "Start 1k XModem download..."
    Transfer,         // the XModem-1K transfer of the target file
    Restart,          // menu "6", "Y", and listening for a refusal
    Leave,            // the boot loader's exit command "7"
};

// "identification", "protection-check", "blank-check", "erase", "download-menu", "transfer",
// "restart", "leave".
const char* PhaseId(Phase phase);

// How a phase ended.
enum class OutcomeKind {
    Done,         // it did what it is for
    Answered,     // the boot loader answered otherwise than hoped, in its own words: sectors
                  // protected, user area not blank, an erase block that failed, a user-area
                  // fault, a refused restart
    Silent,       // the boot loader fell silent or out of step: the instrument must be reset
    PortFailed,   // the port itself failed: adapter pulled, line hung up
    Interrupted,  // the session's stop was raised (Ctrl-C, SIGTERM, SIGHUP)
    TargetFile,   // the target file could not be sent as it was chosen: cannot be opened, too
                  // large, failed or changed while it was read
    Transfer,     // the XModem-1K transfer failed on the line (receiver cancelled, no start
                  // signal, a block or the end never acknowledged)
};

// "done", "answered", "silent", "port-failed", "interrupted", "target-file", "transfer".
const char* OutcomeKindId(OutcomeKind kind);

struct Outcome {
    OutcomeKind kind = OutcomeKind::Done;
    // The operation's own result: 0 or 1 for the menu functions, for the transfer the
    // acknowledged bytes or a negative code of results.h.
    std::int32_t result = 0;
    // The boot loader's own line that decided it, or the program's words for what went wrong;
    // for a phase that was done, what the boot loader said last (may be empty).
    std::string words;

    bool ok() const { return kind == OutcomeKind::Done; }
};

// Where a running transfer stands, told after every acknowledged block and every repeated
// sending.
struct TransferState {
    std::int64_t bytesAcknowledged = 0;  // data blocks acknowledged x 1024
    std::int64_t total = 0;              // the image's size in bytes
    std::uint32_t block = 0;             // the block being sent, counted from 1; 0 before the first
    int repeats = 0;                     // sendings of this block beyond its first
    std::int64_t framesSent = 0;         // data frames written so far, repeats included
    bool crcMode = true;                 // CRC-16 (start signal C) or the 8-bit sum (NAK)
};

// What a session tells its front ends while it runs, in typed form: the operator display
// carries the window's texts, this carries the facts the console, the station board, the
// update record, machine-readable output and the wire trace are built from.
//
// Thread contract: every call comes on the session's own thread, synchronously and in order;
// an observer shared between sessions (a station's) locks for itself. Every phase that begins
// also ends, before the next one begins; phases do not nest.
class SessionEvents {
public:
    virtual ~SessionEvents() = default;

    // An instrument came On-Line: its boot loader is model 0, 1 or 2.
    virtual void Identified(int /*model*/) {}
    virtual void PhaseBegun(Phase /*phase*/) {}
    virtual void PhaseEnded(Phase /*phase*/, const Outcome& /*outcome*/) {}
    virtual void TransferProgress(const TransferState& /*state*/) {}
};

// An observer that tells nothing to nobody: the default of every session object.
SessionEvents& NoSessionEvents();

// Hands every event on to each observer added, in the order they were added.
class SessionEventsFanout final : public SessionEvents {
public:
    void Add(SessionEvents& observer) { m_observers.push_back(&observer); }
    void Remove(SessionEvents& observer);

    void Identified(int model) override;
    void PhaseBegun(Phase phase) override;
    void PhaseEnded(Phase phase, const Outcome& outcome) override;
    void TransferProgress(const TransferState& state) override;

private:
    std::vector<SessionEvents*> m_observers;
};

}  // namespace vantrel
