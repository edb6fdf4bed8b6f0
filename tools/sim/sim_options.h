#pragma once

#include <QString>
#include <QStringList>
#include <cstdint>
#include <string>

namespace vantrel::sim {

// What one boot-loader variant sends and expects.
struct ModelTraits {
    std::string signature;          // the four characters sent at reset
    int firstBlock = 0;             // number of the first erase block
    int lastBlock = 0;              // number of the last erase block
    bool hasBank2 = false;          // the protection check reports a second flash bank
    std::uint32_t baseAddress = 0;  // the only flash base address the boot loader accepts
};

// Traits of model 0, 1 or 2.
const ModelTraits& TraitsOf(int model);

// Where --silent-from pulls the cable.
struct SilentFrom {
    enum class Kind { Never, MenuCommand, XModemBlock };
    Kind kind = Kind::Never;
    char command = 0;  // Kind::MenuCommand: the menu command that is not answered any more
    int block = 0;     // Kind::XModemBlock: the block (counted from 1 within a transfer)
};

struct SimOptions {
    int model = 0;
    std::string portAlias;  // "COM7": alias in the port folder; empty for none
    bool resetOnOpen = false;
    bool bareQuestions = false;
    bool blank = false;  // the user area's state at start
    bool sectorsProtected = false;
    bool faultNotBlank = false;
    int eraseFailAt = -1;   // block number whose erase fails; -1 for none
    int nakBlock = 0;       // block (counted from 1) to refuse; 0 for none
    int nakCount = 1;       // how many times it is refused before it is accepted
    int cancelAtBlock = 0;  // block (counted from 1) answered with CAN CAN; 0 for none
    SilentFrom silentFrom;
    bool garbage = false;
    std::uint32_t seed = 1;  // seed of the junk under --garbage
    int slowMs = 0;          // pause before each menu answer, in ms
    std::string lineEnd = "\r\n";
    int baud = 0;  // 0: as fast as the pty; otherwise 10 bits per byte at this rate
    bool checksumMode = false;
    std::string reportPath;
    std::string imageOutPath;
    bool watchStdin = true;
    bool verbose = false;
};

// Reads the command line (`arguments` without the program name). Returns false with `error`
// set for a wrong option or value; `helpText` is set instead when --help or --version was
// asked for.
bool ParseOptions(const QStringList& arguments, SimOptions& options, QString& error,
                  QString& helpText);

}  // namespace vantrel::sim
