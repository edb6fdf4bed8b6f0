#include "sim_trace.h"

#include <chrono>
#include <cstdio>

namespace vantrel::sim {

namespace {
bool g_tracing = false;
const auto g_start = std::chrono::steady_clock::now();
}  // namespace

void SetTracing(bool enabled) {
    g_tracing = enabled;
}

bool Tracing() {
    return g_tracing;
}

void Trace(std::string_view text) {
    if (!g_tracing) {
        return;
    }
    const auto elapsed = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - g_start);
    std::fprintf(stderr, "[sim %8lld ms] %.*s\n", static_cast<long long>(elapsed.count()),
                 static_cast<int>(text.size()), text.data());
}

std::string_view Printable(unsigned char byte, char (&buffer)[5]) {
    switch (byte) {
        case '\r':
            return "\\r";
        case '\n':
            return "\\n";
        case '\t':
            return "\\t";
        default:
            break;
    }
    if (byte >= 0x20 && byte < 0x7F) {
        buffer[0] = static_cast<char>(byte);
        return {buffer, 1};
    }
    std::snprintf(buffer, sizeof buffer, "\\x%02X", byte);
    return {buffer, 4};
}

}  // namespace vantrel::sim
