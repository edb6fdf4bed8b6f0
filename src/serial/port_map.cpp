#include "port_map.h"

#include <sys/stat.h>

#include <algorithm>
#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <optional>
#include <set>
#include <string_view>
#include <system_error>

namespace vantrel {

namespace fs = std::filesystem;

namespace {

// The port list offers COM1 .. COM99; COM100 and above are never listed.
constexpr int kFirstComNumber = 1;
constexpr int kLastComNumber = 99;

// Fixed numbers of the system's own serial devices: <prefix><k> is COM<k + offset>.
struct FixedFamily {
    std::string_view prefix;
    int offset;
};
constexpr FixedFamily kFixedFamilies[] = {
    {"ttyS", 1},
    {"ttyUSB", 33},
    {"ttyACM", 65},
};
// k runs from 0 to 31 in every family, so the families never overlap.
constexpr int kFamilySize = 32;

// In /sys/class/tty/<name>: the link to the device behind a tty (none for virtual ones: consoles,
// pseudo-terminals), and a built-in port's UART type, "0" when no UART answered at boot.
constexpr const char* kTtyDeviceLink = "device";
constexpr const char* kUartType = "type";
constexpr const char* kNoUart = "0";

// The value of an all-digit text without a leading zero, at most two digits; nothing else.
std::optional<int> SmallNumber(std::string_view digits) {
    if (digits.empty() || digits.size() > 2 || (digits.size() > 1 && digits[0] == '0')) {
        return std::nullopt;
    }
    int value = 0;
    for (char c : digits) {
        if (std::isdigit(static_cast<unsigned char>(c)) == 0) {
            return std::nullopt;
        }
        value = value * 10 + (c - '0');
    }
    return value;
}

std::string ComName(int number) {
    return "COM" + std::to_string(number);
}

// The number of an alias file name: exactly "COM<n>", n from 1 to 99, no leading zero.
std::optional<int> AliasNumber(std::string_view fileName) {
    if (fileName.substr(0, 3) != "COM") {
        return std::nullopt;
    }
    const auto n = SmallNumber(fileName.substr(3));
    if (!n || *n < kFirstComNumber || *n > kLastComNumber) {
        return std::nullopt;
    }
    return n;
}

// The fixed COM number of a system device, from the last part of its path.
std::optional<int> FixedNumber(const std::string& device) {
    const std::string base = fs::path(device).filename().string();
    for (const auto& family : kFixedFamilies) {
        if (base.size() <= family.prefix.size() ||
            base.compare(0, family.prefix.size(), family.prefix) != 0) {
            continue;
        }
        const auto k = SmallNumber(std::string_view(base).substr(family.prefix.size()));
        if (k && *k < kFamilySize) {
            return *k + family.offset;
        }
    }
    return std::nullopt;
}

// Whether `device` exists as a character device. Nothing is opened to ask whether it is a
// serial port: an open raises the modem lines (DTR, RTS) of a real port, which resets many
// instruments and USB adapters. A device that then cannot be opened as one says why when it
// is chosen.
bool IsCharacterDevice(const std::string& device) {
    struct stat info {};
    return ::stat(device.c_str(), &info) == 0 && S_ISCHR(info.st_mode);
}

bool LessIgnoringCase(const std::string& a, const std::string& b) {
    return std::lexicographical_compare(
        a.begin(), a.end(), b.begin(), b.end(),
        [](unsigned char x, unsigned char y) { return std::tolower(x) < std::tolower(y); });
}

// The number of a COM name given by the operator or a front end ("COM7", "com7"), or
// nothing when the text is no COM name. Numbers too large for any entry give 0.
std::optional<int> RequestedComNumber(std::string_view text) {
    if (text.size() < 4) {
        return std::nullopt;
    }
    for (std::size_t i = 0; i < 3; ++i) {
        if (std::toupper(static_cast<unsigned char>(text[i])) != "COM"[i]) {
            return std::nullopt;
        }
    }
    const std::string_view digits = text.substr(3);
    if (!std::all_of(digits.begin(), digits.end(),
                     [](unsigned char c) { return std::isdigit(c) != 0; })) {
        return std::nullopt;
    }
    const std::string_view significant =
        digits.substr(std::min(digits.find_first_not_of('0'), digits.size()));
    if (significant.size() > 2) {
        return 0;
    }
    int value = 0;
    for (char c : significant) {
        value = value * 10 + (c - '0');
    }
    return value;
}

}  // namespace

std::string ConfigFolder() {
    // Only an absolute XDG_CONFIG_HOME counts; a relative one is to be ignored.
    const char* config = std::getenv("XDG_CONFIG_HOME");
    if (config != nullptr && config[0] == '/') {
        return (fs::path(config) / "vantrel").string();
    }
    const char* home = std::getenv("HOME");
    if (home != nullptr && home[0] == '/') {
        return (fs::path(home) / ".config" / "vantrel").string();
    }
    return {};
}

std::string PortAliasFolder() {
    const std::string folder = ConfigFolder();
    return folder.empty() ? folder : (fs::path(folder) / "ports").string();
}

std::vector<PortEntry> MapPorts(const std::string& aliasFolder,
                                const std::vector<std::string>& systemDevices) {
    std::map<int, std::string> devices;
    // Every alias name is claimed, even when its device is missing now: a remembered COM
    // name must not quietly lead to another device with the same fixed number.
    std::set<int> claimed;

    std::error_code ec;
    if (!aliasFolder.empty() && fs::is_directory(aliasFolder, ec)) {
        // Stepped with an error code: an unreadable entry ends the listing, never throws.
        for (fs::directory_iterator it(aliasFolder, ec), end; !ec && it != end; it.increment(ec)) {
            const fs::directory_entry& entry = *it;
            const auto n = AliasNumber(entry.path().filename().string());
            if (!n) {
                continue;
            }
            claimed.insert(*n);
            std::error_code resolveError;
            const fs::path target = fs::canonical(entry.path(), resolveError);
            if (!resolveError && IsCharacterDevice(target.string())) {
                devices[*n] = target.string();
            }
        }
    }

    for (const auto& device : systemDevices) {
        const auto n = FixedNumber(device);
        if (!n || claimed.count(*n) != 0 || devices.count(*n) != 0) {
            continue;
        }
        if (IsCharacterDevice(device)) {
            devices[*n] = device;
        }
    }

    std::vector<PortEntry> entries;
    entries.reserve(devices.size());
    for (const auto& [number, device] : devices) {
        entries.push_back(PortEntry{ComName(number), device});
    }
    std::sort(entries.begin(), entries.end(), [](const PortEntry& a, const PortEntry& b) {
        return LessIgnoringCase(a.name, b.name);
    });
    return entries;
}

std::vector<std::string> SerialDevicesIn(const std::string& ttyClass) {
    std::vector<std::string> devices;
    std::error_code ec;
    for (fs::directory_iterator it(ttyClass, ec), end; !ec && it != end; it.increment(ec)) {
        const fs::path tty = it->path();
        std::error_code linkError;
        if (!fs::exists(tty / kTtyDeviceLink, linkError)) {
            continue;
        }
        std::ifstream typeFile(tty / kUartType);
        std::string type;
        if (typeFile && std::getline(typeFile, type) && type == kNoUart) {
            continue;
        }
        devices.push_back("/dev/" + tty.filename().string());
    }
    std::sort(devices.begin(), devices.end());
    return devices;
}

std::string ResolvePort(const std::vector<PortEntry>& entries, const std::string& nameOrDevice) {
    const auto requested = RequestedComNumber(nameOrDevice);
    if (!requested) {
        // A link such as /dev/serial/by-path/... is opened as the tty it leads to now, so that
        // the lock file and the messages name the device other programs know.
        std::error_code ec;
        const fs::path device = fs::canonical(nameOrDevice, ec);
        return ec ? nameOrDevice : device.string();
    }
    const std::string name = ComName(*requested);
    for (const auto& entry : entries) {
        if (entry.name == name) {
            return entry.device;
        }
    }
    return {};
}

}  // namespace vantrel
