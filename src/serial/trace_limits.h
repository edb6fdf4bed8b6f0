#pragma once

#include <cstddef>
#include <cstdint>

namespace vantrel::trace_limits {

// Every bound of the wire trace, in one place.

// Memory of one port's ring, in bytes, fixed when the ring is made. A whole `auto restart`
// traces 113 bytes per KiB of image (a frame line and its ACK; bench_xmodem measures it) plus
// 3 KiB of menu dialogue, so 256 KiB holds the session of an image up to about 2.2 MiB, and
// the newest 256 KiB of a longer one: the end of a failed transfer is always there. A
// station of 32 ports spends 8 MiB on it.
inline constexpr std::size_t kRingBytes = 256 * 1024;

// Smallest ring, in bytes: a smaller one asked for gets this. A ring must hold a few whole
// lines to be of any use.
inline constexpr std::size_t kRingMinBytes = 1024;

// Longest line the ring keeps, in bytes; the rest of a longer one is cut off and marked.
// The longest line the trace writes is a whole frame in hex with the bytes setting (3.1 KiB);
// a ring line must stay well under the ring's size so that one line never empties it.
inline constexpr std::size_t kRingLineBytes = 8 * 1024;

// Received bytes shown on one line, at most. The boot loader's lines are under 80
// characters; a babbling line is broken into lines of this size, each with its own time.
inline constexpr std::size_t kReceivedRunBytes = 64;

// Received bytes that arrive this many microseconds or more after the byte before start a
// new line, so that a pause on the line shows as a new time. One character takes 260 us at
// 38400 baud; a boot loader sends a line back to back, so 20 ms apart is a new utterance.
inline constexpr std::uint64_t kReceiveGapUs = 20'000;

// Data bytes of a frame shown without the bytes setting: enough to recognise which part of
// the image the block holds.
inline constexpr std::size_t kFrameHeadBytes = 8;

// Bytes shown of one write that is no frame, of input thrown away, or of bytes left unread at
// close, without the bytes setting; the count says how many there were in all. A menu
// command is at most eight characters; anything longer is noise or a stale burst.
inline constexpr std::size_t kShownBytes = 64;

// Thrown-away bytes kept for one line (an input clearing, a drain), at most. The system's
// input buffer holds 4 KiB, so one clearing throws no more away; a clearing of a line that
// keeps babbling stops taking there and says so, and a drain counts the rest.
inline constexpr std::size_t kThrownKeptBytes = 4096;

// A write that takes longer than this to be handed to the system is traced as stalled, in
// milliseconds. A write returns as soon as the system's buffer has room; even behind a whole
// frame still on the wire that room comes within 268 ms at 38400 baud, so half a second
// means the line has stopped moving (flow control, a stuck adapter).
inline constexpr std::uint64_t kWriteStallMs = 500;

// A trace file holds lines in memory at most this long, in microseconds, or this many bytes,
// before it hands them to the system in one write; an event of the port or the session and a
// quiet line hand them over at once. A write per line would cost a fast line a tenth of its
// speed; at 38400 baud 100 ms is less than one frame, so a program killed in the middle of a
// transfer loses no more than its last frame's lines.
inline constexpr std::uint64_t kFileHoldUs = 100'000;
inline constexpr std::size_t kFileHoldBytes = 64 * 1024;

// Names tried for one failed instrument's trace file: its time and port, then "-2" up to this
// suffix. Names carry the millisecond and the port, so only an instrument failing twice on one
// port within a millisecond, or another program's file, can take a name.
inline constexpr int kTraceFileNameTries = 9;

}  // namespace vantrel::trace_limits
