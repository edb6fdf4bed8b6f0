#pragma once

#include <cstdint>
#include <string>

#include "connection.h"
#include "xmodem.h"

namespace vantrel {

// The operator's functions on an On-Line instrument, driving the boot loader's text menu.
//
// Each operation writes menu commands and answers with nothing appended, reads the boot
// loader's output line by line, and recognises each step by comparing the whole received
// line with a string-table text. BlankCheck, VerifyProtection, EraseUserArea,
// RestartInstrument and AutoReprogram return 0 for success and 1 for failure;
// DownloadProgram returns the transfer's byte count or a negative code of results.h.
class BootLoader {
public:
    BootLoader(Connection& connection, XModemSender& sender);

    // Reads lines until one equals `text`; the line left by the previous read counts first.
    // False after a silent read, which has already called GoConnectionLost.
    bool WaitForLine(const std::string& text);

    std::uint8_t BlankCheck();         // menu "1"
    std::uint8_t VerifyProtection();   // menu "2"
    std::uint8_t EraseUserArea();      // menu "3"
    std::int32_t DownloadProgram();    // menu "5", then the XModem-1K transfer
    std::uint8_t RestartInstrument();  // menu "6"
    std::uint8_t AutoReprogram();      // protection, blank check, erase unless blank, download

private:
    Connection& m_connection;
    XModemSender& m_sender;
};

}  // namespace vantrel
