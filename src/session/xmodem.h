#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "image_file.h"
#include "operator_display.h"
#include "serial/serial_channel.h"
#include "session_events.h"

namespace vantrel {

// The image to send, read strictly forward.
class ImageReader {
public:
    virtual ~ImageReader() = default;
    // Reads up to `size` bytes into `buffer`; returns how many were read. Fewer than asked
    // means the end of the image or a failure (Failed() tells which).
    virtual std::size_t Read(std::uint8_t* buffer, std::size_t size) = 0;
    virtual bool Failed() const = 0;
    // Why the read failed, in the system's words.
    virtual std::string ErrorText() const = 0;
    // Asked once every block has been acknowledged, before the end of the transfer is sent:
    // empty while the image is still the one that was read; otherwise why not, and the
    // transfer is cancelled instead of ended, so that the receiver does not keep it.
    virtual std::string CheckUnchanged() { return {}; }
};

// An ImageReader over an open C stream (binary mode). It does not close the stream.
// A short read at the end of the file is not a failure; a read error of the stream is,
// and ErrorText() then holds the system's message (e.g. "Input/output error").
class FileImageReader final : public ImageReader {
public:
    explicit FileImageReader(std::FILE* file) : m_file(file) {}
    // Before the end of the transfer, both the open stream and the file now at `path` must
    // still have `identity`; otherwise CheckUnchanged() answers `changedText`.
    void Guard(const std::string& path, const ImageIdentity& identity,
               const std::string& changedText);

    std::size_t Read(std::uint8_t* buffer, std::size_t size) override;
    bool Failed() const override { return m_failed; }
    std::string ErrorText() const override { return m_error; }
    std::string CheckUnchanged() override;

private:
    std::FILE* m_file;
    bool m_failed = false;
    std::string m_error;
    bool m_guarded = false;
    std::string m_path;
    ImageIdentity m_identity;
    std::string m_changedText;
};

// What one SendFile did, for the console front end and the update record.
struct TransferReport {
    bool started = false;         // a start signal arrived
    bool crcMode = true;          // CRC-16 (C) or 8-bit sum (NAK)
    std::int64_t framesSent = 0;  // data frames written, repeats included (never one that the
                                  // port did not take)
    std::int64_t bytesAcknowledged = 0;
    std::map<std::uint32_t, int> repeatsPerBlock;  // block index (1-based) -> repeated sendings
    int eotSent = 0;
    std::int32_t result = 0;
    // Why the image could not be sent (result::kImageReadError or kImageTooLarge), in plain
    // words for the operator; empty otherwise.
    std::string imageError;
};

// XModem-1K sender: 1024-byte blocks behind STX, CRC-16/XMODEM or 8-bit sum as the receiver
// asks, EOT at the end. Shows the percentage in the title and steps the progress bar once
// per cycle; writes nothing to the status line. Tells its observer where the transfer stands
// after every acknowledged block and every repeated sending.
class XModemSender {
public:
    XModemSender(SerialChannel& channel, OperatorDisplay& display,
                 SessionEvents& events = NoSessionEvents());

    // Sends `size` bytes of `image`, read strictly forward one block at a time. Returns the
    // acknowledged bytes (blocks x 1024) on success, or a negative code of results.h:
    // kImageTooLarge for a size whose rounded-up count does not fit 32 bits and kImageReadError
    // for a negative size (both refused before anything is sent), and kImageReadError when the
    // image fails, ends before `size` bytes or has changed by the end (the receiver is then
    // cancelled). A wait ends the transfer at once when the channel's stop is raised
    // (kInterrupted: three CAN go out all the same, and the line is let fall quiet) or when
    // the port fails (kPortFailed: nothing more can be said). Every way out ends with Drain.
    std::int32_t SendFile(ImageReader& image, std::int64_t size);

    const TransferReport& Report() const { return m_report; }

    // Largest frame: STX, number, complement, 1024 data bytes, two CRC bytes.
    static constexpr std::size_t kFrameCapacity = 1029;

private:
    // One answer of the receiver: a byte, nothing in time, or a cancel (two CAN).
    struct Reply {
        bool cancelled = false;
        bool timedOut = true;
        std::uint8_t byte = 0;
    };

    // One block as it goes on the line, or why it could not be read.
    struct Frame {
        std::array<std::uint8_t, kFrameCapacity> bytes{};
        std::size_t size = 0;
        bool built = false;     // filled for the block that comes next
        std::string readError;  // not empty: the image failed or ended early
    };

    std::int32_t Transfer(ImageReader& image, std::int64_t size);
    // Waits for C or NAK; sets the mode. Returns 0 when started, else a negative result.
    std::int32_t AwaitStart();
    void ShowProgress(std::int64_t acknowledged, std::int64_t size);
    // Fills `frame` with block `number`, `remaining` bytes of the image being left; notes a
    // failed or short read in frame.readError.
    void BuildFrame(ImageReader& image, std::int64_t remaining, std::uint8_t number, Frame& frame);
    // Sends m_frame until ACK; 0 when acknowledged, else a negative result. After the first
    // sending, builds the following block into m_next while the receiver checks this one
    // (`nextRemaining` bytes left after this block; none: nothing to build).
    std::int32_t SendBlock(std::uint32_t blockIndex, ImageReader& image,
                           std::int64_t nextRemaining);
    std::int32_t Close(std::int64_t acknowledged);
    // After a write that went nowhere or a wait that ended without a byte: kInterrupted when
    // the stop was raised, kPortFailed when the port has failed or closed, 0 while the line
    // is still there.
    std::int32_t LineGone() const;
    void TellProgress(std::uint32_t block, int repeats);
    // Waits `waitMs` for one byte; a CAN counts as a cancel only when a second CAN follows
    // within the CAN wait, and otherwise stands for a byte that matches nothing.
    Reply ReadReply(std::uint32_t waitMs);
    // Throws away every byte waiting before a new frame goes out, but keeps a cancel: true
    // when two CAN in a row were among them, which ReadReply would have taken for the
    // receiver's cancel had it read them.
    bool ClearInputKeepingCancel();
    // Gives up: three CAN back to back on `channel`.
    static void SendCancel(SerialChannel& channel);
    std::int32_t Finish(std::int32_t result);

    SerialChannel& m_channel;
    OperatorDisplay& m_display;
    SessionEvents& m_events;
    TransferReport m_report;
    std::int64_t m_size = 0;
    Frame m_frame;  // the block being sent
    Frame m_next;   // the block after it, once built
};

// CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection, no final xor), bit by bit.
std::uint16_t ComputeCrc16(const std::uint8_t* data, std::uint16_t length);

}  // namespace vantrel
