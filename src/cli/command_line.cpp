#include "command_line.h"

#include <CLI/CLI.hpp>
#include <algorithm>

#include "job.h"

namespace vantrel::cli {

namespace {

// Width of the help's first column (option and type names).
constexpr std::size_t kHelpColumn = 24;

constexpr const char* kDescription =
    "Reprograms a measuring instrument over an RS-232 line. Waits for the instrument to be\n"
    "reset and identified, then runs each FUNCTION in the order given, as the window's Run\n"
    "button would, stopping at the first that fails. Without a function it identifies the\n"
    "instrument and prints its model.\n";

constexpr const char* kFunctionsHelp =
    "blank-check  blank check of the user area (in a list,\n"
    "             \"not blank\" is an answer, not a failure)\n"
    "memory-test  sector protection verification\n"
    "erase        erase the user area\n"
    "download     download the target file (--file)\n"
    "auto         protection check, blank check, erase when\n"
    "             needed, download\n"
    "restart      run the downloaded program; a function after\n"
    "             it waits for the next reset";

constexpr const char* kConsoleFooter =
    "Before anything is opened the target file (for download and auto), the record file\n"
    "and the trace file are checked: one that cannot be used ends the run with status 2.\n"
    "The first Ctrl-C (or SIGTERM, SIGHUP) cancels a running transfer cleanly: the boot\n"
    "loader's receiver is cancelled, its menu left and the record written; a third ends at\n"
    "once.\n"
    "\n"
    "Exit status: 0 all functions succeeded (blank-check alone: the user area is blank),\n"
    "1 a function failed or was refused (blank-check alone: not blank), 2 usage error, no\n"
    "port chosen, or a target, record or trace file that cannot be used, 3 no instrument\n"
    "identified in time, 4 the port cannot be opened, 5 all went well but the record line\n"
    "could not be written, 130 interrupted (Ctrl-C), 143 SIGTERM, 129 SIGHUP.\n"
    "\n"
    "The manual page: man vantrel; the record's fields: /usr/share/doc/vantrel/RECORD.md";

constexpr const char* kStationFooter =
    "Each port waits for an instrument to be reset, runs the functions on it as the console\n"
    "does (default: auto restart), then waits for the next. A port whose device goes away is\n"
    "tried again every few seconds.\n"
    "The first Ctrl-C takes no new instruments and lets running ones finish; a second\n"
    "cancels running transfers.\n"
    "Each port keeps the newest part of its wire trace in memory; a failed instrument's\n"
    "trace goes into a file in the trace folder, named in its record line. Without\n"
    "--trace-dir and --record no trace files are written.\n"
    "\n"
    "Exit status: 0 every instrument handled succeeded, 1 at least one failed (or was\n"
    "declined by the job), 2 usage error or a refusal at the start (no --port, one device\n"
    "named twice, an image, a record or a trace folder that cannot be used, a job that\n"
    "cannot be served), 3 --wait ended it before --count, 4 no port could be opened, 5 a\n"
    "record line could not be written, 130 interrupted (Ctrl-C), 143 SIGTERM, 129 SIGHUP.";

// The usage lists each command on a line of its own: a command takes nothing before it.
class Formatter final : public CLI::Formatter {
public:
    std::string make_usage(const CLI::App* app, std::string name) const override {
        std::string usage = CLI::Formatter::make_usage(app, name);
        const std::string marker = " [" + get_label("SUBCOMMAND") + "]";
        if (const std::size_t at = usage.find(marker); at != std::string::npos) {
            usage.erase(at, marker.size());
        }
        const std::string indent(get_label("Usage").size() + 1, ' ');
        for (const CLI::App* command : app->get_subcommands({})) {
            // A command of commands (job check) shows each of them.
            std::vector<const CLI::App*> shown = command->get_subcommands({});
            if (shown.empty()) {
                shown.push_back(command);
            }
            for (const CLI::App* each : shown) {
                const std::string full = name + " " + command->get_name() +
                                         (each == command ? "" : " " + each->get_name());
                std::string line = CLI::Formatter::make_usage(each, full);
                usage += line.replace(0, indent.size(), indent);
            }
        }
        return usage;
    }
};

// A value must say something: empty, or the name of another option (its own value forgotten:
// `--file --count 1` would take "--count" for the file), it is refused.
const CLI::Validator kPlainValue(
    [](std::string& value) -> std::string {
        if (value.empty()) {
            return "the value is empty";
        }
        if (value.rfind("--", 0) == 0) {
            return "the value \"" + value + "\" begins with \"--\"; was a value forgotten?";
        }
        return {};
    },
    "");

// A whole decimal number from `low` to `high`.
CLI::Validator WholeNumber(int low, int high, const std::string& unit) {
    return CLI::Validator(
        [low, high, unit](std::string& text) -> std::string {
            if (ParseBounded(text, low, high)) {
                return {};
            }
            return "takes " + unit + " from " + std::to_string(low) + " to " +
                   std::to_string(high) + ", not \"" + text + "\"";
        },
        "");
}

// An option with one value, given once (see CommandLine::Check).
CLI::Option* Value(CLI::App& app, const std::string& name, std::string& target,
                   const std::string& type, const std::string& help) {
    return app.add_option(name, target, help)
        ->type_name(type)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeLast)
        ->check(kPlainValue);
}

// An option that may be given many times, one value each time.
CLI::Option* Repeatable(CLI::App& app, const std::string& name, std::vector<std::string>& target,
                        const std::string& type, const std::string& help) {
    return app.add_option(name, target, help)
        ->type_name(type)
        ->allow_extra_args(false)
        ->multi_option_policy(CLI::MultiOptionPolicy::TakeAll)
        ->check(kPlainValue);
}

CLI::Option* Number(CLI::App& app, const std::string& name, std::string& target,
                    const std::string& type, int high, const std::string& unit,
                    const std::string& help) {
    return Value(app, name, target, type, help)->check(WholeNumber(1, high, unit));
}

CLI::Option* Functions(CLI::App& app, std::vector<std::string>& target) {
    // Their names are checked by CommandLine::Check, once CLI11 has refused unknown options:
    // in `--baud 9600 auto` the option is what is wrong, not the function "9600".
    return app.add_option("FUNCTION", target, kFunctionsHelp)->type_name("");
}

// CLI11 takes `--file=` for an option without its value, and then the next argument as the
// value: `--file= auto` would download a file named "auto".
std::string EmptyAfterEquals(const std::vector<std::string>& args) {
    for (const std::string& arg : args) {
        if (arg == "--") {
            break;
        }
        if (arg.size() > 3 && arg.rfind("--", 0) == 0 && arg.back() == '=' &&
            arg.find('=') == arg.size() - 1) {
            return arg.substr(0, arg.size() - 1) + ": the value is empty";
        }
    }
    return {};
}

std::vector<Function> FunctionsOf(const std::vector<std::string>& names) {
    std::vector<Function> functions;
    for (const std::string& name : names) {
        functions.push_back(*FunctionFromName(name));
    }
    return functions;
}

}  // namespace

CommandLine::CommandLine(const std::string& program)
    : m_app(std::make_unique<CLI::App>(kDescription, program)) {
    Define(program);
}

CommandLine::~CommandLine() = default;

void CommandLine::Define(const std::string& program) {
    CLI::App& app = *m_app;
    // Set before the commands are added, as the help flag: they take them over.
    auto formatter = std::make_shared<Formatter>();
    formatter->column_width(kHelpColumn);
    formatter->label("Positionals", "Functions");
    app.formatter(formatter);
    app.set_help_flag("-h,--help", "print this help and end");
    app.set_version_flag("--version", std::string(), "print the version and end");
    app.footer(kConsoleFooter);

    // vantrel [OPTIONS] [FUNCTION...]
    Value(app, "--port", m_console.port, "COMn|DEVICE",
          "COM name (see \"ports\") or device path. Without it:\n"
          "the port last used in the window, if this machine\n"
          "still has that name; else nothing is opened (status 2)");
    Value(app, "--file", m_console.targetFile, "PATH",
          "the image to download (.upg or .bin); must be a\n"
          "readable, non-empty regular file");
    Number(app, "--wait", m_waitText, "SECONDS", kMaxWaitSeconds, "whole seconds",
           "seconds to wait for each reset (default " + std::to_string(kDefaultWaitSeconds) + ")");
    Value(app, "--record", m_console.recordFile, "FILE",
          "append a JSON line describing the run to FILE");
    // The wire trace of the run.
    Value(app, "--trace", m_console.traceFile, "FILE",
          "write every byte on the line, each way, with its\n"
          "time and the session's phases, into FILE");
    app.add_flag("--trace-bytes", m_console.traceBytes,
                 "with --trace: every byte of every frame");
    Functions(app, m_functionNames);
    // The production line's: a job instead of the options above, and output for programs.
    Value(app, "--job", m_console.jobFile, "FILE",
          "run the job FILE (man 5 vantrel-job) on its one\n"
          "slot; the options and functions it fixes are refused");
    app.add_flag("--json", m_console.json,
                 "one JSON object per event on stdout (man vantrel);\n"
                 "the text goes to stderr");

    // vantrel ports
    m_ports = app.add_subcommand("ports", "list the COM names with their devices, opening none")
                  ->group("Commands");

    // vantrel station [OPTIONS] [FUNCTION...]
    m_stationApp = app.add_subcommand("station",
                                      "serve many ports at once, each instrument as "
                                      "soon as it is reset")
                       ->group("Commands");
    CLI::App& station = *m_stationApp;
    station.footer(kStationFooter);
    Repeatable(station, "--port", m_station.ports, "COMn|DEVICE",
               "COM name or device path, once for each port to\n"
               "serve (\"" +
                   program + " ports\" lists them)");
    Value(station, "--file", m_station.targetFile, "PATH",
          "the image, read once at the start; a port refuses\n"
          "to download it once it has changed");
    Value(station, "--record", m_station.recordFile, "FILE",
          "append a JSON line for each instrument to FILE");
    Number(station, "--count", m_countText, "N", kMaxStationCount, "a whole number",
           "end once N instruments have been handled");
    Number(station, "--wait", m_stationWaitText, "SECONDS", kMaxWaitSeconds, "whole seconds",
           "end after SECONDS without any instrument being reset");
    // The wire trace: a ring per port, written out for an instrument that failed.
    Value(station, "--trace-dir", m_station.traceFolder, "DIR",
          "write the trace of each failed instrument into a\n"
          "file in DIR (default: the record's folder)");
    station.add_flag("--trace-all", m_station.traceAll,
                     "with --trace-dir: the trace of every instrument,\n"
                     "not only of a failed one");
    station.add_flag("--trace-bytes", m_station.traceBytes,
                     "every byte of every frame in the trace files");
    Functions(station, m_stationFunctionNames);
    Value(station, "--job", m_station.jobFile, "FILE",
          "serve the job FILE (man 5 vantrel-job): its slots,\n"
          "image, functions and models; the options it fixes\n"
          "are refused");
    station.add_flag("--json", m_station.json,
                     "one JSON object per event on stdout (man vantrel);\n"
                     "the text goes to stderr, no board is drawn");

    // vantrel doctor [--port P]... [--open]
    m_doctor = app.add_subcommand("doctor", "examine the ports for what keeps them from working")
                   ->group("Commands");
    Repeatable(*m_doctor, "--port", m_console.doctorPorts, "COMn|DEVICE",
               "a port to examine, once for each (default: every\n"
               "listed port)");
    m_doctor->add_flag("--open", m_console.doctorOpen,
                       "also open each port that has no problem once (this\n"
                       "raises DTR and RTS, which resets many instruments)");

    // vantrel job check FILE
    m_job = app.add_subcommand("job", "check a production job (man 5 vantrel-job)")
                ->group("Commands");
    m_job->require_subcommand(1, 1);
    m_jobCheck = m_job->add_subcommand("check", "check a job file, opening no port");
    m_jobCheck->add_option("FILE", m_console.jobFile, "the job file")
        ->required()
        ->check(kPlainValue);

    // A command takes nothing that was given before it.
    for (CLI::App* command : app.get_subcommands({})) {
        for (CLI::Option* option : app.get_options()) {
            if (option != app.get_help_ptr() && option != app.get_version_ptr()) {
                command->excludes(option);
            }
        }
    }
}

std::string CommandLine::Parse(const std::vector<std::string>& args) {
    m_command = Command::Run;
    if (std::string empty = EmptyAfterEquals(args); !empty.empty()) {
        return empty;
    }
    // CLI11 takes the arguments in reverse order.
    std::vector<std::string> reversed(args.rbegin(), args.rend());
    try {
        m_app->parse(reversed);
    } catch (const CLI::CallForHelp&) {
        m_command = Command::Help;
        m_station.help = m_stationApp->parsed();
        return {};
    } catch (const CLI::CallForVersion&) {
        m_command = Command::Version;
        return {};
    } catch (const CLI::ExtrasError& error) {
        if (m_ports->parsed()) {
            return "\"ports\" takes no functions or options";
        }
        if (m_stationApp->parsed() && args.front() == "station") {
            m_command = Command::Station;
        }
        return error.what();
    } catch (const CLI::ExcludesError&) {
        // Only the commands exclude anything: whatever was given before them.
        const CLI::App* command = ParsedCommand();
        return "\"" + (command != nullptr ? command->get_name() : std::string("the command")) +
               "\" comes first, with nothing before it";
    } catch (const CLI::ParseError& error) {
        // An error inside the station's part: the station's usage goes with it.
        if (m_stationApp->parsed() && args.front() == "station") {
            m_command = Command::Station;
        }
        return error.what();
    }
    if (m_ports->parsed()) {
        m_command = Command::ListPorts;
    } else if (m_stationApp->parsed()) {
        m_command = Command::Station;
    } else if (m_doctor->parsed()) {
        m_command = Command::Doctor;
    } else if (m_jobCheck->parsed()) {
        m_command = Command::JobCheck;
    }
    if (std::string error = Check(); !error.empty()) {
        return error;
    }
    if (std::string error = JobRules(); !error.empty()) {
        return error;
    }
    Finish();
    return m_command == Command::Station ? StationRules() : TraceRules();
}

std::string CommandLine::TraceRules() const {
    if (m_console.traceBytes && m_console.traceFile.empty()) {
        return "--trace-bytes requires --trace";
    }
    return {};
}

void CommandLine::Finish() {
    // The validators have checked the numbers and the functions.
    m_console.waitSeconds =
        ParseBounded(m_waitText, 1, kMaxWaitSeconds).value_or(kDefaultWaitSeconds);
    m_console.functions = FunctionsOf(m_functionNames);
    m_station.waitSeconds = ParseBounded(m_stationWaitText, 1, kMaxWaitSeconds).value_or(0);
    m_station.count = ParseBounded(m_countText, 1, kMaxStationCount).value_or(0);
    m_station.functions = FunctionsOf(m_stationFunctionNames);
    if (m_station.functions.empty()) {
        m_station.functions = {Function::Auto, Function::Restart};
    }
    // A port named twice is served once.
    std::vector<std::string> ports;
    for (const std::string& port : m_station.ports) {
        if (std::find(ports.begin(), ports.end(), port) == ports.end()) {
            ports.push_back(port);
        }
    }
    m_station.ports = ports;
}

const CLI::App* CommandLine::ParsedCommand() const {
    for (const CLI::App* command : {m_ports, m_stationApp, m_doctor, m_job}) {
        if (command->parsed()) {
            return command;
        }
    }
    return nullptr;
}

std::string CommandLine::JobRules() const {
    const bool station = m_command == Command::Station;
    if (m_command != Command::Run && !station) {
        return {};
    }
    const CLI::App& app = station ? *m_stationApp : *m_app;
    if ((station ? m_station.jobFile : m_console.jobFile).empty()) {
        return {};
    }
    // Refused whether the job writes the key or leaves it to its default: the operator
    // chooses the job and changes nothing of it.
    for (const char* name : kJobFixedOptions) {
        const CLI::Option* option = app.get_option_no_throw(name);
        if (option != nullptr && option->count() > 0) {
            return JobFixedText(name);
        }
    }
    if (!(station ? m_stationFunctionNames : m_functionNames).empty()) {
        return JobFixedText("the function \"" +
                            (station ? m_stationFunctionNames : m_functionNames).front() + "\"");
    }
    return {};
}

std::string CommandLine::StationRules() const {
    if (!m_station.jobFile.empty()) {
        return {};
    }
    if (Downloads(m_station.functions) && m_station.targetFile.empty()) {
        return "--file is required: a function downloads the target file";
    }
    if (m_station.traceAll && m_station.traceFolder.empty()) {
        return "--trace-all requires --trace-dir";
    }
    if (m_station.traceBytes && TraceFolderOf(m_station).empty()) {
        return "--trace-bytes: no trace files are written without --trace-dir or --record";
    }
    return {};
}

std::string CommandLine::Check() const {
    for (const auto* names : {&m_functionNames, &m_stationFunctionNames}) {
        for (const std::string& name : *names) {
            if (!FunctionFromName(name)) {
                return "unknown function \"" + name + "\"";
            }
        }
    }
    // Each option once, but the station's --port.
    const std::vector<const CLI::App*> apps = {m_app.get(), m_stationApp, m_doctor};
    for (const CLI::App* app : apps) {
        for (const CLI::Option* option : app->get_options()) {
            const bool repeatable = app != m_app.get() && option->get_name() == "--port";
            if (option->count() > 1 && !option->get_positional() && !repeatable) {
                return option->get_name() + " given more than once";
            }
        }
    }
    return {};
}

std::string CommandLine::Usage() const {
    return m_app->help();
}

std::string CommandLine::StationUsage() const {
    return m_stationApp->help(m_app->get_name());
}

}  // namespace vantrel::cli
