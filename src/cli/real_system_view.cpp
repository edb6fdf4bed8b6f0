#include "real_system_view.h"

#include <dirent.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "serial/qt_serial_port.h"
#include "session/image_file.h"

namespace vantrel::cli {

namespace {

// The most of a file Read takes: sysfs attributes, udev records, /proc entries and lock
// files are far smaller; a larger file is no such thing.
constexpr std::size_t kReadLimitBytes = 64 * 1024;
// The most groups an account is looked up with (NGROUPS_MAX of Linux).
constexpr int kMaxGroups = 65536;

}  // namespace

std::optional<FileStatus> RealSystemView::Stat(const std::string& path) const {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return std::nullopt;
    }
    FileStatus status;
    status.kind = S_ISCHR(info.st_mode)   ? FileStatus::Kind::CharDevice
                  : S_ISREG(info.st_mode) ? FileStatus::Kind::Regular
                  : S_ISDIR(info.st_mode) ? FileStatus::Kind::Directory
                                          : FileStatus::Kind::Other;
    status.mode = info.st_mode & 07777;
    status.uid = info.st_uid;
    status.gid = info.st_gid;
    status.rdev = S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode) ? info.st_rdev : 0;
    return status;
}

std::string RealSystemView::Canonical(const std::string& path) const {
    char* real = ::realpath(path.c_str(), nullptr);
    const std::string text = real != nullptr ? std::string(real) : std::string();
    std::free(real);
    return text;
}

std::string RealSystemView::LinkTarget(const std::string& path) const {
    char target[PATH_MAX];
    const ssize_t n = ::readlink(path.c_str(), target, sizeof target);
    return n > 0 ? std::string(target, static_cast<std::size_t>(n)) : std::string();
}

std::optional<std::vector<std::string>> RealSystemView::List(const std::string& folder) const {
    struct DirCloser {
        void operator()(DIR* dir) const { ::closedir(dir); }
    };
    const std::unique_ptr<DIR, DirCloser> dir(::opendir(folder.c_str()));
    if (!dir) {
        return std::nullopt;
    }
    std::vector<std::string> names;
    while (const dirent* entry = ::readdir(dir.get())) {
        const std::string name = entry->d_name;
        if (name != "." && name != "..") {
            names.push_back(name);
        }
    }
    return names;
}

std::optional<std::string> RealSystemView::Read(const std::string& path) const {
    // Only regular files (sysfs and /proc report theirs as such): a device or a FIFO is
    // never opened.
    const auto status = Stat(path);
    if (!status || status->kind != FileStatus::Kind::Regular) {
        return std::nullopt;
    }
    const FilePtr file(std::fopen(path.c_str(), "re"));
    if (!file) {
        return std::nullopt;
    }
    std::string text(kReadLimitBytes, '\0');
    text.resize(std::fread(text.data(), 1, text.size(), file.get()));
    if (std::ferror(file.get()) != 0) {
        return std::nullopt;
    }
    return text;
}

UserCredentials RealSystemView::User() const {
    UserCredentials user;
    user.uid = ::geteuid();
    const int count = ::getgroups(0, nullptr);
    std::vector<gid_t> groups(static_cast<std::size_t>(count > 0 ? count : 0));
    const int got = ::getgroups(count, groups.data());
    groups.resize(static_cast<std::size_t>(got > 0 ? got : 0));
    groups.push_back(::getegid());
    user.groups.assign(groups.begin(), groups.end());
    if (const passwd* account = ::getpwuid(user.uid)) {
        user.name = account->pw_name;
        int size = kMaxGroups;
        std::vector<gid_t> listed(static_cast<std::size_t>(size));
        if (::getgrouplist(account->pw_name, account->pw_gid, listed.data(), &size) >= 0) {
            user.accountGroups.assign(listed.begin(), listed.begin() + size);
        }
    }
    return user;
}

std::string RealSystemView::GroupName(unsigned gid) const {
    const group* entry = ::getgrgid(gid);
    return entry != nullptr ? std::string(entry->gr_name) : std::to_string(gid);
}

int RealSystemView::OwnPid() const {
    return ::getpid();
}

std::vector<PortEntry> RealSystemView::Ports() const {
    return ListPorts();
}

std::string RealSystemView::Resolve(const std::string& nameOrDevice) const {
    return ResolvePortName(nameOrDevice);
}

OpenTrial RealSystemView::TryOpen(const std::string& device) {
    QtSerialPort port;
    OpenTrial trial;
    if (!port.Open(device)) {
        trial.error = port.ErrorText();
        return trial;
    }
    trial.lowLatency = port.LowLatency();
    port.Close();
    return trial;
}

}  // namespace vantrel::cli
