#include "connection.h"

// Placeholder until identification is implemented.
namespace vantrel {
Connection::Connection(SerialChannel& channel, OperatorDisplay& display)
    : m_channel(channel), m_display(display) {}
bool Connection::OpenPort(const std::string&) { return false; }
void Connection::IdentifyInstrument() {}
bool Connection::GoOnLine() { return false; }
bool Connection::GoConnectionLost() { return true; }
}  // namespace vantrel
