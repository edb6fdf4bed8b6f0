#include "xmodem_receiver.h"

#include <string>

#include "checksums.h"
#include "sim_limits.h"
#include "sim_trace.h"

namespace vantrel::sim {

namespace {

constexpr std::uint8_t kSoh = 0x01;
constexpr std::uint8_t kStx = 0x02;
constexpr std::uint8_t kEot = 0x04;
constexpr std::uint8_t kAck = 0x06;
constexpr std::uint8_t kNak = 0x15;
constexpr std::uint8_t kCan = 0x18;
constexpr std::uint8_t kCrcRequest = 'C';

std::string Describe(const BlockRecord& block) {
    std::string text = "block " + std::to_string(block.number) + " (" + std::to_string(block.size) +
                       " bytes): " + block.answer;
    if (block.duplicate) {
        text += ", repeat of the block before";
    }
    if (!block.error.empty()) {
        text += ", " + block.error;
    }
    return text;
}

}  // namespace

XModemReceiver::XModemReceiver(PtyLine& line, bool checksumMode, const XModemFaults& faults,
                               SimRecord& record, TransferRecord& transfer)
    : m_line(line),
      m_checksumMode(checksumMode),
      m_faults(faults),
      m_record(record),
      m_transfer(transfer),
      m_refusalsLeft(faults.nakCount) {
    m_transfer.mode = checksumMode ? "checksum" : "crc";
}

TransferEnd XModemReceiver::Receive(std::vector<std::uint8_t>& image) {
    std::optional<std::uint8_t> next = AwaitFirstFrame();
    if (!next) {
        return TransferEnd::NoSender;
    }
    for (;;) {
        BlockRecord block;
        if (*next == kEot) {
            ++m_transfer.eotCount;
            Answer(kAck);
            return TransferEnd::Completed;
        }
        if (*next == kCan) {
            const auto second = m_line.ReadByteWithin(kFrameByteTimeout);
            if (second == kCan) {
                return TransferEnd::CancelledBySender;
            }
            block.error = "header";
            if (!Refuse(block)) {
                return TransferEnd::CancelledByReceiver;
            }
        } else if (*next == kSoh || *next == kStx) {
            std::vector<std::uint8_t> data;
            const FrameVerdict verdict = ReadFrame(*next, data, block);
            if (verdict == FrameVerdict::Bad) {
                if (!Refuse(block)) {
                    return TransferEnd::CancelledByReceiver;
                }
            } else if (verdict == FrameVerdict::Duplicate) {
                m_errorsInRow = 0;
                block.duplicate = true;
                block.answer = "ACK";
                Trace(Describe(block));
                m_record.AddBlock(m_transfer, block);
                Answer(kAck);
            } else if (const auto end = TakeBlock(data, block, image)) {
                return *end;
            }
        } else {
            block.error = "header";
            if (!Refuse(block)) {
                return TransferEnd::CancelledByReceiver;
            }
        }
        next = m_line.ReadByteWithin(kNextFrameTimeout);
        while (!next) {
            BlockRecord silence;
            silence.error = "timeout";
            if (!Refuse(silence)) {
                return TransferEnd::CancelledByReceiver;
            }
            next = m_line.ReadByteWithin(kNextFrameTimeout);
        }
    }
}

std::optional<std::uint8_t> XModemReceiver::AwaitFirstFrame() {
    const std::uint8_t request = m_checksumMode ? kNak : kCrcRequest;
    for (int i = 0; i < kStartRequests; ++i) {
        Answer(request);
        if (const auto byte = m_line.ReadByteWithin(kStartInterval)) {
            return byte;
        }
    }
    Trace("no sender started");
    return std::nullopt;
}

XModemReceiver::FrameVerdict XModemReceiver::ReadFrame(std::uint8_t header,
                                                       std::vector<std::uint8_t>& data,
                                                       BlockRecord& block) {
    block.size = header == kStx ? 1024 : 128;
    const std::size_t checkBytes = m_checksumMode ? 1 : 2;
    std::vector<std::uint8_t> frame;
    frame.reserve(2 + static_cast<std::size_t>(block.size) + checkBytes);
    while (frame.size() < frame.capacity()) {
        const auto byte = m_line.ReadByteWithin(kFrameByteTimeout);
        if (!byte) {
            block.number = frame.empty() ? -1 : frame[0];
            block.error = "short";
            return FrameVerdict::Bad;
        }
        frame.push_back(*byte);
    }
    block.number = frame[0];
    if ((frame[0] ^ frame[1]) != 0xFF) {
        block.error = "complement";
        return FrameVerdict::Bad;
    }
    data.assign(frame.begin() + 2, frame.begin() + 2 + block.size);
    const std::uint8_t* check = frame.data() + 2 + block.size;
    const bool checkOk =
        m_checksumMode ? check[0] == Sum8(data) : ((check[0] << 8) | check[1]) == Crc16Xmodem(data);
    if (!checkOk) {
        block.error = "check";
        return FrameVerdict::Bad;
    }
    if (frame[0] == m_expected) {
        return FrameVerdict::Good;
    }
    if (m_ordinal > 1 && frame[0] == static_cast<std::uint8_t>(m_expected - 1)) {
        return FrameVerdict::Duplicate;
    }
    block.error = "number";
    return FrameVerdict::Bad;
}

bool XModemReceiver::Refuse(BlockRecord block) {
    ++m_errorsInRow;
    if (m_errorsInRow >= kMaxErrorsInRow) {
        block.answer = "CAN";
        Trace(Describe(block) + "; too many errors: cancelled");
        m_record.AddBlock(m_transfer, block);
        Answer(kCan);
        Answer(kCan);
        m_line.WaitQuiet(kQuietAfterCancel);
        return false;
    }
    block.answer = "NAK";
    Trace(Describe(block));
    m_record.AddBlock(m_transfer, block);
    m_line.WaitQuiet(kQuietBeforeNak);
    Answer(kNak);
    return true;
}

std::optional<TransferEnd> XModemReceiver::TakeBlock(std::vector<std::uint8_t>& data,
                                                     BlockRecord block,
                                                     std::vector<std::uint8_t>& image) {
    if (m_ordinal == m_faults.silentAtBlock) {
        block.answer = "none";
        Trace(Describe(block) + "; cable pulled");
        m_record.AddBlock(m_transfer, block);
        return TransferEnd::Silent;
    }
    if (m_ordinal == m_faults.cancelAtBlock || image.size() + data.size() > kMaxImageBytes) {
        block.answer = "CAN";
        Trace(Describe(block) + "; cancelled");
        m_record.AddBlock(m_transfer, block);
        Answer(kCan);
        Answer(kCan);
        m_line.WaitQuiet(kQuietAfterCancel);
        return TransferEnd::CancelledByReceiver;
    }
    if (m_ordinal == m_faults.nakBlock && m_refusalsLeft > 0) {
        // A refusal on purpose: not one of the line's errors, so it does not count towards the
        // cancel, and a sender's own retry limit can be reached.
        --m_refusalsLeft;
        block.answer = "NAK";
        block.error = "refused";
        Trace(Describe(block));
        m_record.AddBlock(m_transfer, block);
        m_line.WaitQuiet(kQuietBeforeNak);
        Answer(kNak);
        return std::nullopt;
    }
    image.insert(image.end(), data.begin(), data.end());
    m_errorsInRow = 0;
    ++m_expected;
    ++m_ordinal;
    block.answer = "ACK";
    Trace(Describe(block));
    m_record.AddBlock(m_transfer, block);
    Answer(kAck);
    return std::nullopt;
}

void XModemReceiver::Answer(std::uint8_t byte) {
    m_line.Send(std::string(1, static_cast<char>(byte)));
}

}  // namespace vantrel::sim
