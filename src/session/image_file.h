#pragma once

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

namespace vantrel {

struct FileCloser {
    void operator()(std::FILE* file) const { std::fclose(file); }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// A target file opened for reading as raw bytes, or why it cannot be one.
struct ImageFile {
    FilePtr file;            // null when the file cannot be used
    std::int64_t size = -1;  // its length in bytes, from the open descriptor
    std::string error;       // why not, in the system's words (or "not a regular file")
};

// Opens `path` as an image. Only a regular file is one: a FIFO, a device, a socket or a
// folder is refused, so that no path can hold the program in open() or feed it without end.
// Nothing that is no regular file is opened at all (a serial device's open would raise its
// modem lines); the open itself does not block, and the kind and size are then taken from
// the very descriptor that is read, so the file cannot be swapped between check and read.
ImageFile OpenImageFile(const std::string& path);

}  // namespace vantrel
