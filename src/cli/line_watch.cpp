#include "line_watch.h"

#include <algorithm>
#include <cstdio>

#include "session/strings.h"

namespace vantrel::cli {

namespace {

std::uint32_t Packed(const std::string& signature) {
    std::uint32_t value = 0;
    for (unsigned char c : signature) {
        value = (value << 8) | c;
    }
    return value;
}

// The model whose four-character signature equals `window`, in the order identification
// compares them; -1 for none.
int ModelOfWindow(std::uint32_t window) {
    const struct {
        Str id;
        int model;
    } signatures[] = {
        {Str::SignatureModel0, 0}, {Str::SignatureModel2, 2}, {Str::SignatureModel1, 1}};
    for (const auto& s : signatures) {
        if (Packed(LoadString(s.id)) == window) {
            return s.model;
        }
    }
    return -1;
}

}  // namespace

void LineObservation::Take(std::uint8_t byte) {
    ++bytesSeen;
    if (first.size() < kKeptBytes) {
        first.push_back(byte);
    }
    if (signatureModel >= 0) {
        if (afterSignature.size() < kKeptBytes) {
            afterSignature.push_back(byte);
        }
        return;
    }
    if (byte == '>') {
        promptSeen = true;
    }
    m_window = (m_window << 8) | byte;
    if (bytesSeen >= 4) {
        signatureModel = ModelOfWindow(m_window);
    }
}

std::string HexBytes(const std::vector<std::uint8_t>& bytes) {
    std::string text;
    for (std::uint8_t b : bytes) {
        char pair[4];
        std::snprintf(pair, sizeof pair, "%02x", b);
        if (!text.empty()) {
            text += ' ';
        }
        text += pair;
    }
    return text;
}

SilenceDiagnosis DiagnoseSilence(const LineObservation& seen, const std::string& portLabel,
                                 int waitSeconds) {
    SilenceDiagnosis d;
    d.firstBytesHex = HexBytes(seen.first);
    const std::string headline = "No instrument identified on " + portLabel + " within " +
                                 std::to_string(waitSeconds) + " s.\n";
    if (seen.portFailed) {
        d.kind = "port-failed";
        d.text = headline + "The port failed while waiting: " + seen.portError +
                 ".\nCheck that the serial adapter is still plugged in.\n";
    } else if (seen.signatureModel >= 0) {
        d.kind = "signature-without-prompt";
        d.text = headline + "A boot loader of model " + std::to_string(seen.signatureModel) +
                 " announced itself, but its \">\" prompt never came" +
                 (seen.afterSignature.empty()
                      ? std::string(" (nothing followed)")
                      : " (then received: " + HexBytes(seen.afterSignature) + ")") +
                 ".\nThe instrument may not be receiving what this computer sends: check the "
                 "cable's transmit wire and the adapter, then reset the instrument while Vantrel "
                 "waits for it.\n";
    } else if (seen.bytesSeen > 0) {
        d.kind = "unknown-bytes";
        d.text = headline + "Received " + std::to_string(seen.bytesSeen) +
                 " bytes but no boot-loader signature; the first: " + d.firstBytesHex + ".\n";
        if (seen.promptSeen) {
            // The boot loader answers a carriage return with its prompt: one that was reset
            // before the port was opened sits at its menu and never announces itself again.
            d.text +=
                "A \">\" came by: the boot loader may already be at its menu. Reset the "
                "instrument while Vantrel waits for it, so that it announces itself.\n";
        }
        d.text +=
            "Likely causes: the wrong port; the instrument is running its application "
            "instead of its boot loader (reset it); the line runs at another speed than "
            "38400 baud.\n";
    } else {
        d.kind = "nothing";
        d.text = headline +
                 "Nothing at all was received. Check the cable and that it is on this port, "
                 "that the instrument is powered, and reset the instrument while Vantrel waits "
                 "for it.\n";
    }
    return d;
}

WatchedPort::WatchedPort(Port& inner) : m_inner(inner) {}

void WatchedPort::StartObserving() {
    m_seen = LineObservation{};
}

bool WatchedPort::Open(const std::string& device) {
    return m_inner.Open(device);
}
void WatchedPort::Close() {
    m_inner.Close();
}
bool WatchedPort::IsOpen() const {
    return m_inner.IsOpen();
}

std::size_t WatchedPort::Waiting() {
    return m_inner.Waiting();
}

std::optional<std::uint8_t> WatchedPort::Take() {
    const auto byte = m_inner.Take();
    if (byte) {
        m_seen.Take(*byte);
    }
    return byte;
}

void WatchedPort::DiscardInput() {
    m_seen.bytesSeen += m_inner.Waiting();
    m_inner.DiscardInput();
}

bool WatchedPort::Write(const std::uint8_t* data, std::size_t size) {
    return m_inner.Write(data, size);
}

bool WatchedPort::WaitForInput(std::uint64_t ms, const StopSignal* stop) {
    return m_inner.WaitForInput(ms, stop);
}

void WatchedPort::SetReceiveNotification(bool armed) {
    m_inner.SetReceiveNotification(armed);
}
bool WatchedPort::ReceiveNotificationArmed() const {
    return m_inner.ReceiveNotificationArmed();
}

bool WatchedPort::HasFailed() const {
    return m_inner.HasFailed();
}

std::string WatchedPort::ErrorText() const {
    return m_inner.ErrorText();
}

}  // namespace vantrel::cli
