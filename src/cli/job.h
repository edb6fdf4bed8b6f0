#pragma once

#include <algorithm>
#include <cstdio>
#include <optional>
#include <string>
#include <vector>

#include "image_digest.h"
#include "options.h"
#include "system_view.h"

namespace vantrel::cli {

// Thread contract: every function here keeps no state of its own and may run on any thread;
// a view passed in is used only during the call.

// Bounds of a job file.
namespace job_limits {
// Bytes: a job is a few dozen lines; a larger file is no job.
inline constexpr std::size_t kMaxFileBytes = 1024 * 1024;
// Characters of a slot name: it heads a board row and every event line of its port.
inline constexpr std::size_t kMaxSlotName = 16;
// The models there are (0, 1 and 2).
inline constexpr int kLowestModel = 0;
inline constexpr int kHighestModel = 2;
}  // namespace job_limits

// One position of the fixture: a name for the board, the lines and the record, and the port.
struct JobSlot {
    std::string name;  // "A1"
    std::string port;  // a device path (a /dev/serial/by-path name keeps the position) or COMn
    int line = 0;      // of the slot's table in the job file
};

// A production job (vantrel-job(5)): what a station or the console does, fixed by the line's
// engineer and chosen, not changed, by the operator.
struct Job {
    std::string path;    // the job file, as given
    std::string image;   // relative to the job file's folder when written relative
    std::string sha256;  // lower-case hex of the image's bytes as they are on disk
    std::vector<Function> functions{Function::Auto, Function::Restart};
    std::vector<int> models;       // the models it may program; empty: every model
    std::string record;            // the update record; empty: none
    int count = 0;                 // instruments before the station ends; 0: until stopped
    int waitSeconds = 0;           // the station's idle bound; 0: none
    std::vector<JobSlot> fixture;  // the slots, in the file's order
    int imageLine = 0;             // where `image` is written
    int sha256Line = 0;            // where `sha256` is written

    // Whether an instrument of `model` may be programmed under this job.
    bool Allows(int model) const;
};

// A job read from its file, or every reason it cannot be one, each "FILE:LINE: what".
struct JobRead {
    std::optional<Job> job;
    std::vector<std::string> errors;
};

// Reads the job file at `path`: its syntax, keys (an unknown key is a typing error, not a
// comment), types and values, and slots with names and ports each used once. Reads nothing
// else and opens no device.
JobRead ReadJob(const std::string& path);

// A slot's port now: the device it resolves to, or empty when it stands for nothing.
struct SlotDevice {
    std::string device;
    bool present = false;  // a character device is there now
};

// Resolves every slot's port through `view` without opening any; two slots that lead to one
// device (by device number, so a COM name, its tty and a by-path link are one) give an error
// each in `errors`.
std::vector<SlotDevice> ResolveSlots(const Job& job, const SystemView& view,
                                     std::vector<std::string>& errors);

// Why `digest` (the image read once, as the transfer will send it) is not the job's image:
// unreadable, or of another SHA-256. Empty when it is the job's image.
std::string ImageMismatch(const Job& job, const ImageDigest& digest);

// What the row, the line and the record say of an instrument the job declines:
// "declined: model 2 is not in the job". (Inline, as the next one: the console's run and its
// command line, which need no job file, use them.)
// True when an instrument of `model` may be programmed under a job's `models` (none listed:
// every model may).
inline bool ModelAllowed(const std::vector<int>& models, int model) {
    return models.empty() || std::find(models.begin(), models.end(), model) != models.end();
}

inline std::string DeclinedText(int model) {
    return "declined: model " + std::to_string(model) + " is not in the job";
}

// The options a job fixes, refused beside --job whether the job writes the key or leaves it
// to its default: the image, the ports, the record, the count and the idle bound. The
// functions (the command line's FUNCTION words) are fixed too.
inline constexpr const char* kJobFixedOptions[] = {"--file", "--port", "--record", "--count",
                                                   "--wait"};

// The refusal of `what` (an option, or "functions") beside a job.
inline std::string JobFixedText(const std::string& what) {
    return what + " is fixed by the job and cannot be given with --job";
}

// A job made ready to serve before any port is opened: read and checked, its image read once
// (as the transfers will send it) and found to be the job's, every slot resolved to its device
// with no device twice. A slot whose adapter is missing now is no error: a station waits for
// it. `errors` holds every reason the job cannot be served; `job` is set only without any.
struct ReadyJob {
    std::optional<Job> job;
    ImageDigest image;
    std::vector<std::string> errors;
};
ReadyJob PrepareJob(const std::string& path, const SystemView& view);

// `vantrel job check FILE`: reads the job, checks its image against its SHA-256, resolves
// every slot to its device without opening it, and lists the slots on `out`. 0 when the job
// is sound; 2 with every error on `err`.
int RunJobCheck(const std::string& path, const SystemView& view, std::FILE* out, std::FILE* err);

}  // namespace vantrel::cli
