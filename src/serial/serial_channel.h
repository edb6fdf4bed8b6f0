#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "clock.h"
#include "port.h"

namespace vantrel {

// Result of ReadByte: status 0 with the byte received, or status 1 (time-out) with byte 0.
struct ByteRead {
    std::uint8_t status = 1;
    std::uint8_t byte = 0;

    bool TimedOut() const { return status != 0; }
};

// The only path between the program and the instrument: writes, timed byte and line reads,
// input purging and delays, over one Port and timed by one Clock.
//
// Every wait tests its deadline before the receive buffer, so input that is waiting when the
// deadline is found passed stays for the next read. While nothing is waiting a wait blocks in
// the port (no spinning) and processes nothing else. A port that fails or is not open ends
// every wait at once, as a time-out.
//
// A channel may be given a StopSignal: once it is raised every wait ends at once, as a
// time-out, and nothing more is written, so that a session unwinds to its end without another
// word to the instrument. What must still be said after a stop (the cancel of a receiver, the
// menu's exit command) goes through WithoutStop().
//
// Thread contract: a channel is used by the one thread that owns its port.
class SerialChannel {
public:
    SerialChannel(Port& port, Clock& clock, const StopSignal* stop = nullptr);

    // The same port, clock and time-out factor, without the stop: for the few words that must
    // reach the instrument after a stop, and the drain that lets them arrive.
    SerialChannel WithoutStop() const;
    // True once the channel's stop has been raised.
    bool Stopped() const { return m_stop != nullptr && m_stop->Raised(); }

    // (Re)opens `device` with the fixed settings, throws away stale input, arms the receive
    // notification and sends one carriage return. False when the device cannot be opened;
    // LastError() then says why.
    bool OpenPort(const std::string& device);
    bool IsOpen() const;

    // Writes the text's bytes in one write, nothing appended. False when nothing was written:
    // the channel is stopped, or the port is closed or has failed.
    bool SendText(std::string_view text);
    // Writes the bytes unchanged in one write; false as SendText.
    bool SendBytes(const std::uint8_t* data, std::size_t size);
    // Throws away every received byte not yet read.
    void ClearInput();

    // Waits at most `ms` milliseconds (times the timeout factor) for one byte.
    ByteRead ReadByte(std::uint32_t ms);

    // Collects one line into ReceivedLine() within `ms` milliseconds (times the timeout
    // factor) for the whole call. A line ends at the first CR or LF once it holds text;
    // empty lines and NUL bytes are skipped. Returns 0 when ReceivedLine() holds text (a
    // whole line, or at the deadline the part received so far), 1 when nothing came.
    std::uint8_t ReadLine(std::uint32_t ms);

    // Throws away input until the line has been quiet for one ReadByte time-out, but no
    // longer than serial_timing::kDrainLimitMs (times the timeout factor) in all.
    void Drain();
    // The same, but no longer than `limitMs` in all, whatever the timeout factor.
    void Drain(std::uint64_t limitMs);

    // Waits more than `ms` milliseconds without looking at the port; never scaled.
    void Delay(std::uint32_t ms);

    // Takes one waiting byte straight from the port, without waiting (identification).
    std::optional<std::uint8_t> TakeInput();

    // The line that ReadLine is collecting or collected last, without CR or LF.
    const std::string& ReceivedLine() const { return m_receivedLine; }

    // 1 normally, serial_timing::kSlowModelFactor on the slow boot loader.
    void SetTimeoutFactor(std::uint32_t factor) { m_factor = factor; }
    std::uint32_t TimeoutFactor() const { return m_factor; }

    // True when the open port has failed (device removed, hang-up, I/O error).
    bool PortFailed() const;
    // Why the port could not be opened or why it failed, in the system's words.
    std::string LastError() const;

    Port& port() { return m_port; }
    Clock& clock() { return m_clock; }

private:
    // Waits until a byte is waiting (true) or more than `limitMs` have passed since
    // `startMs` (false). The deadline is tested first.
    bool AwaitByte(std::uint64_t startMs, std::uint64_t limitMs);
    // Drain's work, between the port's notes of its beginning and end.
    void DrainInput(std::uint64_t limitMs);
    std::uint64_t Scaled(std::uint32_t ms) const;

    Port& m_port;
    Clock& m_clock;
    const StopSignal* m_stop;
    std::string m_receivedLine;
    std::uint32_t m_factor = 1;
};

}  // namespace vantrel
