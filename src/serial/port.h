#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>

#include "stop_signal.h"

namespace vantrel {

// One serial port, as the serial channel needs it. Small enough to fake in a test.
//
// The line settings are fixed: 38400 baud, 8 data bits, no parity, 1 stop bit, no flow
// control, and 0x1A received as ordinary data. WaitForInput blocks, without using the
// processor, until its time is up; Write blocks until the system has taken every byte, at
// most serial_timing::kWriteLimitMs (a port that takes longer has failed). Every other call
// returns at once.
//
// Thread contract: a port belongs to the one thread that opened it; only the StopSignal given
// to WaitForInput is shared with other threads.
class Port {
public:
    virtual ~Port() = default;

    // Opens `device` (a path such as /dev/ttyUSB0) with the fixed settings, closing any
    // device open before. False when it cannot be opened; ErrorText() then says why.
    virtual bool Open(const std::string& device) = 0;
    virtual void Close() = 0;
    virtual bool IsOpen() const = 0;

    // Number of received bytes not yet taken (0 when closed or failed).
    virtual std::size_t Waiting() = 0;

    // Removes the oldest received byte and returns it; nothing when no byte is waiting.
    virtual std::optional<std::uint8_t> Take() = 0;

    // Throws away every received byte not yet taken.
    virtual void DiscardInput() = 0;

    // Hands `size` bytes to the port in one write, in order and unchanged.
    // False when the port is closed or has failed.
    virtual bool Write(const std::uint8_t* data, std::size_t size) = 0;

    // Blocks until a received byte is waiting, the port fails, `stop` (when given) is raised,
    // or `ms` milliseconds have passed, whichever comes first. True when a byte is waiting.
    virtual bool WaitForInput(std::uint64_t ms, const StopSignal* stop) = 0;

    // Arms or disarms the receive notification. While armed, the owner of the port is told,
    // between its event handlers and never inside a read, whenever bytes are waiting.
    virtual void SetReceiveNotification(bool armed) = 0;
    virtual bool ReceiveNotificationArmed() const = 0;

    // True once the open port has failed: the device went away (USB adapter pulled),
    // the line hung up, or a read or write failed. Cleared by the next successful Open.
    virtual bool HasFailed() const = 0;

    // Why the last Open failed or why the port failed, in the system's words.
    virtual std::string ErrorText() const = 0;

    // The channel tells when a drain begins (true) and ends (false): the bytes taken meanwhile
    // are thrown away. Only a port that keeps a trace of the line cares, and one that wraps
    // another passes it on; every other port ignores it.
    virtual void NoteDrain(bool /*begun*/) {}
};

}  // namespace vantrel
