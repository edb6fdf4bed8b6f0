#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "serial/port_map.h"

namespace vantrel::cli {

// What stat(2) tells of a path, links followed.
struct FileStatus {
    enum class Kind { CharDevice, Regular, Directory, Other };
    Kind kind = Kind::Other;
    unsigned mode = 0;       // permission bits (07777)
    unsigned uid = 0;        // owner
    unsigned gid = 0;        // group
    std::uint64_t rdev = 0;  // a device node's device number (makedev), otherwise 0
};

// Who runs the program.
struct UserCredentials {
    unsigned uid = 0;
    std::string name;
    // The groups of this process (its primary group included): what open() checks.
    std::vector<unsigned> groups;
    // The account's groups in the group database: what the next log-in will have.
    std::vector<unsigned> accountGroups;
};

// What opening a port as vantrel does found, and what the driver then said of low latency.
struct OpenTrial {
    std::string error;               // empty: it opened (and was closed again)
    std::optional<bool> lowLatency;  // nothing: the driver has no such flag
};

// The machine as the line's tools read it: files, devices, the user, the processes (through
// /proc), sysfs, the udev database and the port list. Everything but TryOpen only reads, and
// nothing opens a serial device: an open raises its DTR and RTS, which resets many
// instruments. The tests give the tools a made-up machine through this interface; the real
// one is RealSystemView (real_system_view.h).
//
// Thread contract: a view is used by one thread at a time.
class SystemView {
public:
    virtual ~SystemView() = default;

    // stat(2), following links; nothing when the path leads nowhere.
    virtual std::optional<FileStatus> Stat(const std::string& path) const = 0;
    // The absolute path with every link resolved; empty when some part of it is missing.
    virtual std::string Canonical(const std::string& path) const = 0;
    // The target of the symbolic link `path`, as written in the link; empty for no link.
    virtual std::string LinkTarget(const std::string& path) const = 0;
    // The names in `folder` (without "." and ".."); nothing when it cannot be read.
    virtual std::optional<std::vector<std::string>> List(const std::string& folder) const = 0;
    // The contents of a small text file (sysfs, udev data, /proc, lock files); nothing when
    // it cannot be read.
    virtual std::optional<std::string> Read(const std::string& path) const = 0;

    virtual UserCredentials User() const = 0;
    // The name of group `gid`, or its number as text.
    virtual std::string GroupName(unsigned gid) const = 0;
    // This process, which the process scan leaves out.
    virtual int OwnPid() const = 0;

    // The port list (COM names and devices), opening nothing.
    virtual std::vector<PortEntry> Ports() const = 0;
    // The device a COM name stands for now, or a device path with its links resolved;
    // empty for a COM name that stands for nothing. Opens nothing.
    virtual std::string Resolve(const std::string& nameOrDevice) const = 0;

    // Opens `device` as vantrel does, then closes it: raises DTR and RTS.
    virtual OpenTrial TryOpen(const std::string& device) = 0;
};

}  // namespace vantrel::cli
