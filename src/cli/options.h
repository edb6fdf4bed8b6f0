#pragma once

#include <optional>
#include <string>
#include <vector>

namespace vantrel::cli {

// The functions the console runs, in the order given, as if the operator had selected each
// and pressed Run.
enum class Function { BlankCheck, MemoryTest, Erase, Download, Auto, Restart };

// The command-line name of `function` ("blank-check", "memory-test", ...).
std::string FunctionName(Function function);
// True for the functions that download the target file (download, auto), and for a list
// that holds one.
bool Downloads(Function function);
bool Downloads(const std::vector<Function>& functions);
// The function of a command-line name; nothing for an unknown name.
std::optional<Function> FunctionFromName(const std::string& name);
// A whole number from `low` to `high` written in decimal; nothing otherwise.
std::optional<int> ParseBounded(const std::string& text, int low, int high);

// What the command line asks for.
struct Options {
    // Station: `vantrel station ...`, whose arguments ParseStationOptions reads.
    enum class Command { Run, ListPorts, Station, Help, Version, Doctor, JobCheck };
    Command command = Command::Run;
    std::string port;        // COM name or device path; empty: the remembered port
    std::string targetFile;  // empty: none given (download and auto are then refused)
    int waitSeconds = 0;     // bound on each wait for a reset instrument
    std::string recordFile;  // empty: no update record
    std::vector<Function> functions;
    // The wire trace: the run's trace file (empty: none), and whole frames in it.
    std::string traceFile;
    bool traceBytes = false;

    // The production line's (job files, doctor, machine-readable output).
    std::string jobFile;                   // --job, or the FILE of `job check`; empty: none
    bool json = false;                     // --json: event lines on stdout, text on stderr
    std::vector<int> models;               // the job's models; empty: every model
    std::string portName;                  // the job's slot name for `port`; empty: none
    std::vector<std::string> doctorPorts;  // `doctor --port`, in order
    bool doctorOpen = false;               // `doctor --open`
};

// Outcome of ParseOptions: the options, or the reason the command line is unusable.
struct ParseResult {
    bool ok = false;
    Options options;
    std::string error;  // one line, for the usage message
};

// Default for --wait: long enough to walk to the instrument and press its reset key.
inline constexpr int kDefaultWaitSeconds = 120;
// Upper bound for --wait (one day): a larger value is a typing error, not a plan.
inline constexpr int kMaxWaitSeconds = 86400;

// Parses the arguments after the program name (CommandLine's rules): `[OPTIONS]
// [FUNCTION...]`, `ports`, or `station ...`, which only sets the command (the station's part,
// errors included, is ParseStationOptions's). Options and functions may be mixed.
ParseResult ParseOptions(const std::vector<std::string>& args);

// The usage text printed for --help and after a usage error, from CommandLine's definitions.
std::string UsageText(const std::string& program);

}  // namespace vantrel::cli
