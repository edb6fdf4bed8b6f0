#pragma once

#include <cstdint>
#include <vector>

#include "pty_line.h"
#include "sim_report.h"

namespace vantrel::sim {

// Faults the receiver puts into a transfer; blocks are counted from 1 within the transfer.
struct XModemFaults {
    int nakBlock = 0;       // refuse this block ...
    int nakCount = 1;       // ... this many times before taking it
    int cancelAtBlock = 0;  // answer this block with CAN CAN
    int silentAtBlock = 0;  // stop answering at this block (a pulled cable)
};

// How a transfer ended.
enum class TransferEnd {
    Completed,            // EOT acknowledged: the image is complete
    NoSender,             // no frame came after all start requests
    CancelledBySender,    // CAN CAN from the sender
    CancelledByReceiver,  // CAN CAN sent: too many errors, the flash is full, or --cancel-at-block
    Silent,               // the cable was pulled (--silent-from xmodem:N)
};

// The boot loader's XModem-1K receiver: asks with C (CRC-16) or NAK (8-bit sum), takes
// 1024-byte (STX) and 128-byte (SOH) blocks, checks number, complement and check bytes,
// acknowledges good blocks and repeats of the block before, refuses bad ones once the line is
// quiet, and cancels after too many errors in a row. Reset and stop requests unwind through it
// as `LineInterrupted`.
class XModemReceiver {
public:
    XModemReceiver(PtyLine& line, bool checksumMode, const XModemFaults& faults, SimRecord& record,
                   TransferRecord& transfer);

    // Runs one transfer; the data bytes of every block taken, padding included, are appended
    // to `image`.
    TransferEnd Receive(std::vector<std::uint8_t>& image);

private:
    enum class FrameVerdict { Good, Duplicate, Bad };

    std::optional<std::uint8_t> AwaitFirstFrame();
    FrameVerdict ReadFrame(std::uint8_t header, std::vector<std::uint8_t>& data,
                           BlockRecord& block);
    bool Refuse(BlockRecord block);  // false once the receiver has given up
    std::optional<TransferEnd> TakeBlock(std::vector<std::uint8_t>& data, BlockRecord block,
                                         std::vector<std::uint8_t>& image);
    void Answer(std::uint8_t byte);

    PtyLine& m_line;
    bool m_checksumMode;
    XModemFaults m_faults;
    SimRecord& m_record;
    TransferRecord& m_transfer;
    std::uint8_t m_expected = 1;  // number of the next new block
    int m_ordinal = 1;            // the next new block, counted from 1
    int m_errorsInRow = 0;
    int m_refusalsLeft = 0;
};

}  // namespace vantrel::sim
