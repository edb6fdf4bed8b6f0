#include "xmodem.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <limits>
#include <string>

#include "results.h"
#include "session_limits.h"
#include "strings.h"

namespace vantrel {

namespace {

// Control bytes of the protocol.
constexpr std::uint8_t kStx = 0x02;  // opens a 1024-byte block
constexpr std::uint8_t kEot = 0x04;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;  // start signal for the 8-bit sum; "not accepted" later
constexpr std::uint8_t kCan = 0x18;
constexpr std::uint8_t kCrcStart = 'C';  // start signal for CRC-16
constexpr std::uint8_t kSub = 0x1A;      // end-of-data mark in the last, partial block
constexpr std::uint8_t kFill = 0xFF;     // the rest of the last block: erased flash

constexpr std::size_t kBlockBytes = 1024;
constexpr std::size_t kHeaderBytes = 3;  // STX, number, complement

// Waits in milliseconds, before the slow model's factor (ReadByte applies it).
// A receiver repeats its start signal every few seconds; one try outlasts a repeat.
constexpr std::uint32_t kStartTryMs = 6000;
// The second CAN of a cancel follows the first at once on any receiver.
constexpr std::uint32_t kSecondCanMs = 1000;
// A block takes 268 ms on the wire at 38400 baud; the answer comes right after it.
constexpr std::uint32_t kBlockAnswerMs = 1000;
// Receivers often wait for the line to be quiet before they answer EOT.
constexpr std::uint32_t kEotAnswerMs = 2000;

// Retry bounds: 16 tries of 6 s give up after 96 s (384 s on the slow model); 25 sendings
// of one frame ride out a burst of line noise; 10 EOT cover a receiver that NAKs the first.
constexpr int kStartTries = 16;
constexpr int kFrameSendings = 25;
constexpr int kEotSendings = 10;
// The sender gives up with three CAN: receivers act on two, one more survives a lost byte.
constexpr int kGiveUpCans = 3;

// The acknowledged bytes (size rounded up to whole blocks) must fit the signed 32-bit
// result: 2 GiB - 1024 is the largest size that does.
constexpr std::int64_t kLargestSize = std::numeric_limits<std::int32_t>::max() /
                                      static_cast<std::int64_t>(kBlockBytes) *
                                      static_cast<std::int64_t>(kBlockBytes);

bool SendByte(SerialChannel& channel, std::uint8_t byte) {
    const char text = static_cast<char>(byte);
    return channel.SendText(std::string_view(&text, 1));
}

}  // namespace

std::size_t FileImageReader::Read(std::uint8_t* buffer, std::size_t size) {
    if (m_failed || m_file == nullptr) {
        return 0;
    }
    errno = 0;
    const std::size_t got = std::fread(buffer, 1, size, m_file);
    if (got < size && std::ferror(m_file) != 0) {
        const int code = errno;
        m_failed = true;
        m_error = code != 0 ? std::strerror(code) : "Read error";
    }
    return got;
}

void FileImageReader::Guard(const std::string& path, const ImageIdentity& identity,
                            const std::string& changedText) {
    m_guarded = true;
    m_path = path;
    m_identity = identity;
    m_changedText = changedText;
}

std::string FileImageReader::CheckUnchanged() {
    if (!m_guarded) {
        return {};
    }
    // The bytes sent came through the open stream; the file at the path is what the record
    // and the next instrument take for the image. Both must still be the one read.
    std::string why;
    const auto open = m_file != nullptr ? IdentityOfDescriptor(::fileno(m_file)) : std::nullopt;
    const auto named = IdentityOfPath(m_path, why);
    if (open == m_identity && named == m_identity) {
        return {};
    }
    return named || why.empty() ? m_changedText : m_changedText + " (" + why + ")";
}

XModemSender::XModemSender(SerialChannel& channel, OperatorDisplay& display,
                           SessionEvents& events)
    : m_channel(channel), m_display(display), m_events(events) {}

std::int32_t XModemSender::SendFile(ImageReader& image, std::int64_t size) {
    m_report = TransferReport{};
    m_size = size;
    return Finish(Transfer(image, size));
}

std::int32_t XModemSender::Finish(std::int32_t result) {
    if (result == result::kInterrupted) {
        // The receiver still waits for blocks: it is told that none will come, although the
        // session has been stopped, and the line is let fall quiet so that the cancel has
        // reached the instrument before anyone closes the port.
        SerialChannel line = m_channel.WithoutStop();
        SendCancel(line);
        line.Drain(session_limits::kStopDrainLimitMs);
    } else {
        m_channel.Drain();
    }
    m_report.result = result;
    return result;
}

std::int32_t XModemSender::LineGone() const {
    if (m_channel.Stopped()) {
        return result::kInterrupted;
    }
    if (m_channel.PortFailed() || !m_channel.IsOpen()) {
        return result::kPortFailed;
    }
    return 0;
}

void XModemSender::TellProgress(std::uint32_t block, int repeats) {
    TransferState state;
    state.bytesAcknowledged = m_report.bytesAcknowledged;
    state.total = m_size;
    state.block = block;
    state.repeats = repeats;
    state.framesSent = m_report.framesSent;
    state.crcMode = m_report.crcMode;
    m_events.TransferProgress(state);
}

std::int32_t XModemSender::Transfer(ImageReader& image, std::int64_t size) {
    if (size < 0) {
        m_report.imageError = "The length of the target file could not be read";
        return result::kImageReadError;
    }
    if (size > kLargestSize) {
        m_report.imageError = "The target file is too large: at most " +
                              std::to_string(kLargestSize) + " bytes can be sent";
        return result::kImageTooLarge;
    }

    m_display.SetProgressPos(0);
    m_display.SetProgressStep(1);
    m_display.SetProgressRange(static_cast<int>(size / static_cast<std::int64_t>(kBlockBytes)));

    if (const std::int32_t refused = AwaitStart(); refused < 0) {
        return refused;
    }

    m_next.built = false;
    std::int64_t acknowledged = 0;
    std::uint8_t number = 1;
    for (std::uint32_t blockIndex = 1;; ++blockIndex) {
        ShowProgress(acknowledged, size);
        const std::int64_t remaining = size - acknowledged;
        TellProgress(remaining > 0 ? blockIndex : 0, 0);
        if (remaining <= 0) {
            if (const std::string changed = image.CheckUnchanged(); !changed.empty()) {
                m_report.imageError = changed;
                SendCancel(m_channel);
                return result::kImageReadError;
            }
            return Close(acknowledged);
        }
        if (!m_next.built) {
            BuildFrame(image, remaining, number, m_next);
        }
        std::swap(m_frame, m_next);
        m_next.built = false;
        if (!m_frame.readError.empty()) {
            m_report.imageError = m_frame.readError;
            SendCancel(m_channel);
            return result::kImageReadError;
        }
        const std::int64_t nextRemaining = remaining - static_cast<std::int64_t>(kBlockBytes);
        if (const std::int32_t failed = SendBlock(blockIndex, image, nextRemaining); failed < 0) {
            return failed;
        }
        ++number;
        acknowledged += static_cast<std::int64_t>(kBlockBytes);
        m_report.bytesAcknowledged = acknowledged;
    }
}

std::int32_t XModemSender::AwaitStart() {
    for (int tries = 0; tries < kStartTries; ++tries) {
        // Only a start signal of this try counts: one that is left over from before (the
        // boot loader repeats it) would be answered out of step.
        m_channel.ClearInput();
        const Reply reply = ReadReply(kStartTryMs);
        if (reply.cancelled) {
            SendByte(m_channel, kAck);
            return result::kReceiverCancelled;
        }
        if (!reply.timedOut && (reply.byte == kCrcStart || reply.byte == kNak)) {
            m_report.started = true;
            m_report.crcMode = reply.byte == kCrcStart;
            return 0;
        }
        // A stopped session or a failed port ends every wait at once: the remaining tries
        // would all fail the same way within microseconds.
        if (const std::int32_t gone = LineGone(); gone < 0) {
            return gone;
        }
    }
    SendCancel(m_channel);
    return result::kNoStartSignal;
}

void XModemSender::ShowProgress(std::int64_t acknowledged, std::int64_t size) {
    // An empty file has nothing left to send once it starts: it shows as complete.
    const double percent = size > 0 ? static_cast<double>(std::min(acknowledged, size)) * 100.0 /
                                          static_cast<double>(size)
                                    : 100.0;
    m_display.SetTitle(FormatString(Str::TitlePercentSent, percent));
    m_display.RefreshControls();
    m_display.StepProgress();
    m_display.RepaintAndShow();
}

void XModemSender::BuildFrame(ImageReader& image, std::int64_t remaining, std::uint8_t number,
                              Frame& frame) {
    frame.built = true;
    frame.readError.clear();
    std::uint8_t* data = frame.bytes.data() + kHeaderBytes;
    const std::size_t wanted =
        static_cast<std::size_t>(std::min<std::int64_t>(remaining, kBlockBytes));
    const std::size_t got = image.Read(data, wanted);
    if (got != wanted || image.Failed()) {
        frame.readError = image.Failed()
                              ? "The target file could not be read: " + image.ErrorText()
                              : "The target file ended before its length: it was changed "
                                "while it was being sent";
        return;
    }
    if (wanted < kBlockBytes) {
        data[wanted] = kSub;
        std::fill(data + wanted + 1, data + kBlockBytes, kFill);
    }

    frame.bytes[0] = kStx;
    frame.bytes[1] = number;
    frame.bytes[2] = static_cast<std::uint8_t>(0xFF - number);
    std::size_t size = kHeaderBytes + kBlockBytes;
    if (m_report.crcMode) {
        const std::uint16_t crc = ComputeCrc16(data, static_cast<std::uint16_t>(kBlockBytes));
        frame.bytes[size++] = static_cast<std::uint8_t>(crc >> 8);
        frame.bytes[size++] = static_cast<std::uint8_t>(crc & 0xFF);
    } else {
        std::uint8_t sum = 0;
        for (std::size_t i = 0; i < kBlockBytes; ++i) {
            sum = static_cast<std::uint8_t>(sum + data[i]);
        }
        frame.bytes[size++] = sum;
    }
    frame.size = size;
}

std::int32_t XModemSender::SendBlock(std::uint32_t blockIndex, ImageReader& image,
                                     std::int64_t nextRemaining) {
    for (int attempts = 0; attempts < kFrameSendings; ++attempts) {
        if (attempts == 0 && ClearInputKeepingCancel()) {
            // The input is cleared before the first sending. Nothing can answer a frame not
            // yet sent: what waits now is a repeated or late answer to the block before, which
            // would be taken for this frame's ACK and put the transfer out of step with the
            // receiver (it could even end with a block the receiver refused). A receiver that
            // acknowledged the block and cancelled at once is heard all the same.
            SendByte(m_channel, kAck);
            return result::kReceiverCancelled;
        }
        if (!m_channel.SendBytes(m_frame.bytes.data(), m_frame.size)) {
            // Nothing went out: only the frames the port took are counted.
            const std::int32_t gone = LineGone();
            return gone < 0 ? gone : result::kPortFailed;
        }
        ++m_report.framesSent;
        if (attempts > 0) {
            m_report.repeatsPerBlock[blockIndex] = attempts;
            TellProgress(blockIndex, attempts);
        }
        if (attempts == 0 && nextRemaining > 0) {
            // The frame takes a quarter of a second on the line: time enough to read and
            // check the next block, so the next frame can follow the ACK at once. The wait
            // for the answer starts a few microseconds later; the answer waits in the input.
            BuildFrame(image, nextRemaining, static_cast<std::uint8_t>(m_frame.bytes[1] + 1),
                       m_next);
        }
        const Reply reply = ReadReply(kBlockAnswerMs);
        if (reply.cancelled) {
            SendByte(m_channel, kAck);
            return result::kReceiverCancelled;
        }
        if (!reply.timedOut && reply.byte == kAck) {
            return 0;
        }
        // A wait cut short by a stop or a failed port is no silence of the receiver: sending
        // the frame again could not be heard, and would count sendings that never happened.
        if (const std::int32_t gone = LineGone(); gone < 0) {
            return gone;
        }
        // NAK, noise or silence: the same frame goes out again at once, without clearing
        // the input, so an answer that was merely late is still read next time.
    }
    SendCancel(m_channel);
    return result::kBlockNotAcknowledged;
}

std::int32_t XModemSender::Close(std::int64_t acknowledged) {
    bool accepted = false;
    // A repeated ACK of the last block must not pass for the answer to EOT.
    m_channel.ClearInput();
    while (!accepted && m_report.eotSent < kEotSendings) {
        if (!SendByte(m_channel, kEot)) {
            const std::int32_t gone = LineGone();
            return gone < 0 ? gone : result::kPortFailed;
        }
        ++m_report.eotSent;
        // A CAN has no special meaning here: anything but ACK asks for another EOT.
        const ByteRead answer = m_channel.ReadByte(kEotAnswerMs);
        accepted = !answer.TimedOut() && answer.byte == kAck;
        if (answer.TimedOut()) {
            if (const std::int32_t gone = LineGone(); gone < 0) {
                return gone;
            }
        }
    }
    return accepted ? static_cast<std::int32_t>(acknowledged) : result::kEndNotAcknowledged;
}

XModemSender::Reply XModemSender::ReadReply(std::uint32_t waitMs) {
    const ByteRead first = m_channel.ReadByte(waitMs);
    if (first.TimedOut()) {
        return Reply{};
    }
    if (first.byte != kCan) {
        return Reply{false, false, first.byte};
    }
    // A lone CAN is taken for line noise; the byte after it is consumed with it.
    const ByteRead second = m_channel.ReadByte(kSecondCanMs);
    return Reply{!second.TimedOut() && second.byte == kCan, false, kCan};
}

bool XModemSender::ClearInputKeepingCancel() {
    bool cancelled = false;
    bool afterCan = false;
    while (const auto byte = m_channel.TakeInput()) {
        cancelled = cancelled || (afterCan && *byte == kCan);
        afterCan = *byte == kCan;
    }
    return cancelled;
}

void XModemSender::SendCancel(SerialChannel& channel) {
    for (int i = 0; i < kGiveUpCans; ++i) {
        SendByte(channel, kCan);
    }
}

std::uint16_t ComputeCrc16(const std::uint8_t* data, std::uint16_t length) {
    constexpr std::uint16_t kPolynomial = 0x1021;
    std::uint16_t crc = 0;
    for (std::uint16_t i = 0; i < length; ++i) {
        crc = static_cast<std::uint16_t>(crc ^ (data[i] << 8));
        for (int bit = 0; bit < 8; ++bit) {
            crc = (crc & 0x8000) != 0 ? static_cast<std::uint16_t>((crc << 1) ^ kPolynomial)
                                      : static_cast<std::uint16_t>(crc << 1);
        }
    }
    return crc;
}

}  // namespace vantrel
