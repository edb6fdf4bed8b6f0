#include "trace_file.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>

#include "trace_limits.h"

namespace vantrel {

namespace {

std::string Quoted(const std::string& path) {
    return "\"" + path + "\"";
}

// Hands all of `bytes` to the system; the system's words when it refuses.
std::string WriteAll(int fd, std::string_view bytes) {
    std::size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::write(fd, bytes.data() + done, bytes.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return n < 0 ? std::strerror(errno) : "nothing was written";
        }
        done += static_cast<std::size_t>(n);
    }
    return {};
}

std::string SafePortName(const std::string& port) {
    std::string_view name = port;
    constexpr std::string_view kDevices = "/dev/";
    if (name.substr(0, kDevices.size()) == kDevices) {
        name.remove_prefix(kDevices.size());
    }
    while (!name.empty() && name.front() == '/') {
        name.remove_prefix(1);
    }
    std::string safe;
    for (const char c : name) {
        const bool plain = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') ||
                           (c >= '0' && c <= '9') || c == '.' || c == '_' || c == '-';
        safe.push_back(plain ? c : '_');
    }
    return safe.empty() ? "port" : safe;
}

}  // namespace

TraceFile::~TraceFile() {
    Settle();
    if (m_fd >= 0) {
        ::close(m_fd);
    }
}

bool TraceFile::Open(const std::string& path) {
    m_path = path;
    // Opening a serial device raises its modem lines, which resets many instruments: a
    // mistyped trace path must not touch a port nobody chose.
    struct stat info{};
    if (::stat(path.c_str(), &info) == 0 && (S_ISCHR(info.st_mode) || S_ISBLK(info.st_mode))) {
        m_error = "Cannot write the trace to " + Quoted(path) + ": it is a device, not a file";
        return false;
    }
    m_fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC | O_NOCTTY, 0644);
    if (m_fd < 0) {
        m_error = "Cannot write the trace to " + Quoted(path) + ": " + std::strerror(errno);
        return false;
    }
    m_error.clear();
    return true;
}

void TraceFile::Begin(std::string_view header) {
    Append(header);
    Settle();
}

void TraceFile::Append(std::string_view line) {
    if (m_fd < 0 || !m_error.empty()) {
        return;
    }
    m_held.append(line);
    m_held.push_back('\n');
    const auto held = std::chrono::steady_clock::now() - m_lastWrite;
    if (m_held.size() >= trace_limits::kFileHoldBytes ||
        held >= std::chrono::microseconds(trace_limits::kFileHoldUs)) {
        Settle();
    }
}

void TraceFile::Settle() {
    m_lastWrite = std::chrono::steady_clock::now();
    if (m_fd < 0 || !m_error.empty() || m_held.empty()) {
        return;
    }
    if (const std::string why = WriteAll(m_fd, m_held); !why.empty()) {
        m_error = "Cannot write the trace to " + Quoted(m_path) + ": " + why;
    }
    m_held.clear();
}

std::string TraceFolderProblem(const std::string& folder) {
    struct stat info{};
    if (folder.empty() || ::stat(folder.c_str(), &info) != 0) {
        return "The trace folder " + Quoted(folder) + " does not exist";
    }
    if (!S_ISDIR(info.st_mode)) {
        return "The trace folder " + Quoted(folder) + " is not a folder";
    }
    std::string probe = folder + "/.vantrel-trace-XXXXXX";
    const int fd = ::mkstemp(probe.data());
    if (fd < 0) {
        return "Cannot write trace files in " + Quoted(folder) + ": " + std::strerror(errno);
    }
    ::close(fd);
    ::unlink(probe.c_str());
    return {};
}

std::string TraceFileName(std::chrono::system_clock::time_point when, const std::string& port) {
    const std::time_t seconds = std::chrono::system_clock::to_time_t(when);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(when.time_since_epoch()).count() %
        1000;
    std::tm utc{};
    ::gmtime_r(&seconds, &utc);
    char text[40];
    const std::size_t n = std::strftime(text, sizeof text, "%Y%m%dT%H%M%S", &utc);
    std::snprintf(text + n, sizeof text - n, ".%03dZ-", static_cast<int>(ms));
    return text + SafePortName(port) + ".trace";
}

TraceFileWritten WriteTraceSection(const TraceRing& ring, const std::string& folder,
                                   const std::string& port) {
    const std::string name = TraceFileName(std::chrono::system_clock::now(), port);
    const std::string stem = folder + "/" + name.substr(0, name.size() - 6);  // no ".trace"
    TraceFileWritten written;
    int fd = -1;
    for (int attempt = 1; fd < 0 && attempt <= trace_limits::kTraceFileNameTries; ++attempt) {
        written.path = stem + (attempt == 1 ? "" : "-" + std::to_string(attempt)) + ".trace";
        fd = ::open(written.path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC | O_NOCTTY,
                    0644);
        if (fd < 0 && errno != EEXIST) {
            break;
        }
    }
    if (fd < 0) {
        written.error = "Cannot write the trace to " + Quoted(written.path) + ": " +
                        std::strerror(errno);
        return written;
    }
    const TraceRing::Section section = ring.SinceMark();
    std::string head = section.header + "\n";
    if (section.droppedLines > 0) {
        head += "# " + std::to_string(section.droppedLines) +
                " earlier lines of this instrument were dropped: the ring keeps the newest " +
                std::to_string(ring.Capacity() / 1024) + " KiB\n";
    }
    std::string why = WriteAll(fd, head);
    if (why.empty()) {
        why = WriteAll(fd, section.lines);
    }
    if (::close(fd) != 0 && why.empty()) {
        why = std::strerror(errno);
    }
    if (!why.empty()) {
        // Half a trace would pass for the whole of it.
        ::unlink(written.path.c_str());
        written.error = "Cannot write the trace to " + Quoted(written.path) + ": " + why;
    }
    return written;
}

}  // namespace vantrel
