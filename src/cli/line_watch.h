#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "serial/port.h"

namespace vantrel::cli {

// What came in on the line while the console waited for a reset instrument.
struct LineObservation {
    std::uint64_t bytesSeen = 0;      // taken or thrown away
    std::vector<std::uint8_t> first;  // the first bytes taken, at most kKeptBytes
    int signatureModel = -1;          // model whose signature went by in the taken bytes, or -1
    std::vector<std::uint8_t> afterSignature;  // bytes taken after it, at most kKeptBytes
    bool promptSeen = false;                   // a '>' came by before any signature
    bool portFailed = false;
    std::string portError;

    // Bytes kept for the diagnosis: enough to recognise a text or a wrong line speed.
    static constexpr std::size_t kKeptBytes = 16;

    // Notes one taken byte.
    void Take(std::uint8_t byte);

private:
    std::uint32_t m_window = 0;  // the last four bytes taken, oldest in the high byte
};

// Why no instrument was identified, told in the operator's terms.
struct SilenceDiagnosis {
    std::string kind;  // "nothing", "unknown-bytes", "signature-without-prompt", "port-failed"
    std::string text;  // several lines, each ending in a line feed
    std::string firstBytesHex;
};

// Classifies what the line carried during a wait of `waitSeconds` on `portLabel`.
SilenceDiagnosis DiagnoseSilence(const LineObservation& seen, const std::string& portLabel,
                                 int waitSeconds);

// Bytes as lower-case hex pairs separated by blanks.
std::string HexBytes(const std::vector<std::uint8_t>& bytes);

// The port the console hands to the session: passes everything through to the real port and
// notes what is taken (or thrown away) for the identification diagnosis.
class WatchedPort final : public Port {
public:
    explicit WatchedPort(Port& inner);

    // Starts a new observation (at the start of each wait for a reset).
    void StartObserving();
    const LineObservation& Observed() const { return m_seen; }
    Port& inner() { return m_inner; }

    bool Open(const std::string& device) override;
    void Close() override;
    bool IsOpen() const override;
    std::size_t Waiting() override;
    std::optional<std::uint8_t> Take() override;
    void DiscardInput() override;
    bool Write(const std::uint8_t* data, std::size_t size) override;
    bool WaitForInput(std::uint64_t ms, const StopSignal* stop) override;
    void SetReceiveNotification(bool armed) override;
    bool ReceiveNotificationArmed() const override;
    bool HasFailed() const override;
    std::string ErrorText() const override;
    void NoteDrain(bool begun) override { m_inner.NoteDrain(begun); }

private:
    Port& m_inner;
    LineObservation m_seen;
};

}  // namespace vantrel::cli
