#include "image_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <utility>

namespace vantrel {

namespace {

constexpr const char* kNotRegular = "not a regular file";

ImageFile Refused(std::string why) {
    ImageFile image;
    image.error = std::move(why);
    return image;
}

}  // namespace

ImageFile OpenImageFile(const std::string& path) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        return Refused(std::strerror(errno));
    }
    if (!S_ISREG(info.st_mode)) {
        return Refused(kNotRegular);
    }
    // Non-blocking: should the path have become a FIFO since, the open returns at once.
    const int fd = ::open(path.c_str(), O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC);
    if (fd < 0) {
        return Refused(std::strerror(errno));
    }
    const bool described = ::fstat(fd, &info) == 0;
    const int error = errno;
    if (!described || !S_ISREG(info.st_mode)) {
        ::close(fd);
        return Refused(described ? kNotRegular : std::strerror(error));
    }
    ImageFile image;
    image.file.reset(::fdopen(fd, "rb"));
    if (!image.file) {
        const int failure = errno;
        ::close(fd);
        return Refused(std::strerror(failure));
    }
    image.size = static_cast<std::int64_t>(info.st_size);
    return image;
}

}  // namespace vantrel
