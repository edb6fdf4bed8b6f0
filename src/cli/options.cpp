#include "options.h"

#include <algorithm>
#include <array>
#include <charconv>
#include <optional>
#include <utility>

#include "command_line.h"

namespace vantrel::cli {

namespace {

constexpr std::array<std::pair<Function, const char*>, 6> kFunctionNames = {{
    {Function::BlankCheck, "blank-check"},
    {Function::MemoryTest, "memory-test"},
    {Function::Erase, "erase"},
    {Function::Download, "download"},
    {Function::Auto, "auto"},
    {Function::Restart, "restart"},
}};

}  // namespace

std::optional<Function> FunctionFromName(const std::string& name) {
    for (const auto& [function, text] : kFunctionNames) {
        if (name == text) {
            return function;
        }
    }
    return std::nullopt;
}

std::optional<int> ParseBounded(const std::string& text, int low, int high) {
    int value = 0;
    const char* end = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(text.data(), end, value);
    if (text.empty() || ec != std::errc() || ptr != end || value < low || value > high) {
        return std::nullopt;
    }
    return value;
}

std::string FunctionName(Function function) {
    for (const auto& [f, text] : kFunctionNames) {
        if (f == function) {
            return text;
        }
    }
    return {};
}

bool Downloads(Function function) {
    return function == Function::Download || function == Function::Auto;
}

bool Downloads(const std::vector<Function>& functions) {
    return std::any_of(functions.begin(), functions.end(),
                       [](Function f) { return Downloads(f); });
}

ParseResult ParseOptions(const std::vector<std::string>& args) {
    ParseResult result;
    CommandLine line("vantrel");
    result.error = line.Parse(args);
    switch (line.command()) {
        case CommandLine::Command::Run:
            result.options = line.console();
            result.options.command = Options::Command::Run;
            break;
        case CommandLine::Command::ListPorts:
            result.options.command = Options::Command::ListPorts;
            break;
        case CommandLine::Command::Station:
            result.options.command = Options::Command::Station;
            result.error.clear();
            break;
        case CommandLine::Command::Help:
            // The station's help is the station's to print.
            result.options.command =
                line.station().help ? Options::Command::Station : Options::Command::Help;
            break;
        case CommandLine::Command::Version:
            result.options.command = Options::Command::Version;
            break;
        case CommandLine::Command::Doctor:
            result.options = line.console();
            result.options.command = Options::Command::Doctor;
            break;
        case CommandLine::Command::JobCheck:
            result.options = line.console();
            result.options.command = Options::Command::JobCheck;
            break;
    }
    result.ok = result.error.empty();
    return result;
}

std::string UsageText(const std::string& program) {
    return CommandLine(program).Usage();
}

}  // namespace vantrel::cli
