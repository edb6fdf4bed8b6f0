#pragma once

#include <string>
#include <vector>

#include "options.h"

namespace vantrel::cli {

// What `vantrel station` is asked to do.
struct StationOptions {
    bool help = false;
    std::vector<std::string> ports;  // COM names or device paths; none: refused
    std::string targetFile;          // required when a function downloads
    std::string recordFile;          // empty: no update record
    int count = 0;                   // instruments to handle before ending; 0: no limit
    int waitSeconds = 0;             // end after this long without an instrument; 0: no limit
    std::vector<Function> functions;  // default: auto restart
    // The wire trace: the folder of the instruments' trace files (empty: beside the record),
    // a trace file for every instrument (not only a failed one), whole frames in them.
    std::string traceFolder;
    bool traceAll = false;
    bool traceBytes = false;
    std::string jobFile;              // --job: the job fixes all of the above but `help`
    bool json = false;                // --json: event lines on stdout, text on stderr
    std::vector<int> models;          // the job's models; empty: every model
};

// The folder the station writes its trace files into: --trace-dir, else the record file's
// folder; empty (no trace files) with neither.
std::string TraceFolderOf(const StationOptions& options);

struct StationParseResult {
    bool ok = false;
    StationOptions options;
    std::string error;  // one line, for the usage message
};

// Largest --count: a larger value is a typing error, not a batch.
inline constexpr int kMaxStationCount = 1000000;

// Parses the arguments after "station". Options and functions may be mixed; an option's value
// may follow as the next argument or after '='. --port may be given many times, the others
// once.
StationParseResult ParseStationOptions(const std::vector<std::string>& args);

// The usage text of `vantrel station`.
std::string StationUsageText(const std::string& program);

}  // namespace vantrel::cli
