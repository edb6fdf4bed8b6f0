#pragma once

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "operator_display.h"
#include "serial/serial_channel.h"

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
};

// An ImageReader over an open C stream (binary mode). It does not close the stream.
class FileImageReader final : public ImageReader {
public:
    explicit FileImageReader(std::FILE* file) : m_file(file) {}
    std::size_t Read(std::uint8_t* buffer, std::size_t size) override;
    bool Failed() const override { return m_failed; }
    std::string ErrorText() const override { return m_error; }

private:
    std::FILE* m_file;
    bool m_failed = false;
    std::string m_error;
};

// What one SendFile did, for the console front end and the update record.
struct TransferReport {
    bool started = false;            // a start signal arrived
    bool crcMode = true;             // CRC-16 (C) or 8-bit sum (NAK)
    std::int64_t framesSent = 0;     // data frames written, repeats included
    std::int64_t bytesAcknowledged = 0;
    std::map<std::uint32_t, int> repeatsPerBlock;  // block index (1-based) -> repeated sendings
    int eotSent = 0;
    std::int32_t result = 0;
};

// XModem-1K sender: 1024-byte blocks behind STX, CRC-16/XMODEM or 8-bit sum as the receiver
// asks, EOT at the end. Shows the percentage in the title and steps the progress bar once
// per cycle; writes nothing to the status line.
class XModemSender {
public:
    XModemSender(SerialChannel& channel, OperatorDisplay& display);

    // Sends `size` bytes of `image`. Returns the acknowledged bytes (blocks x 1024) on
    // success, or a negative code of results.h. Every way out ends with Drain.
    std::int32_t SendFile(ImageReader& image, std::int64_t size);

    const TransferReport& Report() const { return m_report; }

private:
    SerialChannel& m_channel;
    OperatorDisplay& m_display;
    TransferReport m_report;
};

// CRC-16/XMODEM (polynomial 0x1021, initial 0, no reflection, no final xor), bit by bit.
std::uint16_t ComputeCrc16(const std::uint8_t* data, std::uint16_t length);

}  // namespace vantrel
