#include "tracing_port.h"

#include <cstdio>

#include "trace_limits.h"

namespace vantrel {

namespace {

// "1001.234 ms" from microseconds.
std::string Milliseconds(std::uint64_t us) {
    char text[32];
    std::snprintf(text, sizeof text, "%llu.%03llu ms", static_cast<unsigned long long>(us / 1000),
                  static_cast<unsigned long long>(us % 1000));
    return text;
}

}  // namespace

TracingPort::TracingPort(Port& inner, WireTrace& trace) : m_inner(inner), m_trace(trace) {}

bool TracingPort::Open(const std::string& device) {
    if (m_inner.IsOpen()) {
        Close();
    }
    const bool opened = m_inner.Open(device);
    m_device = device;
    m_failureTraced = false;
    m_trace.PortEvent(opened ? "open " + device
                             : "open " + device + " failed: " + m_inner.ErrorText());
    return opened;
}

void TracingPort::Close() {
    if (!m_inner.IsOpen()) {
        m_inner.Close();
        return;
    }
    std::string unread;
    TakeWaiting(unread);
    m_inner.Close();
    m_trace.PortEvent("close " + m_device + (unread.empty() ? "" : ", unread"), unread);
}

bool TracingPort::IsOpen() const {
    return m_inner.IsOpen();
}

std::size_t TracingPort::Waiting() {
    const std::size_t waiting = m_inner.Waiting();
    NoteFailure();
    return waiting;
}

std::optional<std::uint8_t> TracingPort::Take() {
    const auto byte = m_inner.Take();
    if (byte && m_draining) {
        if (m_drained.size() < trace_limits::kThrownKeptBytes) {
            m_drained.push_back(static_cast<char>(*byte));
        }
        ++m_drainedCount;
    } else if (byte) {
        m_trace.Received(*byte);
    }
    NoteFailure();
    return byte;
}

bool TracingPort::TakeWaiting(std::string& into) {
    while (m_inner.Waiting() > 0) {
        if (into.size() >= trace_limits::kThrownKeptBytes) {
            return true;
        }
        if (const auto byte = m_inner.Take()) {
            into.push_back(static_cast<char>(*byte));
        }
    }
    return false;
}

void TracingPort::DiscardInput() {
    std::string thrown;
    const bool more = TakeWaiting(thrown);
    m_inner.DiscardInput();
    m_trace.PortEvent(more ? "input cleared (more than shown)" : "input cleared", thrown);
    NoteFailure();
}

bool TracingPort::Write(const std::uint8_t* data, std::size_t size) {
    // Traced before it goes, with the time it was handed over: a write that stalls or fails
    // follows it.
    m_trace.Sent(data, size);
    const std::uint64_t startUs = m_trace.ElapsedUs();
    const bool written = m_inner.Write(data, size);
    const std::uint64_t tookUs = m_trace.ElapsedUs() - startUs;
    if (tookUs > trace_limits::kWriteStallMs * 1000) {
        m_trace.PortEvent("write stalled " + Milliseconds(tookUs));
    }
    if (!written && !m_inner.HasFailed()) {
        m_trace.PortEvent(m_inner.IsOpen() ? "write failed" : "write failed: the port is closed");
    }
    NoteFailure();
    return written;
}

bool TracingPort::WaitForInput(std::uint64_t ms, const StopSignal* stop) {
    const bool waiting = m_inner.WaitForInput(ms, stop);
    if (!waiting) {
        // The line stayed quiet for a whole wait: what came before is complete, and a program
        // that hangs from here on leaves it in the trace.
        m_trace.Settle();
    }
    if (!m_stopTraced && stop != nullptr && stop->Raised()) {
        m_stopTraced = true;
        m_trace.PortEvent("interrupted: the stop was raised");
    }
    NoteFailure();
    return waiting;
}

void TracingPort::SetReceiveNotification(bool armed) {
    m_inner.SetReceiveNotification(armed);
}

bool TracingPort::ReceiveNotificationArmed() const {
    return m_inner.ReceiveNotificationArmed();
}

bool TracingPort::HasFailed() const {
    NoteFailure();
    return m_inner.HasFailed();
}

std::string TracingPort::ErrorText() const {
    return m_inner.ErrorText();
}

void TracingPort::NoteDrain(bool begun) {
    m_inner.NoteDrain(begun);
    if (begun) {
        m_trace.Flush();
        m_draining = true;
        m_drained.clear();
        m_drainedCount = 0;
        m_drainStartUs = m_trace.ElapsedUs();
        return;
    }
    if (!m_draining) {
        return;
    }
    m_draining = false;
    std::string text = "drained " + Milliseconds(m_trace.ElapsedUs() - m_drainStartUs);
    if (m_drainedCount == 0) {
        text += ", nothing came";
    } else if (m_drainedCount > m_drained.size()) {
        text += ", " + std::to_string(m_drainedCount) + " bytes in all, the first";
    }
    m_trace.PortEvent(text, m_drained);
}

void TracingPort::NoteFailure() const {
    if (m_failureTraced || !m_inner.HasFailed()) {
        return;
    }
    m_failureTraced = true;
    m_trace.PortEvent("port failed: " + m_inner.ErrorText());
}

}  // namespace vantrel
