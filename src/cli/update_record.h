#pragma once

#include <sys/types.h>
#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "image_digest.h"

namespace vantrel::cli {

// Everything one run of the console front end leaves in the update record (RECORD.md
// describes the fields).
struct UpdateRecord {
    struct FunctionEntry {
        std::string name;
        std::optional<std::int32_t> result;  // none when the function was refused
        std::string outcome;
        std::string reason;  // why it failed, in the boot loader's or the program's words
    };
    struct StatusEntry {
        std::string time;  // ISO 8601 UTC
        std::string text;
    };
    struct PhaseEntry {
        std::string name;   // the phase's stable id
        std::string start;  // ISO 8601 UTC
        std::int64_t durationMs = 0;
        std::string outcome;  // how it ended (OutcomeKindId); empty while it runs
    };
    struct TransferEntry {
        bool started = false;  // a start signal arrived; crcMode means nothing otherwise
        bool crcMode = true;
        std::int64_t framesSent = 0;
        std::int64_t bytesAcknowledged = 0;
        std::map<std::uint32_t, int> repeatsPerBlock;
        int eotSent = 0;
        std::int32_t result = 0;
        std::string imageError;  // why the image could not be read, when that ended it
    };
    struct Diagnosis {
        std::string kind;  // "nothing", "unknown-bytes", "signature-without-prompt", ...
        std::uint64_t bytesSeen = 0;
        std::string firstBytesHex;
        std::string text;
    };

    std::string program;
    std::string start;
    std::string end;
    std::string portName;
    std::string device;
    int model = -1;  // -1: no instrument identified
    std::vector<std::string> requested;
    std::vector<FunctionEntry> functions;
    std::vector<StatusEntry> statuses;
    std::optional<ImageDigest> image;
    std::string imagePath;
    std::vector<TransferEntry> transfers;
    std::vector<PhaseEntry> phases;
    std::optional<Diagnosis> diagnosis;
    std::string error;  // why the run could not start (port), empty otherwise
    // The wire trace: the file that holds this run's trace (empty: none), and why it could
    // not be written (whole, or at all).
    std::string trace;
    std::string traceError;
    // A job's: why the instrument identified was not served ("declined: model 2 is not in
    // the job"), empty otherwise.
    std::string declined;
    int exitStatus = 0;
};

// The record as one line of JSON, ending in a line feed, with no line feed inside.
std::string BuildRecordLine(const UpdateRecord& record);

// One write(2)-like call; tests put a failing one in place of the system's.
using WriteFunction = std::function<ssize_t(int fd, const void* data, std::size_t size)>;

// Makes sure a record can be appended to the file at `path` before anything is asked of an
// instrument: opens it for appending (creating it when missing) and closes it again. Returns
// an empty text on success, otherwise why not in the system's words.
std::string PrepareRecordFile(const std::string& path);

// Appends `line` to the file at `path` (created when missing) so that the file never holds
// a part of it: the whole line goes out in one write on a descriptor opened for appending,
// under an exclusive lock against other runs writing the same file, and is flushed to the
// disk; a write that fails or falls short (disk full, file size limit) is undone by cutting
// the file back to its size before. A file whose last line was left without a line feed by
// someone else gets one first, so each record starts on a line of its own.
// Returns an empty text on success, otherwise what went wrong in the system's words.
std::string AppendRecordLine(const std::string& path, const std::string& line,
                             const WriteFunction& write = {});

}  // namespace vantrel::cli
