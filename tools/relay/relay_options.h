#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace vantrel::relay {

// The two directions of the line, as the relay sees them.
enum class Direction : int { ToInstrument = 0, ToProgram = 1 };
inline constexpr int kDirections = 2;

inline int Index(Direction d) {
    return static_cast<int>(d);
}
const char* DirectionName(Direction d);

// What the line does to the bytes of one direction. Rates are chances per byte, 0..1.
struct FaultRates {
    double drop = 0;            // the byte is lost
    double flip = 0;            // one of its eight bits is inverted
    double dup = 0;             // it arrives twice
    double insert = 0;          // a random byte arrives before it
    std::uint32_t delayMs = 0;  // every byte arrives this much later (latency, order kept)
};

// How the line is cut.
enum class CutMode {
    Hangup,  // the program's side of the line is hung up (a pulled USB adapter)
    Silent,  // nothing passes either way, both sides stay open (a pulled RS-232 cable)
};

// When the line is cut: once `afterBytes` bytes (or the text `afterText`) have passed in
// `direction`, `delayMs` later.
struct CutRule {
    Direction direction = Direction::ToProgram;
    std::uint64_t afterBytes = 0;
    std::string afterText;  // empty: the byte count decides
    std::uint32_t delayMs = 0;
};

struct RelayOptions {
    std::string device;          // instrument side: this device; empty: a second pty
    std::string programLink;     // symbolic link to the program side's slave, if not empty
    std::string instrumentLink;  // the same for the instrument side's own pty
    std::string alias;           // COMn alias for the program side, if not empty
    std::optional<std::uint64_t> seed;
    FaultRates rates[kDirections];
    std::optional<CutRule> cut;
    CutMode cutMode = CutMode::Hangup;
    std::optional<std::uint32_t> replugAfterMs;  // a cut line comes back after this long
    // Each time a program opens the program side, the instrument device is opened anew, so
    // that a simulator that resets when its port is opened resets for that program.
    bool followOpen = false;
};

// Parses the command line (without the program name). Nothing on error, with `error` set.
std::optional<RelayOptions> ParseRelayOptions(const std::vector<std::string>& args,
                                              std::string& error);

// The usage text printed by --help and after a usage error.
const char* RelayUsage();

// Turns C escapes (\r \n \t \\ \xHH) into the bytes they stand for. False when malformed.
bool Unescape(const std::string& text, std::string& bytes);

}  // namespace vantrel::relay
