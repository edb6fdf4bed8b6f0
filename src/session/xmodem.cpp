#include "xmodem.h"

// Placeholder until the sender is implemented.
namespace vantrel {
std::size_t FileImageReader::Read(std::uint8_t*, std::size_t) { return 0; }
XModemSender::XModemSender(SerialChannel& channel, OperatorDisplay& display)
    : m_channel(channel), m_display(display) {}
std::int32_t XModemSender::SendFile(ImageReader&, std::int64_t) { return -2; }
std::uint16_t ComputeCrc16(const std::uint8_t*, std::uint16_t) { return 0; }
}  // namespace vantrel
