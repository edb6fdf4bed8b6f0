#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::sim {

// One frame (or what stood in a frame's place) and the receiver's answer to it.
struct BlockRecord {
    int number = -1;         // block number byte as received; -1 when none was received
    int size = 0;            // 1024 (STX), 128 (SOH), 0 when no frame started
    std::string answer;      // "ACK", "NAK", "CAN" or "none"
    bool duplicate = false;  // a repeat of the block before, acknowledged and not stored
    std::string error;       // why it was refused: "complement", "check", "number", "short",
                             // "header", "timeout", "refused" (--nak-block); empty when taken
};

// One XModem session, from "Start 1k XModem download..." to its end.
struct TransferRecord {
    std::string mode;  // "crc" or "checksum"
    std::vector<BlockRecord> blocks;
    bool blocksTruncated = false;
    int eotCount = 0;
    bool completed = false;
    std::string end = "in progress";  // "completed", "no sender", "cancelled by sender",
                                      // "cancelled by receiver", "silent", "reset", "stopped"
};

// Everything the simulated instrument saw and did, for the report.
struct SimRecord {
    int model = 0;
    int resets = 0;
    std::vector<std::string> commands;  // every menu command and answer, in order
    bool commandsTruncated = false;
    std::optional<std::string> baseAddress;
    bool blank = false;         // state of the user area now
    bool programValid = false;  // a completed download that has not been erased since
    std::vector<TransferRecord> transfers;
    std::optional<std::vector<std::uint8_t>> image;  // of the last completed transfer

    void AddCommand(std::string command);
    void AddBlock(TransferRecord& transfer, BlockRecord block);
};

// The report as JSON text (fields described in tools/sim/README.md).
std::string ReportJson(const SimRecord& record);

// Writes `bytes` to `path` atomically (a temporary file, then renamed over `path`). False with
// `error` set when that fails.
bool WriteFileAtomically(const std::string& path, const std::string& bytes, std::string& error);

}  // namespace vantrel::sim
