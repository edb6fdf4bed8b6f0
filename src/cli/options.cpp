#include "options.h"

#include <array>
#include <charconv>
#include <optional>
#include <utility>

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

std::optional<int> ParseSeconds(const std::string& text) {
    return ParseBounded(text, 1, kMaxWaitSeconds);
}

// One option taking a value: where the value goes and whether it was given already.
struct ValueOption {
    const char* name;
    std::string* target;
    bool seen = false;
};

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

ParseResult ParseOptions(const std::vector<std::string>& args) {
    ParseResult result;
    Options& options = result.options;
    std::string waitText;
    std::array<ValueOption, 4> valueOptions = {{
        {"--port", &options.port},
        {"--file", &options.targetFile},
        {"--wait", &waitText},
        {"--record", &options.recordFile},
    }};
    std::vector<std::string> words;

    auto fail = [&result](std::string error) {
        result.ok = false;
        result.error = std::move(error);
        return result;
    };

    for (const auto& arg : args) {
        if (arg == "-h" || arg == "--help" || arg == "--version") {
            options.command =
                arg == "--version" ? Options::Command::Version : Options::Command::Help;
            result.ok = true;
            return result;
        }
    }
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg.rfind("-", 0) != 0 || arg == "-") {
            words.push_back(arg);
            continue;
        }
        const std::size_t eq = arg.find('=');
        const std::string name = arg.substr(0, eq);
        ValueOption* option = nullptr;
        for (auto& candidate : valueOptions) {
            if (name == candidate.name) {
                option = &candidate;
            }
        }
        if (option == nullptr) {
            return fail("unknown option " + name);
        }
        if (option->seen) {
            return fail(name + " given more than once");
        }
        std::string value;
        if (eq != std::string::npos) {
            value = arg.substr(eq + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        } else {
            return fail(name + " needs a value");
        }
        if (value.empty()) {
            return fail(name + " needs a value");
        }
        option->seen = true;
        *option->target = value;
    }

    options.waitSeconds = kDefaultWaitSeconds;
    if (valueOptions[2].seen) {
        const auto seconds = ParseSeconds(waitText);
        if (!seconds) {
            return fail("--wait takes whole seconds from 1 to " + std::to_string(kMaxWaitSeconds) +
                        ", not \"" + waitText + "\"");
        }
        options.waitSeconds = *seconds;
    }

    if (!words.empty() && words.front() == "ports") {
        if (words.size() > 1 || valueOptions[0].seen || valueOptions[1].seen ||
            valueOptions[2].seen || valueOptions[3].seen) {
            return fail("\"ports\" takes no functions or options");
        }
        options.command = Options::Command::ListPorts;
        result.ok = true;
        return result;
    }
    for (const auto& word : words) {
        const auto function = FunctionFromName(word);
        if (!function) {
            return fail("unknown function \"" + word + "\"");
        }
        options.functions.push_back(*function);
    }
    result.ok = true;
    return result;
}

std::string UsageText(const std::string& program) {
    return "Usage: " + program +
           " [--port COMn|DEVICE] [--file PATH] [--wait SECONDS] [--record FILE] [FUNCTION...]\n"
           "       " +
           program +
           " ports\n"
           "\n"
           "Waits for the instrument to be reset and identified, then runs each FUNCTION in\n"
           "the order given, stopping at the first that fails:\n"
           "  blank-check   blank check of the user area\n"
           "  memory-test   sector protection verification\n"
           "  erase         erase the user area\n"
           "  download      download the target file (--file)\n"
           "  auto          protection check, blank check, erase when needed, download\n"
           "  restart       run the downloaded program\n"
           "Without a function it identifies the instrument and prints its model.\n"
           "\n"
           "  --port     COM name (see \"ports\") or device path. Without it: the port last\n"
           "             used in the window, if this machine still has that name; else\n"
           "             nothing is opened and the exit status is 2\n"
           "  --file     the image to download (.upg or .bin)\n"
           "  --wait     seconds to wait for each reset (default 120)\n"
           "  --record   append a JSON line describing the run to FILE\n"
           "  --version  print the version\n"
           "\n"
           "Exit status: 0 all functions succeeded, 1 a function failed, 2 usage error or\n"
           "no port chosen, 3 no instrument identified in time, 4 the port cannot be\n"
           "opened, 130 interrupted.\n"
           "\n"
           "       " +
           program +
           " station [--port COMn]... [--file PATH] [--record FILE] [--count N] [--wait S]\n"
           "               [FUNCTION...]\n"
           "Station mode: serves many ports at once, each instrument as soon as it is reset\n"
           "(see \"" +
           program + " station --help\").\n"
           "\n"
           "The manual page: man vantrel\n";
}

}  // namespace vantrel::cli
