// The update record's file and clock, without Qt: the station's library needs them; the JSON
// line itself is built in update_record.cpp.

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "update_record.h"

namespace vantrel::cli {

namespace {

std::string SystemError(const char* what) {
    return std::string(what) + ": " + std::strerror(errno);
}

// Closes the descriptor (which also drops the lock) on every way out.
struct FileGuard {
    int fd;
    ~FileGuard() {
        if (fd >= 0) {
            ::close(fd);
        }
    }
};

}  // namespace

std::string PrepareRecordFile(const std::string& path) {
    const FileGuard file{::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644)};
    return file.fd < 0 ? SystemError("cannot open") : std::string();
}

std::string AppendRecordLine(const std::string& path, const std::string& line,
                             const WriteFunction& write) {
    const FileGuard file{::open(path.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC, 0644)};
    if (file.fd < 0) {
        return SystemError("cannot open");
    }
    if (::flock(file.fd, LOCK_EX) != 0) {
        return SystemError("cannot lock");
    }
    struct stat info {};
    if (::fstat(file.fd, &info) != 0) {
        return SystemError("cannot read the size");
    }
    const off_t before = info.st_size;

    std::string text = line;
    if (before > 0) {
        char last = '\n';
        const FileGuard reader{::open(path.c_str(), O_RDONLY | O_CLOEXEC)};
        if (reader.fd >= 0 && ::pread(reader.fd, &last, 1, before - 1) == 1 && last != '\n') {
            text.insert(text.begin(), '\n');
        }
    }

    ssize_t written = -1;
    do {
        written = write ? write(file.fd, text.data(), text.size())
                        : ::write(file.fd, text.data(), text.size());
    } while (written < 0 && errno == EINTR);
    std::string error;
    if (written < 0) {
        error = SystemError("cannot write");
    } else if (static_cast<std::size_t>(written) != text.size()) {
        error = "cannot write: only " + std::to_string(written) + " of " +
                std::to_string(text.size()) + " bytes were written";
    } else if (::fsync(file.fd) != 0) {
        error = SystemError("cannot flush to disk");
    }
    // A write that failed outright left nothing behind (and a device such as a full disk's
    // stand-in cannot be cut back at all).
    if (!error.empty() && written > 0 && ::ftruncate(file.fd, before) != 0) {
        error += "; " + SystemError("cannot remove the part written");
    }
    return error;
}

}  // namespace vantrel::cli
