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
//
// A read that stays silent in the middle of a wait means the instrument has gone: the
// session goes Connection-Lost. A silent read caused by a failed port does the same
// wherever it happens, so the operator is told. A read cut short by the session's stop ends
// the operation at once and leaves the session On-Line, so that the front end can still
// leave the menu.
//
// Each operation is a phase of the connection's observer (the download two: the menu and the
// transfer), begun before its first command and ended with its outcome in the boot loader's
// own words.
class BootLoader {
public:
    BootLoader(Connection& connection, XModemSender& sender);

    // From now on the target file must be the one that had `identity` when the front end read
    // it: a download refuses a file that differs (the receiver is cancelled), and a transfer
    // whose file changes before its end is cancelled instead of ended. `changedText` is what
    // the operator is told then.
    void ExpectImage(const ImageIdentity& identity, const std::string& changedText);

    // Reads lines until one equals `text`; the line left by the previous read counts first.
    // False after a silent read, or when the boot loader keeps sending other lines beyond
    // session_limits::kLineWaitLimitMs; either has already called GoConnectionLost.
    bool WaitForLine(const std::string& text);

    // Menu "1". 0 when the boot loader answers with any line but "User area is NOT blank";
    // 1 for that line, for no answer within the model's reads, or a lost connection.
    std::uint8_t BlankCheck();
    // Menu "2". 0 when the user-area sectors (both banks on model 0) are reported not
    // protected; 1 otherwise.
    std::uint8_t VerifyProtection();
    // Menu "3", answered "Y". 0 when every block line of the model arrived in order.
    std::uint8_t EraseUserArea();
    // Menu "5", the model's base address, "Y", then the XModem-1K transfer of TargetFile.
    // The transfer's acknowledged byte count, or a negative code of results.h:
    // kFaultLine, kConnectionLost, kInterrupted, kCannotOpenTarget, kImageTooLarge or
    // SendFile's own.
    std::int32_t DownloadProgram();
    // Menu "6", answered "Y". 0 when the instrument falls silent (or keeps talking past the
    // restart bound without refusing); 1 when it refuses or the port failed.
    std::uint8_t RestartInstrument();
    // VerifyProtection, BlankCheck, EraseUserArea unless blank, DownloadProgram. 0 when the
    // download succeeded.
    std::uint8_t AutoReprogram();

private:
    enum class Wait { Found, FaultLine, Lost, Stopped };

    // WaitForLine; with `watchFaults`, a line equal to one of the two user-area fault texts
    // ends the wait as FaultLine (the line held before the first read is not checked). A stop
    // ends it as Stopped, without going Connection-Lost.
    Wait AwaitLine(const std::string& text, bool watchFaults);
    // Begins `phase` with the observer.
    void Begin(Phase phase);
    // Ends `phase` with the observer and returns `result`.
    std::int32_t End(Phase phase, OutcomeKind kind, std::int32_t result, std::string words);
    // Ends `phase` after a wait that did not find its line: interrupted, port failed, or
    // silent in the words the status line now shows.
    std::int32_t EndUnanswered(Phase phase, std::int32_t result);
    // One ReadLine of the dialogue's time-out: 0 with a line, 1 when silent.
    std::uint8_t Read();
    // After a silent read: when the port itself has failed, goes Connection-Lost and says
    // so. True in that case.
    bool PortGone();
    // Cancels the boot loader's XModem receiver, which waits for a transfer that will not
    // come, so that it returns to its menu.
    void CancelReceiver();
    // Steps 8 to 12 of the download: opens TargetFile, sends it, closes it.
    std::int32_t SendTarget();

    Connection& m_connection;
    XModemSender& m_sender;
    bool m_imageExpected = false;
    ImageIdentity m_expectedImage;
    std::string m_imageChangedText;
};

}  // namespace vantrel
