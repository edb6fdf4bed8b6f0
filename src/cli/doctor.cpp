#include "doctor.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <map>
#include <set>

#include "port_listing.h"

namespace vantrel::cli {

namespace {

// Where the system and its programs are looked for.
constexpr const char* kProc = "/proc";
// Lock files of the UUCP convention, which Qt's serial port and most terminal programs
// honour: LCK..<device below /dev, '/' as '_'> holding the owner's PID. /var/lock is usually
// a link to /run/lock; both are read, each file reported once.
constexpr const char* kLockFolders[] = {"/var/lock", "/run/lock"};
// The program name ModemManager runs under (/proc/PID/comm), and the udev properties that
// keep it off a port: ignored, ignored under the older name, or probed only on a manual scan.
constexpr const char* kModemManager = "ModemManager";
constexpr const char* kModemManagerLeaves[] = {"ID_MM_DEVICE_IGNORE", "ID_MM_TTY_BLACKLIST",
                                               "ID_MM_TTY_MANUAL_SCAN_ONLY"};
// brltty's udev rules claim some USB-serial adapters; an empty file or a link to /dev/null
// of the same name in /etc/udev/rules.d masks them.
constexpr const char* kBrlttyRules[] = {"/usr/lib/udev/rules.d/85-brltty.rules",
                                        "/lib/udev/rules.d/85-brltty.rules"};
constexpr const char* kBrlttyMask = "/etc/udev/rules.d/85-brltty.rules";
// The FTDI driver's receive latency timer, in ms: how long the adapter holds a few received
// bytes before it passes them on; 1 is what low latency sets.
constexpr const char* kTtyClass = "/sys/class/tty/";
constexpr const char* kLatencyTimer = "/device/latency_timer";
constexpr int kLowLatencyMs = 1;

using Kind = Finding::Kind;

Finding Ok(std::string what) {
    return {Kind::Ok, std::move(what), {}};
}
Finding Info(std::string what) {
    return {Kind::Info, std::move(what), {}};
}
Finding Problem(std::string what, std::string fix) {
    return {Kind::Problem, std::move(what), std::move(fix)};
}

std::string Trimmed(const std::string& text) {
    const auto first = text.find_first_not_of(" \t\r\n");
    const auto last = text.find_last_not_of(" \t\r\n");
    return first == std::string::npos ? std::string() : text.substr(first, last - first + 1);
}

// A whole positive number written in decimal (a PID, a number of milliseconds); nothing
// otherwise.
std::optional<int> Positive(const std::string& text) {
    int value = 0;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (ec != std::errc() || end != text.data() + text.size() || value <= 0) {
        return std::nullopt;
    }
    return value;
}

// The running processes, and which of them hold which device open.
struct ProcessScan {
    std::map<int, std::string> programs;              // PID -> name
    std::map<std::string, std::vector<int>> holders;  // device path -> PIDs
    int unreadable = 0;  // processes whose open files this user may not see
};

ProcessScan ScanProcesses(const SystemView& view) {
    ProcessScan scan;
    for (const std::string& name : view.List(kProc).value_or(std::vector<std::string>{})) {
        const auto pid = Positive(name);
        if (!pid || *pid == view.OwnPid()) {
            continue;
        }
        const std::string dir = std::string(kProc) + "/" + name;
        scan.programs[*pid] = Printable(Trimmed(view.Read(dir + "/comm").value_or("?")));
        const auto fds = view.List(dir + "/fd");
        if (!fds) {
            ++scan.unreadable;
            continue;
        }
        for (const std::string& fd : *fds) {
            const std::string target = view.LinkTarget(dir + "/fd/" + fd);
            auto& pids = scan.holders[target];
            if (std::find(pids.begin(), pids.end(), *pid) == pids.end()) {
                pids.push_back(*pid);
            }
        }
    }
    return scan;
}

std::string ProgramText(const ProcessScan& scan, int pid) {
    const auto it = scan.programs.find(pid);
    return (it == scan.programs.end() ? std::string("a program") : it->second) + " (PID " +
           std::to_string(pid) + ")";
}

std::optional<int> RunningModemManager(const ProcessScan& scan) {
    for (const auto& [pid, program] : scan.programs) {
        if (program == kModemManager) {
            return pid;
        }
    }
    return std::nullopt;
}

std::vector<Finding> MachineFindings(const SystemView& view, const ProcessScan& scan) {
    std::vector<Finding> findings;
    const bool brltty = std::any_of(std::begin(kBrlttyRules), std::end(kBrlttyRules),
                                    [&](const char* path) { return view.Stat(path).has_value(); });
    const auto mask = view.Stat(kBrlttyMask);
    const bool masked = view.Canonical(kBrlttyMask) == "/dev/null" ||
                        (mask && mask->kind == FileStatus::Kind::Regular &&
                         Trimmed(view.Read(kBrlttyMask).value_or("x")).empty());
    if (brltty && masked) {
        findings.push_back(Info("brltty is installed, and its udev rules are masked"));
    } else if (brltty) {
        findings.push_back(Problem(
            "brltty is installed: it takes some USB-serial adapters (CH340, CP210x) for braille "
            "displays, so their port vanishes moments after it appears",
            "Remove it (sudo apt-get remove brltty) unless a braille display needs it."));
    }
    if (const auto pid = RunningModemManager(scan)) {
        findings.push_back(Info("ModemManager is running (PID " + std::to_string(*pid) +
                                "): it probes new USB serial ports unless told to leave them"));
    }
    if (scan.unreadable > 0) {
        findings.push_back(Info("the open files of " + std::to_string(scan.unreadable) +
                                (scan.unreadable == 1 ? " process" : " processes") +
                                " of other users cannot be seen: run as root to check them too"));
    }
    return findings;
}

std::string ModeText(const FileStatus& status) {
    std::string text = status.kind == FileStatus::Kind::CharDevice ? "c" : "-";
    for (int shift = 6; shift >= 0; shift -= 3) {
        const unsigned bits = status.mode >> shift;
        text += (bits & 4) != 0 ? 'r' : '-';
        text += (bits & 2) != 0 ? 'w' : '-';
        text += (bits & 1) != 0 ? 'x' : '-';
    }
    return text;
}

bool Has(const std::vector<unsigned>& groups, unsigned gid) {
    return std::find(groups.begin(), groups.end(), gid) != groups.end();
}

// The kernel's own order: the owner's bits for the owner, the group's for a member, the
// others' for the rest; root passes.
Finding Access(const std::string& device, const FileStatus& status, const SystemView& view) {
    const UserCredentials user = view.User();
    constexpr unsigned kOwnerRw = 0600;
    constexpr unsigned kGroupRw = 0060;
    constexpr unsigned kOtherRw = 0006;
    const std::string group = view.GroupName(status.gid);
    const std::string shown = " (" + ModeText(status) + ", group " + group + ")";
    const bool owner = user.uid == status.uid;
    const bool member = Has(user.groups, status.gid);
    const unsigned needed = owner ? kOwnerRw : member ? kGroupRw : kOtherRw;
    if (user.uid == 0 || (status.mode & needed) == needed) {
        return Ok("you may read and write " + device + shown);
    }
    if (!owner && (status.mode & kGroupRw) == kGroupRw) {
        if (Has(user.accountGroups, status.gid)) {
            return Problem("you were added to the group \"" + group +
                               "\" after this session began, so it does not count yet",
                           "Log out and log in again.");
        }
        return Problem(
            "you may not open " + device + shown + ": you are not in the group \"" + group + "\"",
            "Add yourself to it (sudo usermod -aG " + group +
                " $USER), then log out and log in again.");
    }
    return Problem("you may not open " + device + shown,
                   "Give the device to a group with a udev rule (GROUP=\"dialout\", "
                   "MODE=\"0660\") and add yourself to that group.");
}

// The lock file name of `device`: the path below /dev with '/' as '_' (pts/3 -> pts_3).
std::string LockName(const std::string& device) {
    std::string name = device.rfind("/dev/", 0) == 0 ? device.substr(5) : device;
    std::replace(name.begin(), name.end(), '/', '_');
    return "LCK.." + name;
}

void CheckLockFiles(const std::string& device, const SystemView& view, const ProcessScan& scan,
                    const std::vector<int>& holders, std::vector<Finding>& findings) {
    std::set<std::string> seen;
    for (const char* folder : kLockFolders) {
        const std::string path = std::string(folder) + "/" + LockName(device);
        const std::string real = view.Canonical(path);
        const auto text = view.Read(path);
        if (real.empty() || !text || !seen.insert(real).second) {
            continue;
        }
        const std::string first = Trimmed(text->substr(0, text->find('\n')));
        const auto pid = Positive(first);
        if (!pid) {
            findings.push_back(
                Problem("the lock file " + path + " names no process",
                        "Remove it (sudo rm " + path + ") if no program is using the port."));
        } else if (!view.Stat(std::string(kProc) + "/" + std::to_string(*pid))) {
            // The lock folder is sticky: only the file's owner (or root) may remove it. Qt's
            // serial port removes a stale lock it may remove and takes one it may not for a
            // port in use.
            const auto lock = view.Stat(path);
            const unsigned uid = view.User().uid;
            const std::string what = "the lock file " + path + " is stale: PID " +
                                     std::to_string(*pid) + " no longer runs";
            findings.push_back(uid == 0 || (lock && lock->uid == uid)
                                   ? Info(what + "; vantrel removes it when it opens the port")
                                   : Problem(what, "Remove it (sudo rm " + path + ")."));
        } else if (std::find(holders.begin(), holders.end(), *pid) == holders.end()) {
            findings.push_back(Problem(ProgramText(scan, *pid) + " holds the lock file " + path,
                                       "Close that program, then try again."));
        }
    }
}

bool IsPseudoTerminal(const std::string& device) {
    return device.rfind("/dev/pts/", 0) == 0;
}

void CheckModemManager(const std::string& device, const std::optional<UsbIdentity>& usb,
                       const UdevRecord& udev, const ProcessScan& scan,
                       std::vector<Finding>& findings) {
    const std::string base = device.substr(device.rfind('/') + 1);
    const bool probed = usb || base.rfind("ttyUSB", 0) == 0 || base.rfind("ttyACM", 0) == 0;
    if (!probed || !RunningModemManager(scan)) {
        return;
    }
    for (const char* property : kModemManagerLeaves) {
        const auto set = udev.properties.find(property);
        if (set != udev.properties.end() && set->second == "1") {
            findings.push_back(
                Info("ModemManager is told to leave it alone (" + std::string(property) + ")"));
            return;
        }
    }
    const std::string match = usb ? "ATTRS{idVendor}==\"" + Printable(usb->vendor) +
                                        "\", ATTRS{idProduct}==\"" + Printable(usb->product) +
                                        "\", "
                                  : std::string();
    findings.push_back(
        Problem("ModemManager may probe it with AT commands, which the boot loader takes as input",
                "Set the udev property ID_MM_DEVICE_IGNORE for the adapter (a rule in "
                "/etc/udev/rules.d such as " +
                    match + "ENV{ID_MM_DEVICE_IGNORE}=\"1\"), or stop ModemManager."));
}

void DescribeAdapter(const std::string& device, const std::optional<UsbIdentity>& usb,
                     const std::string& byPath, const SystemView& view,
                     std::vector<Finding>& findings) {
    if (!usb) {
        findings.push_back(Info(IsPseudoTerminal(device)
                                    ? "a pseudo-terminal: no USB identity, no low-latency flag"
                                    : "no USB identity: a built-in port, or one udev has not "
                                      "described"));
        return;
    }
    findings.push_back(Info(
        "USB adapter " + Printable(usb->vendor) + ":" + Printable(usb->product) +
        (usb->serial.empty() ? ", no serial number" : ", serial number " + Printable(usb->serial)) +
        (byPath.empty() ? ", no /dev/serial/by-path name" : ", at " + byPath)));
    const std::string base = device.substr(device.rfind('/') + 1);
    const auto timer = Positive(Trimmed(view.Read(kTtyClass + base + kLatencyTimer).value_or("")));
    if (timer && *timer <= kLowLatencyMs) {
        findings.push_back(Info("low latency is on: the adapter passes received bytes on at once"));
    } else if (timer) {
        findings.push_back(Info("the adapter holds received bytes up to " + std::to_string(*timer) +
                                " ms; vantrel asks the driver for low latency when it opens it"));
    }
}

void TryOpen(const std::string& device, SystemView& view, std::vector<Finding>& findings) {
    const bool clean = std::none_of(findings.begin(), findings.end(),
                                    [](const Finding& f) { return f.kind == Kind::Problem; });
    if (!clean) {
        findings.push_back(Info("not opened: the problems above come first"));
        return;
    }
    const OpenTrial trial = view.TryOpen(device);
    if (!trial.error.empty()) {
        findings.push_back(Problem(trial.error, {}));
        return;
    }
    findings.push_back(Ok("it opens at 38400 baud (DTR and RTS were raised)"));
    if (trial.lowLatency) {
        findings.push_back(Info(*trial.lowLatency
                                    ? "the driver took the request for low latency"
                                    : "the driver refused low latency: replies may come late"));
    }
}

PortReport ExaminePort(const std::string& requested, bool open, SystemView& view,
                       const ProcessScan& scan, const std::map<std::string, std::string>& links) {
    PortReport report{requested, {}};
    auto& findings = report.findings;
    const std::string resolved = view.Resolve(requested);
    if (resolved.empty()) {
        findings.push_back(Problem(requested + " stands for no serial port on this machine",
                                   "Plug in its adapter, or name a port that \"vantrel ports\" "
                                   "lists."));
        return report;
    }
    const std::string device = view.Canonical(resolved);
    if (!device.empty() && device != requested) {
        report.title += "  " + device;
    }
    const auto status = view.Stat(resolved);
    if (device.empty() || !status) {
        findings.push_back(Problem("there is no device " + resolved,
                                   "Check that the cable or USB adapter is plugged in."));
        return report;
    }
    if (status->kind != FileStatus::Kind::CharDevice) {
        findings.push_back(Problem(device + " is no device, so it is no serial port",
                                   "Name a serial device (\"vantrel ports\" lists them)."));
        return report;
    }
    findings.push_back(Access(device, *status, view));
    const auto held = scan.holders.find(device);
    const std::vector<int> holders = held == scan.holders.end() ? std::vector<int>{} : held->second;
    for (int pid : holders) {
        findings.push_back(Problem(ProgramText(scan, pid) + " has it open",
                                   "Close that program (or stop its service), then try again."));
    }
    CheckLockFiles(device, view, scan, holders, findings);
    const UdevRecord udev = ReadUdevRecord(view, status->rdev);
    const auto usb = UsbIdentityOf(udev);
    CheckModemManager(device, usb, udev, scan, findings);
    DescribeAdapter(device, usb, ByPathNameOf(links, device), view, findings);
    if (open) {
        TryOpen(device, view, findings);
    }
    return report;
}

}  // namespace

int DoctorReport::Problems() const {
    const auto count = [](const std::vector<Finding>& findings) {
        return static_cast<int>(
            std::count_if(findings.begin(), findings.end(),
                          [](const Finding& f) { return f.kind == Kind::Problem; }));
    };
    int problems = count(machine);
    for (const PortReport& port : ports) {
        problems += count(port.findings);
    }
    return problems;
}

DoctorReport Examine(const std::vector<std::string>& ports, bool open, SystemView& view) {
    DoctorReport report;
    report.opened = open;
    const ProcessScan scan = ScanProcesses(view);
    report.machine = MachineFindings(view, scan);
    std::vector<std::string> names = ports;
    if (names.empty()) {
        for (const PortEntry& entry : view.Ports()) {
            names.push_back(entry.name);
        }
    }
    if (names.empty()) {
        report.machine.push_back(Problem("no serial ports found",
                                         "Plug in the adapter; \"sudo dmesg\" shows whether the "
                                         "system saw it."));
    }
    const auto links = ByPathLinks(view);
    for (const std::string& name : names) {
        report.ports.push_back(ExaminePort(name, open, view, scan, links));
    }
    return report;
}

std::string FormatDoctorReport(const DoctorReport& report) {
    std::string text;
    const auto add = [&text](const Finding& finding) {
        static constexpr const char* kLabels[] = {"ok       ", "info     ", "PROBLEM  "};
        text += "  " + std::string(kLabels[static_cast<int>(finding.kind)]) + finding.what + "\n";
        if (!finding.fix.empty()) {
            text += "           Fix: " + finding.fix + "\n";
        }
    };
    if (!report.machine.empty()) {
        text += "This machine\n";
        std::for_each(report.machine.begin(), report.machine.end(), add);
    }
    for (const PortReport& port : report.ports) {
        text += Printable(port.title) + "\n";
        std::for_each(port.findings.begin(), port.findings.end(), add);
    }
    const int problems = report.Problems();
    if (problems == 0) {
        text += report.opened ? "No problems found.\n"
                              : "No problems found (no port was opened; --open tries that too).\n";
    } else {
        text += std::to_string(problems) + (problems == 1 ? " problem" : " problems") + " found.\n";
    }
    return text;
}

int RunDoctor(const std::vector<std::string>& ports, bool open, SystemView& view, std::FILE* out) {
    const DoctorReport report = Examine(ports, open, view);
    std::fputs(FormatDoctorReport(report).c_str(), out);
    return report.Problems() == 0 ? 0 : 1;
}

}  // namespace vantrel::cli
