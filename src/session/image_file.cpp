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
constexpr const char* kEmpty = "the file is empty";

ImageIdentity IdentityOf(const struct stat& info) {
    return ImageIdentity{static_cast<std::uint64_t>(info.st_dev),
                         static_cast<std::uint64_t>(info.st_ino),
                         static_cast<std::int64_t>(info.st_size),
                         static_cast<std::int64_t>(info.st_mtim.tv_sec) * 1000000000 +
                             info.st_mtim.tv_nsec,
                         static_cast<std::int64_t>(info.st_ctim.tv_sec) * 1000000000 +
                             info.st_ctim.tv_nsec};
}

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
    image.identity = IdentityOf(info);
    return image;
}

std::optional<ImageIdentity> IdentityOfPath(const std::string& path, std::string& why) {
    struct stat info {};
    if (::stat(path.c_str(), &info) != 0) {
        why = std::strerror(errno);
        return std::nullopt;
    }
    if (!S_ISREG(info.st_mode)) {
        why = kNotRegular;
        return std::nullopt;
    }
    return IdentityOf(info);
}

std::optional<ImageIdentity> IdentityOfDescriptor(int fd) {
    struct stat info {};
    if (::fstat(fd, &info) != 0) {
        return std::nullopt;
    }
    return IdentityOf(info);
}

std::string UnusableTarget(const std::string& path) {
    const ImageFile image = OpenImageFile(path);
    if (!image.file) {
        return image.error;
    }
    return image.size == 0 ? kEmpty : std::string();
}

}  // namespace vantrel
