#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "clock.h"

namespace vantrel {

// Where the lines of a wire trace go: a file (trace_file.h) or a port's ring (trace_ring.h).
//
// Thread contract: a sink belongs to the thread of the trace that writes to it.
class TraceSink {
public:
    virtual ~TraceSink() = default;

    // The trace's first line, once, before any other: says when the trace started and what
    // its times count from.
    virtual void Begin(std::string_view header) = 0;
    // One line, without its line feed.
    virtual void Append(std::string_view line) = 0;
    // An instrument's part of the trace begins here (the ring keeps where; a file ignores it).
    virtual void Mark() {}
    // Hands what the sink holds to the system (a file); the trace calls it at every event and
    // when the line falls quiet.
    virtual void Settle() {}
};

// How much of each frame a trace shows.
enum class TraceDetail {
    Frames,  // a frame as its block, size, check value and first data bytes
    Bytes,   // every byte of every frame, and of everything thrown away
};

// The wire trace of one port: every byte each way with its time and direction, the port's
// own events and the session's phases, one event a line, as plain text (described for
// the operator in the WIRE TRACE section of vantrel(1), docs/man/vantrel.1).
//
//       1203.417 <- "User area sectors NOT protected\r\n"
//       1950.002 -> block 3, 1024 bytes, CRC 0x1A2B: 4F 2E 01 00 7C 22 90 13 ...
//       1950.611 <- NAK
//
// A line starts with the time in milliseconds since the trace began (three decimals), then
// the direction: "->" sent, "<-" received, "--" an event of the port, "==" an event of the
// session. Received bytes are gathered into one line until a line end, a pause on the line
// (trace_limits::kReceiveGapUs), a write or any event; they show as text in double quotes
// when they look like text (control bytes escaped: \r, \n, \t, \x18, and \" \\), otherwise
// as "hex" and the bytes. A write is one line: an XModem frame as its block, a lone EOT, CAN,
// ACK or NAK by name. During a transfer an answer byte (ACK, NAK, CAN, and the start signal
// C before the first frame) is a line of its own, by name.
//
// The trace is fed by the TracingPort around the real port and by the session's events
// (TraceEvents); it never fails the session: a sink that cannot write keeps its own error.
//
// Thread contract: a trace, its sink and the tracing port that feeds it belong to the one
// thread that owns the port. Nothing of it is shared.
class WireTrace {
public:
    // `label` names what is traced (a COM name, the program) in the header line.
    WireTrace(TraceSink& sink, Clock& clock, TraceDetail detail, const std::string& label);
    ~WireTrace();
    WireTrace(const WireTrace&) = delete;
    WireTrace& operator=(const WireTrace&) = delete;

    TraceDetail Detail() const { return m_detail; }

    // One write that the port took, as it went out.
    void Sent(const std::uint8_t* data, std::size_t size);
    // One byte the program took from the port.
    void Received(std::uint8_t byte);
    // An event of the port ("--"): `text`, then `bytes` (thrown away, unread) when there are
    // any, shown as "N bytes: hex" and the text form when they look like text.
    void PortEvent(std::string_view text, std::string_view bytes = {});
    // An event of the session ("==").
    void SessionEvent(std::string_view text);

    // A transfer begins or ends: answers are named from now on, or no longer; the block count
    // starts again.
    void SetTransfer(bool on);
    // The instrument's part of the trace begins here.
    void Mark();
    // Writes out the received bytes gathered so far.
    void Flush();
    // Flush, and the sink hands what it holds to the system: the line is quiet.
    void Settle();

    // Time since the trace began, microseconds.
    std::uint64_t ElapsedUs() const;

    // Bytes in the trace's text form, for messages: escaped text in double quotes.
    static std::string Quoted(std::string_view bytes);

private:
    void Line(char direction, std::string_view text, std::uint64_t atUs);
    bool SentFrame(const std::uint8_t* data, std::size_t size);
    std::string Shown(std::string_view bytes, std::size_t limit) const;
    void ReceivedAnswer(std::uint8_t byte);

    TraceSink& m_sink;
    Clock& m_clock;
    TraceDetail m_detail;
    std::uint64_t m_startUs;
    std::string m_line;  // the line being composed, reused
    // Received bytes not yet written out, and when the first and the last of them came.
    std::string m_received;
    std::uint64_t m_receivedAtUs = 0;
    std::uint64_t m_lastReceivedUs = 0;
    // The transfer: answers by name; which block the last frame was, and its sendings.
    bool m_transfer = false;
    bool m_frameSent = false;
    std::uint64_t m_block = 0;
    std::uint8_t m_blockNumber = 0;
    int m_sendings = 0;
};

}  // namespace vantrel
