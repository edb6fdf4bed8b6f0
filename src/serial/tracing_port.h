#pragma once

#include <string>

#include "port.h"
#include "wire_trace.h"

namespace vantrel {

// A port that writes everything that passes through it into a wire trace and otherwise
// behaves exactly as the port it wraps: every byte written and taken, the opening and closing
// of the device, input thrown away by a clearing (taken first, without waiting, so that the
// trace says which bytes went), the bytes a drain throws away, a write that stalls or fails,
// the port failing (device removed, line hung up), and a wait ended by the stop.
//
// The console wraps the real port in it, then in its WatchedPort:
//     QtSerialPort serial; TracingPort traced(serial, trace); WatchedPort watched(traced);
//
// Thread contract: the tracing port, the port it wraps and the trace belong to one thread;
// only the StopSignal handed to WaitForInput is shared, as with any port.
class TracingPort final : public Port {
public:
    // Both must outlive the tracing port: a Close still writes to the trace.
    TracingPort(Port& inner, WireTrace& trace);

    bool Open(const std::string& device) override;
    void Close() override;
    bool IsOpen() const override;
    std::size_t Waiting() override;
    std::optional<std::uint8_t> Take() override;
    void DiscardInput() override;
    bool Write(const std::uint8_t* data, std::size_t size) override;
    bool WaitForInput(std::uint64_t ms, const StopSignal* stop) override;
    void SetReceiveNotification(bool armed) override;
    bool ReceiveNotificationArmed() const override;
    bool HasFailed() const override;
    std::string ErrorText() const override;
    void NoteDrain(bool begun) override;

private:
    // Takes what is waiting, without waiting, at most trace_limits::kThrownKeptBytes; true
    // when more was left.
    bool TakeWaiting(std::string& into);
    // Traces the port's failure, once for each time it fails. Const, because the channel
    // learns of a failure through HasFailed.
    void NoteFailure() const;

    Port& m_inner;
    WireTrace& m_trace;
    std::string m_device;
    mutable bool m_failureTraced = false;
    bool m_stopTraced = false;
    // During a drain: what it threw away, and since when.
    bool m_draining = false;
    std::string m_drained;
    std::size_t m_drainedCount = 0;
    std::uint64_t m_drainStartUs = 0;
};

}  // namespace vantrel
