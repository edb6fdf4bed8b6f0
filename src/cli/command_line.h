#pragma once

#include <memory>
#include <string>
#include <vector>

#include "options.h"
#include "station_options.h"

namespace CLI {
class App;
}

namespace vantrel::cli {

// The one definition of the command line of `vantrel`, `vantrel ports` and `vantrel station`
// (CLI11): every option and command is defined once, in command_line.cpp, and the same rules
// hold for all of them. The usage texts are generated from these definitions.
//
// The rules: a value follows its option after a blank or '='; each option is given once,
// except the station's --port; an empty value, or one that begins with "--" (an option's name
// where its value was forgotten), is refused; numbers are whole decimal numbers within their
// bounds; an unknown option or function is refused.
//
// Not thread-safe; one per parse.
class CommandLine {
public:
    enum class Command { Run, ListPorts, Station, Help, Version, Doctor, JobCheck };

    explicit CommandLine(const std::string& program);
    ~CommandLine();
    CommandLine(const CommandLine&) = delete;
    CommandLine& operator=(const CommandLine&) = delete;

    // Parses the arguments after the program's name. Empty on success, otherwise one line
    // that says what is wrong, for the usage message.
    std::string Parse(const std::vector<std::string>& args);

    Command command() const { return m_command; }
    // Filled by a successful Parse for Command::Run (all but `command`); for Command::Doctor
    // its doctorPorts and doctorOpen, for Command::JobCheck its jobFile.
    const Options& console() const { return m_console; }
    // Filled by a successful Parse for Command::Station; for Command::Help only `help`, set
    // when the station's help was asked for.
    const StationOptions& station() const { return m_station; }

    // The usage texts, from the definitions.
    std::string Usage() const;
    std::string StationUsage() const;

private:
    void Define(const std::string& program);
    // The rules CLI11 does not keep itself; empty when they hold.
    std::string Check() const;
    // The options' values from their texts, once every check has passed.
    void Finish();
    std::string StationRules() const;
    // The console's trace options belong together.
    std::string TraceRules() const;
    // The options and functions a job fixes, refused beside --job; empty when none is given.
    std::string JobRules() const;
    // The command that was parsed (ports, station, doctor, job check), or null.
    const CLI::App* ParsedCommand() const;

    std::unique_ptr<CLI::App> m_app;
    CLI::App* m_ports = nullptr;
    CLI::App* m_stationApp = nullptr;
    CLI::App* m_doctor = nullptr;
    CLI::App* m_job = nullptr;
    CLI::App* m_jobCheck = nullptr;
    Command m_command = Command::Run;
    Options m_console;
    StationOptions m_station;
    // The texts of the options that take numbers, checked by their validators.
    std::string m_waitText;
    std::string m_stationWaitText;
    std::string m_countText;
    std::vector<std::string> m_functionNames;
    std::vector<std::string> m_stationFunctionNames;
};

}  // namespace vantrel::cli
