#pragma once

#include <random>
#include <string>
#include <string_view>

#include "pty_line.h"
#include "sim_options.h"
#include "sim_report.h"
#include "xmodem_receiver.h"

namespace vantrel::sim {

// The simulated instrument: after each reset its boot loader sends the model's signature and
// then serves the text menu (1 blank check, 2 protection, 3 erase, 5 download, 6 run the user
// program, 7 leave) until it falls silent or is reset again. The user area (blank, written,
// holding a valid program) survives resets, as flash does.
class BootLoaderSim {
public:
    BootLoaderSim(const SimOptions& options, PtyLine& line);

    // The instrument is switched on: the first reset, whose signature nobody hears yet.
    void PowerOn();
    // Serves the line until a stop is asked for.
    void Run();
    // Writes the report and the image to the files named by the options (nothing when none is
    // named). False with `error` set when a file cannot be written.
    bool WriteOutputs(std::string& error) const;

private:
    void Reset();
    void ServeMenu();            // returns when the boot loader falls silent
    bool Command(char command);  // false: the boot loader falls silent
    void BlankCheck();
    void VerifyProtection();
    void Erase();
    bool Download();
    bool RunUserProgram();
    bool Transfer();
    bool CablePulledAt(char command);

    char ReadAnswer();
    std::string ReadBaseAddress();
    void BeginAnswer();
    void FreshLine();
    void SendLine(std::string_view text);
    void SendQuestion(std::string_view text);
    void SendPrompt();
    void SendJunk();

    const SimOptions& m_options;
    const ModelTraits& m_traits;
    PtyLine& m_line;
    SimRecord m_record;
    bool m_atLineStart = true;   // the last character sent ended a line
    bool m_cablePulled = false;  // --silent-from has fired (it fires once per run)
    std::mt19937 m_junk;
};

}  // namespace vantrel::sim
