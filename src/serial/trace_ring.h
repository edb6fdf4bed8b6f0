#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "trace_limits.h"
#include "wire_trace.h"

namespace vantrel {

// A port's trace kept in memory of a fixed size: the newest whole lines, the oldest dropped
// as new ones come. The station keeps one per port, always on, and writes an instrument's
// part of it to a file when the instrument fails (trace_file.h).
//
// Thread contract: a ring belongs to the thread of the trace that writes to it; Section and
// the file written from it are taken on that thread, between two lines.
class TraceRing final : public TraceSink {
public:
    // All `capacity` bytes are taken at once, never more.
    explicit TraceRing(std::size_t capacity = trace_limits::kRingBytes);

    void Begin(std::string_view header) override;
    void Append(std::string_view line) override;
    void Mark() override;

    // The lines since the last Mark (all that are kept, before the first), each ending in a
    // line feed, and how many lines of that part were dropped to make room.
    struct Section {
        std::string header;  // the trace's first line: what its times count from
        std::string lines;
        std::uint64_t droppedLines = 0;
    };
    Section SinceMark() const;

    std::size_t Capacity() const { return m_buffer.size(); }

private:
    void DropOldestLine();
    void Put(std::string_view bytes);

    std::vector<char> m_buffer;
    std::string m_header;
    // Positions count every byte ever appended; the ring holds [m_begin, m_end).
    std::uint64_t m_begin = 0;
    std::uint64_t m_end = 0;
    std::uint64_t m_mark = 0;
    // Lines counted the same way: the oldest kept, and the first after the mark.
    std::uint64_t m_firstLine = 0;
    std::uint64_t m_lines = 0;
    std::uint64_t m_markLine = 0;
};

}  // namespace vantrel
