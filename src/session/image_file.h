#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <string>

namespace vantrel {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// What tells one state of a file's contents from another without reading them: the same
// file (device and inode), of the same size, last written and last changed at the same
// moments. Copying another image over it, truncating it or touching it all change it.
struct ImageIdentity {
    std::uint64_t device = 0;
    std::uint64_t inode = 0;
    std::int64_t size = 0;
    std::int64_t modifiedNs = 0;
    std::int64_t changedNs = 0;
    bool operator==(const ImageIdentity&) const = default;
};

// A target file opened for reading as raw bytes, or why it cannot be one.
struct ImageFile {
    FilePtr file;            // null when the file cannot be used
    std::int64_t size = -1;  // its length in bytes, from the open descriptor
    ImageIdentity identity;  // of the open descriptor
    std::string error;       // why not, in the system's words (or "not a regular file")
};

// Opens `path` as an image. Only a regular file is one: a FIFO, a device, a socket or a
// folder is refused, so that no path can hold the program in open() or feed it without end.
// Nothing that is no regular file is opened at all (a serial device's open would raise its
// modem lines); the open itself does not block, and the kind and size are then taken from
// the very descriptor that is read, so the file cannot be swapped between check and read.
ImageFile OpenImageFile(const std::string& path);

// The identity of the regular file at `path`, from stat() alone (nothing is opened); nothing,
// with `why` in the system's words (or "not a regular file"), when there is none.
std::optional<ImageIdentity> IdentityOfPath(const std::string& path, std::string& why);

// The identity of the open descriptor `fd`; nothing when fstat() fails.
std::optional<ImageIdentity> IdentityOfDescriptor(int fd);

// Why the file at `path` cannot be a target file at all, before any menu command is sent:
// missing, unreadable, not a regular file, or empty (an empty image would have the user area
// erased for nothing, and the transfer of no block would still end "completed"). Empty when
// it can be one.
std::string UnusableTarget(const std::string& path);

}  // namespace vantrel
