#pragma once

#include <chrono>
#include <cstddef>

// Every fixed value of the simulated instrument, with its unit and why it has that value.
namespace vantrel::sim {

using namespace std::chrono_literals;

// A character on the line: one start bit, eight data bits, one stop bit.
inline constexpr int kBitsPerByte = 10;

// After a program opens the port it sends its own carriage return; --reset-on-open waits this
// long so that carriage return has arrived and been thrown away before the signature goes out.
inline constexpr auto kResetAfterOpen = 100ms;

// XModem-1K receiver. The request (C or NAK) is repeated every kStartInterval, at most
// kStartRequests times in all, before the boot loader gives up and shows its prompt again.
inline constexpr auto kStartInterval = 3s;
inline constexpr int kStartRequests = 10;
// Longest gap between two bytes of one frame before the frame counts as short.
inline constexpr auto kFrameByteTimeout = 1s;
// Longest wait for the next frame after an answer; a silent sender then gets a NAK.
inline constexpr auto kNextFrameTimeout = 10s;
// A bad frame is answered only once the line has been quiet this long, so the rest of a
// damaged frame cannot be taken for the start of the next one.
inline constexpr auto kQuietBeforeNak = 100ms;
// Bad frames in a row after which the receiver cancels with CAN CAN.
inline constexpr int kMaxErrorsInRow = 10;
// Size of the simulated user flash: a sender that goes on beyond it is cancelled.
inline constexpr std::size_t kMaxImageBytes = 16u * 1024u * 1024u;
// After cancelling, the receiver waits for the sender to fall quiet before its prompt.
inline constexpr auto kQuietAfterCancel = 1s;

// Received bytes held before they are due (paced) or taken: beyond this the simulator stops
// reading the pty, so a program writing faster than the line rate is held back by the pty's
// own buffer as a real port's output buffer would hold it back.
inline constexpr std::size_t kMaxPendingInput = 4096;
// Bytes waiting to go out while the program does not read: beyond this the instrument's
// further output is lost, as it would be in an overflowing receive buffer of the PC.
inline constexpr std::size_t kMaxPendingOutput = 65536;
// A quit asked for on stdin first lets the boot loader take the bytes already read from the
// program (a test stopping the simulator right after the program ended must see its last
// command), but waits at most this long after the last of them is due.
inline constexpr auto kQuitGrace = 200ms;
// A terminal typed at for another job (the simulator runs in the background) is left out of the
// wait this long before the simulator asks again whose it is: the shell takes what was typed
// within a few ms, and a foreground program that reads nothing must not keep the simulator
// awake. A quarter of a second is also how late a `fg` then a typed command can be noticed.
inline constexpr auto kTerminalRecheck = 250ms;
// Longest command line read from stdin, in characters; the rest of a longer line is dropped.
inline constexpr std::size_t kMaxStdinLine = 256;

// Bounds of the report, so that a flood of input cannot exhaust memory.
inline constexpr std::size_t kMaxRecordedCommands = 100000;
inline constexpr std::size_t kMaxRecordedBlocks = 200000;

// Length range of one junk line under --garbage, in characters.
inline constexpr int kJunkMinLength = 4;
inline constexpr int kJunkMaxLength = 16;

}  // namespace vantrel::sim
