#include "relay_options.h"

#include <charconv>
#include <cstdlib>
#include <regex>

namespace vantrel::relay {

namespace {

bool ParseRate(const std::string& text, double& rate) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    if (text.empty() || end != text.c_str() + text.size() || !(value >= 0.0 && value <= 1.0)) {
        return false;
    }
    rate = value;
    return true;
}

template <typename T>
bool ParseUnsigned(const std::string& text, T& value) {
    const char* first = text.data();
    const char* last = text.data() + text.size();
    const auto [ptr, ec] = std::from_chars(first, last, value);
    return !text.empty() && ec == std::errc() && ptr == last;
}

bool ParseDirection(const std::string& text, Direction& direction) {
    if (text == "to-instrument") {
        direction = Direction::ToInstrument;
        return true;
    }
    if (text == "to-program") {
        direction = Direction::ToProgram;
        return true;
    }
    return false;
}

// One fault setting "NAME=VALUE" applied to `rates`.
bool ApplyFault(const std::string& name, const std::string& value, FaultRates& rates) {
    if (name == "drop") {
        return ParseRate(value, rates.drop);
    }
    if (name == "flip") {
        return ParseRate(value, rates.flip);
    }
    if (name == "dup") {
        return ParseRate(value, rates.dup);
    }
    if (name == "insert") {
        return ParseRate(value, rates.insert);
    }
    if (name == "delay") {
        return ParseUnsigned(value, rates.delayMs);
    }
    return false;
}

// "drop=R,flip=R,..." for one direction.
bool ApplyFaultList(const std::string& list, FaultRates& rates) {
    std::size_t pos = 0;
    while (pos <= list.size()) {
        const std::size_t comma = std::min(list.find(',', pos), list.size());
        const std::string item = list.substr(pos, comma - pos);
        const std::size_t eq = item.find('=');
        if (eq == std::string::npos ||
            !ApplyFault(item.substr(0, eq), item.substr(eq + 1), rates)) {
            return false;
        }
        pos = comma + 1;
    }
    return true;
}

// "DIR:REST" into the direction and REST.
bool SplitDirection(const std::string& text, Direction& direction, std::string& rest) {
    const std::size_t colon = text.find(':');
    if (colon == std::string::npos || !ParseDirection(text.substr(0, colon), direction)) {
        return false;
    }
    rest = text.substr(colon + 1);
    return true;
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

}  // namespace

const char* DirectionName(Direction d) {
    return d == Direction::ToInstrument ? "to-instrument" : "to-program";
}

bool Unescape(const std::string& text, std::string& bytes) {
    bytes.clear();
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '\\') {
            bytes.push_back(text[i]);
            continue;
        }
        if (++i >= text.size()) {
            return false;
        }
        switch (text[i]) {
            case 'r':
                bytes.push_back('\r');
                break;
            case 'n':
                bytes.push_back('\n');
                break;
            case 't':
                bytes.push_back('\t');
                break;
            case '\\':
                bytes.push_back('\\');
                break;
            case 'x': {
                const int high = i + 1 < text.size() ? HexDigit(text[i + 1]) : -1;
                const int low = i + 2 < text.size() ? HexDigit(text[i + 2]) : -1;
                if (high < 0 || low < 0) {
                    return false;
                }
                bytes.push_back(static_cast<char>(high * 16 + low));
                i += 2;
                break;
            }
            default:
                return false;
        }
    }
    return true;
}

const char* RelayUsage() {
    return "usage: vantrel-relay [options]\n"
           "A line between the program and an instrument that loses, corrupts, repeats and\n"
           "inserts bytes, delays them, and can be cut.\n"
           "  --device PATH           instrument side: this device (e.g. the simulator's pty);\n"
           "                          without it a second pty is made for the instrument\n"
           "  --link PATH             symbolic link PATH to the program side's pty\n"
           "  --instrument-link PATH  symbolic link PATH to the instrument side's own pty\n"
           "  --alias COMn            port alias COMn for the program side, in\n"
           "                          $XDG_CONFIG_HOME/vantrel/ports (removed on exit)\n"
           "  --seed N                seed of the faults, to replay a run (printed as SEED)\n"
           "  --drop R --flip R --dup R --insert R\n"
           "                          chance per byte (0..1) in both directions\n"
           "  --delay MS              latency in both directions\n"
           "  --to-instrument LIST    faults of one direction, LIST as\n"
           "  --to-program LIST         drop=R,flip=R,dup=R,insert=R,delay=MS\n"
           "  --cut DIR:N             cut the line once N bytes have passed in DIR\n"
           "                          (to-instrument or to-program)\n"
           "  --cut-on DIR:TEXT       cut the line once TEXT (escapes \\r \\n \\t \\xHH) has\n"
           "                          passed in DIR\n"
           "  --cut-delay MS          cut this long after the byte count or text is reached\n"
           "  --cut-mode hangup|silent\n"
           "                          hangup (default): the program's port hangs up, as a\n"
           "                          pulled USB adapter; silent: nothing passes, as a pulled\n"
           "                          cable. SIGUSR1 cuts at once.\n"
           "  --replug-after MS       the line comes back this long after a cut (hangup: a\n"
           "                          new pty behind the same link and alias)\n"
           "  --follow-open           reopen the --device each time a program opens the\n"
           "                          program side (a simulator with --reset-on-open then\n"
           "                          resets for that program)\n"
           "What the instrument says while no program has the program side open is lost and\n"
           "counts for nothing.\n"
           "Prints PROGRAM PATH, INSTRUMENT PATH (own pty only), SEED N and READY on stdout,\n"
           "then OPENED and CLOSED (a program opened or closed the program side), CUT and\n"
           "REPLUG PATH as they happen, and STATS lines when it ends (SIGTERM).\n";
}

std::optional<RelayOptions> ParseRelayOptions(const std::vector<std::string>& args,
                                              std::string& error) {
    RelayOptions options;
    std::optional<std::uint32_t> cutDelay;
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& option = args[i];
        if (option == "--help" || option == "-h") {
            error.clear();
            return std::nullopt;
        }
        if (option == "--follow-open") {
            options.followOpen = true;
            continue;
        }
        if (i + 1 >= args.size()) {
            error = "missing value or unknown option: " + option;
            return std::nullopt;
        }
        const std::string& value = args[++i];
        bool ok = true;
        if (option == "--device") {
            options.device = value;
        } else if (option == "--link") {
            options.programLink = value;
        } else if (option == "--instrument-link") {
            options.instrumentLink = value;
        } else if (option == "--alias") {
            static const std::regex kComName("COM([1-9]|[1-9][0-9])");
            ok = std::regex_match(value, kComName);
            options.alias = value;
        } else if (option == "--seed") {
            std::uint64_t seed = 0;
            ok = ParseUnsigned(value, seed);
            options.seed = seed;
        } else if (option == "--drop" || option == "--flip" || option == "--dup" ||
                   option == "--insert" || option == "--delay") {
            for (auto& rates : options.rates) {
                ok = ok && ApplyFault(option.substr(2), value, rates);
            }
        } else if (option == "--to-instrument") {
            ok = ApplyFaultList(value, options.rates[Index(Direction::ToInstrument)]);
        } else if (option == "--to-program") {
            ok = ApplyFaultList(value, options.rates[Index(Direction::ToProgram)]);
        } else if (option == "--cut" || option == "--cut-on") {
            CutRule rule;
            std::string rest;
            ok = SplitDirection(value, rule.direction, rest);
            if (ok && option == "--cut") {
                ok = ParseUnsigned(rest, rule.afterBytes);
            } else if (ok) {
                ok = Unescape(rest, rule.afterText) && !rule.afterText.empty();
            }
            options.cut = rule;
        } else if (option == "--cut-delay") {
            std::uint32_t ms = 0;
            ok = ParseUnsigned(value, ms);
            cutDelay = ms;
        } else if (option == "--cut-mode") {
            ok = value == "hangup" || value == "silent";
            options.cutMode = value == "silent" ? CutMode::Silent : CutMode::Hangup;
        } else if (option == "--replug-after") {
            std::uint32_t ms = 0;
            ok = ParseUnsigned(value, ms);
            options.replugAfterMs = ms;
        } else {
            error = "unknown option: " + option;
            return std::nullopt;
        }
        if (!ok) {
            error = "bad value for " + option + ": " + value;
            return std::nullopt;
        }
    }
    if (cutDelay) {
        if (!options.cut) {
            error = "--cut-delay needs --cut or --cut-on";
            return std::nullopt;
        }
        options.cut->delayMs = *cutDelay;
    }
    if (options.followOpen && options.device.empty()) {
        error = "--follow-open needs --device";
        return std::nullopt;
    }
    if (!options.instrumentLink.empty() && !options.device.empty()) {
        error = "--instrument-link names the relay's own pty: not with --device";
        return std::nullopt;
    }
    return options;
}

}  // namespace vantrel::relay
