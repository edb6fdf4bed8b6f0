#pragma once

#include <string_view>

namespace vantrel::sim {

// Event trace on stderr (--verbose): one line per event, with the time since start in ms.
void SetTracing(bool enabled);
bool Tracing();
void Trace(std::string_view text);

// A byte as the trace and the report show it: printable ASCII as itself, others as \xNN
// (CR as \r, LF as \n, TAB as \t).
std::string_view Printable(unsigned char byte, char (&buffer)[5]);

}  // namespace vantrel::sim
