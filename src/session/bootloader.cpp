#include "bootloader.h"

// Placeholder until the operations are implemented.
namespace vantrel {
BootLoader::BootLoader(Connection& connection, XModemSender& sender)
    : m_connection(connection), m_sender(sender) {}
bool BootLoader::WaitForLine(const std::string&) { return false; }
std::uint8_t BootLoader::BlankCheck() { return 1; }
std::uint8_t BootLoader::VerifyProtection() { return 1; }
std::uint8_t BootLoader::EraseUserArea() { return 1; }
std::int32_t BootLoader::DownloadProgram() { return -11; }
std::uint8_t BootLoader::RestartInstrument() { return 1; }
std::uint8_t BootLoader::AutoReprogram() { return 1; }
}  // namespace vantrel
