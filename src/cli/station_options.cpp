#include "station_options.h"

#include <algorithm>
#include <utility>

namespace vantrel::cli {

namespace {

bool Downloads(const std::vector<Function>& functions) {
    return std::any_of(functions.begin(), functions.end(), [](Function f) {
        return f == Function::Download || f == Function::Auto;
    });
}

}  // namespace

StationParseResult ParseStationOptions(const std::vector<std::string>& args) {
    StationParseResult result;
    StationOptions& options = result.options;
    auto fail = [&result](std::string error) {
        result.ok = false;
        result.error = std::move(error);
        return result;
    };
    std::string countText;
    std::string waitText;
    struct ValueOption {
        const char* name;
        std::string* target;
        bool seen = false;
    };
    ValueOption once[] = {{"--file", &options.targetFile},
                          {"--record", &options.recordFile},
                          {"--count", &countText},
                          {"--wait", &waitText}};

    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& arg = args[i];
        if (arg == "-h" || arg == "--help") {
            options.help = true;
            result.ok = true;
            return result;
        }
        if (arg.rfind("-", 0) != 0 || arg == "-") {
            const auto function = FunctionFromName(arg);
            if (!function) {
                return fail("unknown function \"" + arg + "\"");
            }
            options.functions.push_back(*function);
            continue;
        }
        const std::size_t eq = arg.find('=');
        const std::string name = arg.substr(0, eq);
        std::string value;
        if (eq != std::string::npos) {
            value = arg.substr(eq + 1);
        } else if (i + 1 < args.size()) {
            value = args[++i];
        }
        if (name == "--port") {
            if (value.empty()) {
                return fail("--port needs a value");
            }
            if (std::find(options.ports.begin(), options.ports.end(), value) ==
                options.ports.end()) {
                options.ports.push_back(value);
            }
            continue;
        }
        auto* option = std::find_if(std::begin(once), std::end(once),
                                    [&name](const ValueOption& o) { return name == o.name; });
        if (option == std::end(once)) {
            return fail("unknown option " + name);
        }
        if (option->seen) {
            return fail(name + " given more than once");
        }
        if (value.empty()) {
            return fail(name + " needs a value");
        }
        option->seen = true;
        *option->target = value;
    }

    if (!countText.empty()) {
        const auto count = ParseBounded(countText, 1, kMaxStationCount);
        if (!count) {
            return fail("--count takes a whole number from 1 to " +
                        std::to_string(kMaxStationCount) + ", not \"" + countText + "\"");
        }
        options.count = *count;
    }
    if (!waitText.empty()) {
        const auto seconds = ParseBounded(waitText, 1, kMaxWaitSeconds);
        if (!seconds) {
            return fail("--wait takes whole seconds from 1 to " +
                        std::to_string(kMaxWaitSeconds) + ", not \"" + waitText + "\"");
        }
        options.waitSeconds = *seconds;
    }
    if (options.functions.empty()) {
        options.functions = {Function::Auto, Function::Restart};
    }
    if (Downloads(options.functions) && options.targetFile.empty()) {
        return fail("--file is required: a function downloads the target file");
    }
    result.ok = true;
    return result;
}

std::string StationUsageText(const std::string& program) {
    return "Usage: " + program +
           " station [--port COMn|DEVICE]... [--file PATH] [--record FILE] [--count N]\n"
           "               [--wait SECONDS] [FUNCTION...]\n"
           "\n"
           "Serves every port at once: each port waits for an instrument to be reset, runs the\n"
           "functions on it as \"" +
           program +
           "\" does (default: auto restart), then waits for the next.\n"
           "A port whose device goes away is tried again every few seconds.\n"
           "\n"
           "  --port     COM name or device path, as often as needed; default: every port of\n"
           "             \"" +
           program +
           " ports\"\n"
           "  --file     the image, read once at the start; a port refuses to download it\n"
           "             once it has changed\n"
           "  --record   append a JSON line for each instrument handled to FILE\n"
           "  --count    end once N instruments have been handled\n"
           "  --wait     end after SECONDS without any instrument being reset\n"
           "The first Ctrl-C takes no new instruments and lets running ones finish; a second\n"
           "cancels running transfers.\n"
           "\n"
           "Exit status: 0 every instrument handled succeeded, 1 at least one failed, 2 usage\n"
           "error or an image that cannot be read, 4 no port could be opened, 130\n"
           "interrupted.\n";
}

}  // namespace vantrel::cli
