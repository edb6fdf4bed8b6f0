#include "trace_ring.h"

#include <algorithm>
#include <cstring>

namespace vantrel {

namespace {
constexpr std::string_view kCutMark = " [line cut]";
}  // namespace

TraceRing::TraceRing(std::size_t capacity)
    : m_buffer(std::max(capacity, trace_limits::kRingMinBytes)) {}

void TraceRing::Begin(std::string_view header) {
    m_header.assign(header);
}

void TraceRing::Append(std::string_view line) {
    // A line never takes more than the ring's own bound (and never the whole ring), so that
    // one line cannot push out everything else.
    const std::size_t room =
        std::min(trace_limits::kRingLineBytes, m_buffer.size() / 4) - 1;
    const bool cut = line.size() > room;
    const std::string_view kept = cut ? line.substr(0, room - std::min(room, kCutMark.size()))
                                      : line;
    const std::size_t size = kept.size() + (cut ? kCutMark.size() : 0) + 1;
    while (m_end - m_begin + size > m_buffer.size() && m_begin < m_end) {
        DropOldestLine();
    }
    Put(kept);
    if (cut) {
        Put(kCutMark);
    }
    Put("\n");
    ++m_lines;
}

void TraceRing::Put(std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const std::size_t at = static_cast<std::size_t>(m_end % m_buffer.size());
        const std::size_t n = std::min(bytes.size() - done, m_buffer.size() - at);
        std::memcpy(m_buffer.data() + at, bytes.data() + done, n);
        done += n;
        m_end += n;
    }
}

void TraceRing::DropOldestLine() {
    // Lines are whole in the ring: the oldest ends at the first line feed after m_begin.
    while (m_begin < m_end) {
        const char c = m_buffer[static_cast<std::size_t>(m_begin % m_buffer.size())];
        ++m_begin;
        if (c == '\n') {
            break;
        }
    }
    ++m_firstLine;
}

void TraceRing::Mark() {
    m_mark = m_end;
    m_markLine = m_lines;
}

TraceRing::Section TraceRing::SinceMark() const {
    Section section;
    section.header = m_header;
    section.droppedLines = m_firstLine > m_markLine ? m_firstLine - m_markLine : 0;
    const std::uint64_t from = std::max(m_mark, m_begin);
    section.lines.reserve(static_cast<std::size_t>(m_end - from));
    for (std::uint64_t at = from; at < m_end;) {
        const std::size_t offset = static_cast<std::size_t>(at % m_buffer.size());
        const std::size_t n =
            static_cast<std::size_t>(std::min<std::uint64_t>(m_end - at, m_buffer.size() - offset));
        section.lines.append(m_buffer.data() + offset, n);
        at += n;
    }
    return section;
}

}  // namespace vantrel
