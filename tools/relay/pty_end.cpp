#include "pty_end.h"

#include <fcntl.h>
#include <termios.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <system_error>

namespace vantrel::relay {

namespace {

std::string SystemError(const std::string& what) {
    return what + ": " + std::strerror(errno);
}

bool MakeRaw(int fd, std::string& error) {
    termios settings{};
    if (tcgetattr(fd, &settings) != 0) {
        error = SystemError("tcgetattr");
        return false;
    }
    cfmakeraw(&settings);
    cfsetispeed(&settings, B38400);
    cfsetospeed(&settings, B38400);
    if (tcsetattr(fd, TCSANOW, &settings) != 0) {
        error = SystemError("tcsetattr");
        return false;
    }
    return true;
}

bool SetNonBlocking(int fd, std::string& error) {
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0 || fcntl(fd, F_SETFL, flags | O_NONBLOCK) != 0) {
        error = SystemError("fcntl");
        return false;
    }
    return true;
}

}  // namespace

bool OpenPty(LineEnd& end, std::string& error) {
    end = LineEnd{};
    end.fd = posix_openpt(O_RDWR | O_NOCTTY);
    if (end.fd < 0) {
        error = SystemError("posix_openpt");
        return false;
    }
    char name[128] = {};
    if (grantpt(end.fd) != 0 || unlockpt(end.fd) != 0 ||
        ptsname_r(end.fd, name, sizeof name) != 0) {
        error = SystemError("pty set-up");
        CloseEnd(end);
        return false;
    }
    end.path = name;
    end.heldSlave = open(name, O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (end.heldSlave < 0) {
        error = SystemError("open " + end.path);
        CloseEnd(end);
        return false;
    }
    if (!MakeRaw(end.heldSlave, error) || !SetNonBlocking(end.fd, error)) {
        CloseEnd(end);
        return false;
    }
    return true;
}

bool OpenDevice(const std::string& device, LineEnd& end, std::string& error) {
    end = LineEnd{};
    end.path = device;
    end.fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
    if (end.fd < 0) {
        error = SystemError("open " + device);
        return false;
    }
    if (isatty(end.fd) && !MakeRaw(end.fd, error)) {
        CloseEnd(end);
        return false;
    }
    return true;
}

void CloseEnd(LineEnd& end) {
    if (end.fd >= 0) {
        close(end.fd);
    }
    if (end.heldSlave >= 0) {
        close(end.heldSlave);
    }
    end.fd = -1;
    end.heldSlave = -1;
}

bool PlaceLink(const std::string& link, const std::string& target, std::string& error) {
    const std::string temporary = link + ".relay-" + std::to_string(getpid());
    std::error_code ec;
    std::filesystem::remove(temporary, ec);
    std::filesystem::create_symlink(target, temporary, ec);
    if (!ec) {
        std::filesystem::rename(temporary, link, ec);
    }
    if (ec) {
        error = "cannot link " + link + " to " + target + ": " + ec.message();
        std::filesystem::remove(temporary, ec);
        return false;
    }
    return true;
}

std::string AliasFolder(std::string& error) {
    std::filesystem::path base;
    if (const char* xdg = std::getenv("XDG_CONFIG_HOME"); xdg != nullptr && *xdg != '\0') {
        base = xdg;
    } else if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0') {
        base = std::filesystem::path(home) / ".config";
    } else {
        error = "neither XDG_CONFIG_HOME nor HOME is set";
        return {};
    }
    const std::filesystem::path folder = base / "vantrel" / "ports";
    std::error_code ec;
    std::filesystem::create_directories(folder, ec);
    if (ec) {
        error = "cannot create " + folder.string() + ": " + ec.message();
        return {};
    }
    return folder.string();
}

}  // namespace vantrel::relay
