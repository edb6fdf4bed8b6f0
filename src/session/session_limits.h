#pragma once

#include <cstdint>

namespace vantrel::session_limits {

// Every time-out, retry count and bound of the identification and the menu dialogue, in one
// place. Read time-outs and the overall bounds below are multiplied by the channel's
// time-out factor (serial_timing::kSlowModelFactor on model 2), because the slow boot
// loader is slower in everything it says.

// Time-out of every ReadLine of the prompt wait and of the menu dialogue, in milliseconds.
// The boot loader answers a command within a fraction of a second; a read that stays
// silent this long means the instrument has gone away (or has restarted, after "6" "Y").
inline constexpr std::uint32_t kReadTimeoutMs = 2000;

// Pause between two characters of the reset signature, in milliseconds. The boot loader
// sends its four characters back to back (0.26 ms each at 38400 baud); a character that
// comes later than this after the one before does not belong to a signature.
inline constexpr std::uint32_t kSignatureGapMs = 20;

// Characters of a reset signature. A further character that has arrived during the last gap
// is taken and thrown away with the attempt.
inline constexpr int kSignatureLength = 4;

// Overall bound of the wait for the ">" prompt after a recognised signature, in
// milliseconds. The banner and menu that precede the prompt take well under a second at
// 38400 baud, and the prompt itself, sent without a line end, one full read; a peer that
// keeps sending other lines for longer is not a boot loader coming up. No new read begins
// once the bound has passed, so the last read may run up to kReadTimeoutMs beyond it.
inline constexpr std::uint32_t kPromptWaitLimitMs = 20000;

// Overall bound of one WaitForLine, in milliseconds, under the same rule. The awaited
// question or echo comes within a few lines of the command; a boot loader still sending
// other lines after this long is out of step with the dialogue, and the wait ends as a lost
// connection (the operator must reset the instrument).
inline constexpr std::uint32_t kLineWaitLimitMs = 30000;

// Overall bound of the restart's listening after "6" "Y", in milliseconds. The boot loader
// refuses with its "Staying put." line right after the answer; an instrument that is still
// talking after this long without having refused is running its user program, so the
// restart counts as done.
inline constexpr std::uint32_t kRestartListenLimitMs = 10000;

// CAN characters that cancel a boot loader's XModem receiver which waits for a transfer
// that will not come, the same number the sender uses when it gives up.
inline constexpr int kCancelCanCount = 3;

// Longest drain after the session's stop, in milliseconds, whatever the model: the receiver
// that was cancelled, or the menu that was left, is let fall quiet so that the last words
// reach the instrument before the port is closed, but a stop (SIGTERM from a service
// manager, say) must end the program soon. One quiet period of the slow model (4 s) and what
// the boot loader says on the cancel fit in it.
inline constexpr std::uint64_t kStopDrainLimitMs = 6000;

// Largest target file in bytes. The transfer's result is the acknowledged byte count, the
// size rounded up to whole 1024-byte blocks, in a signed 32-bit value: 2^31 - 1024 is the
// largest size whose count still fits.
inline constexpr std::int64_t kMaxImageBytes = (std::int64_t{1} << 31) - 1024;

}  // namespace vantrel::session_limits
