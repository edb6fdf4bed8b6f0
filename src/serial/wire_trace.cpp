#include "wire_trace.h"

#include <chrono>
#include <cstdio>
#include <ctime>

#include "trace_limits.h"

namespace vantrel {

namespace {

// Bytes of XModem that have a name on the line.
constexpr std::uint8_t kSoh = 0x01;  // opens a 128-byte block
constexpr std::uint8_t kStx = 0x02;  // opens a 1024-byte block
constexpr std::uint8_t kEot = 0x04;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;
constexpr std::uint8_t kCan = 0x18;
constexpr std::uint8_t kCrcStart = 'C';

constexpr std::size_t kFrameHeader = 3;  // STX or SOH, number, complement

const char* NameOf(std::uint8_t byte) {
    switch (byte) {
        case kEot:
            return "EOT";
        case kAck:
            return "ACK";
        case kNak:
            return "NAK";
        case kCan:
            return "CAN";
        default:
            return nullptr;
    }
}

void AppendHex(std::string& out, std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        const auto b = static_cast<std::uint8_t>(bytes[i]);
        if (i > 0) {
            out.push_back(' ');
        }
        out.push_back(kDigits[b >> 4]);
        out.push_back(kDigits[b & 0x0F]);
    }
}

bool IsControl(std::uint8_t b) {
    return (b < 0x20 && b != '\r' && b != '\n' && b != '\t') || b == 0x7F;
}

// Text: 7-bit, with at most one control byte in four (a stray CAN in a boot loader's line
// still reads as a line; a run of binary does not).
bool LooksLikeText(std::string_view bytes) {
    std::size_t controls = 0;
    for (const char c : bytes) {
        const auto b = static_cast<std::uint8_t>(c);
        if (b >= 0x80) {
            return false;
        }
        controls += IsControl(b) ? 1 : 0;
    }
    return controls * 4 <= bytes.size();
}

std::string Count(std::size_t n) {
    return std::to_string(n) + (n == 1 ? " byte" : " bytes");
}

}  // namespace

WireTrace::WireTrace(TraceSink& sink, Clock& clock, TraceDetail detail, const std::string& label)
    : m_sink(sink), m_clock(clock), m_detail(detail), m_startUs(clock.NowUs()) {
    m_sink.Begin("# Vantrel wire trace of " + label + ", started " + UtcNowIso() +
                 "; times in milliseconds since then");
    m_received.reserve(trace_limits::kReceivedRunBytes);
}

WireTrace::~WireTrace() {
    Settle();
}

std::uint64_t WireTrace::ElapsedUs() const {
    return m_clock.NowUs() - m_startUs;
}

std::string WireTrace::Quoted(std::string_view bytes) {
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out = "\"";
    for (const char c : bytes) {
        const auto b = static_cast<std::uint8_t>(c);
        switch (b) {
            case '\r':
                out += "\\r";
                break;
            case '\n':
                out += "\\n";
                break;
            case '\t':
                out += "\\t";
                break;
            case '"':
            case '\\':
                out.push_back('\\');
                out.push_back(c);
                break;
            default:
                if (b < 0x20 || b >= 0x7F) {
                    out += "\\x";
                    out.push_back(kDigits[b >> 4]);
                    out.push_back(kDigits[b & 0x0F]);
                } else {
                    out.push_back(c);
                }
        }
    }
    out.push_back('"');
    return out;
}

void WireTrace::Line(char direction, std::string_view text, std::uint64_t atUs) {
    const std::uint64_t us = atUs >= m_startUs ? atUs - m_startUs : 0;
    char time[32];
    const int n = std::snprintf(time, sizeof time, "%10llu.%03llu ",
                                static_cast<unsigned long long>(us / 1000),
                                static_cast<unsigned long long>(us % 1000));
    m_line.assign(time, static_cast<std::size_t>(n));
    m_line.push_back(direction == '>' ? '-' : direction);
    m_line.push_back(direction == '<' ? '-' : direction);
    m_line.push_back(' ');
    m_line.append(text);
    m_sink.Append(m_line);
}

std::string WireTrace::Shown(std::string_view bytes, std::size_t limit) const {
    const bool cut = m_detail == TraceDetail::Frames && bytes.size() > limit;
    const std::string_view shown = cut ? bytes.substr(0, limit) : bytes;
    std::string out;
    if (LooksLikeText(shown)) {
        out = Quoted(shown);
    } else {
        out = "hex ";
        AppendHex(out, shown);
    }
    if (cut) {
        out += " ... (" + Count(bytes.size()) + ")";
    }
    return out;
}

void WireTrace::Sent(const std::uint8_t* data, std::size_t size) {
    Flush();
    if (SentFrame(data, size)) {
        return;
    }
    const std::uint64_t now = m_clock.NowUs();
    if (size == 1 && NameOf(data[0]) != nullptr) {
        Line('>', NameOf(data[0]), now);
        return;
    }
    const std::string_view bytes(reinterpret_cast<const char*>(data), size);
    Line('>', Shown(bytes, trace_limits::kShownBytes), now);
}

bool WireTrace::SentFrame(const std::uint8_t* data, std::size_t size) {
    const std::size_t payload = size == 0 ? 0 : data[0] == kStx ? 1024 : data[0] == kSoh ? 128 : 0;
    const std::size_t bare = kFrameHeader + payload;
    if (payload == 0 || (size != bare + 1 && size != bare + 2) ||
        static_cast<std::uint8_t>(data[1] + data[2]) != 0xFF) {
        return false;
    }
    // The block number counts modulo 256; the trace counts on from the first frame of the
    // transfer, so that a long image's blocks keep their place.
    const std::uint8_t number = data[1];
    if (!m_frameSent) {
        m_block = number;
        m_sendings = 1;
    } else if (number == m_blockNumber) {
        ++m_sendings;
    } else {
        m_block += static_cast<std::uint8_t>(number - m_blockNumber);
        m_sendings = 1;
    }
    m_blockNumber = number;
    m_frameSent = true;
    m_transfer = true;

    std::string text = "block " + std::to_string(m_block);
    if (m_block != number) {
        text += " (number " + std::to_string(number) + ")";
    }
    if (m_sendings > 1) {
        text += ", sending " + std::to_string(m_sendings);
    }
    char check[32];
    if (size == bare + 2) {
        std::snprintf(check, sizeof check, ", CRC 0x%02X%02X: ", data[bare], data[bare + 1]);
    } else {
        std::snprintf(check, sizeof check, ", sum 0x%02X: ", data[bare]);
    }
    text += ", " + std::to_string(payload) + " bytes" + check;
    const char* bytes = reinterpret_cast<const char*>(data);
    if (m_detail == TraceDetail::Bytes) {
        AppendHex(text, std::string_view(bytes, size));
    } else {
        AppendHex(text, std::string_view(bytes + kFrameHeader, trace_limits::kFrameHeadBytes));
        text += " ...";
    }
    Line('>', text, m_clock.NowUs());
    return true;
}

void WireTrace::Received(std::uint8_t byte) {
    const std::uint64_t now = m_clock.NowUs();
    if (m_transfer && (NameOf(byte) != nullptr && byte != kEot)) {
        Flush();
        Line('<', NameOf(byte), now);
        return;
    }
    if (m_transfer && byte == kCrcStart && !m_frameSent) {
        Flush();
        Line('<', "C", now);
        return;
    }
    if (!m_received.empty()) {
        const char last = m_received.back();
        if (now - m_lastReceivedUs >= trace_limits::kReceiveGapUs ||
            m_received.size() >= trace_limits::kReceivedRunBytes ||
            (last == '\r' && byte != '\n')) {
            Flush();
        }
    }
    if (m_received.empty()) {
        m_receivedAtUs = now;
    }
    m_received.push_back(static_cast<char>(byte));
    m_lastReceivedUs = now;
    if (byte == '\n') {
        Flush();
    }
}

void WireTrace::PortEvent(std::string_view text, std::string_view bytes) {
    Flush();
    std::string line(text);
    if (!bytes.empty()) {
        const bool cut = m_detail == TraceDetail::Frames && bytes.size() > trace_limits::kShownBytes;
        const std::string_view shown = cut ? bytes.substr(0, trace_limits::kShownBytes) : bytes;
        line += ", " + Count(bytes.size()) + ": ";
        AppendHex(line, shown);
        if (LooksLikeText(shown)) {
            line += " " + Quoted(shown);
        }
        if (cut) {
            line += " ...";
        }
    }
    Line('-', line, m_clock.NowUs());
    m_sink.Settle();
}

void WireTrace::SessionEvent(std::string_view text) {
    Flush();
    Line('=', text, m_clock.NowUs());
    m_sink.Settle();
}

void WireTrace::SetTransfer(bool on) {
    Flush();
    m_transfer = on;
    m_frameSent = false;
}

void WireTrace::Mark() {
    Flush();
    m_sink.Mark();
}

void WireTrace::Settle() {
    Flush();
    m_sink.Settle();
}

void WireTrace::Flush() {
    if (m_received.empty()) {
        return;
    }
    Line('<', Shown(m_received, trace_limits::kReceivedRunBytes), m_receivedAtUs);
    m_received.clear();
}

}  // namespace vantrel
