#include "port_memory.h"

#include "port_map.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>

namespace vantrel {
namespace {

constexpr const char* kFileName = "BootLoader.ini";

// White space between tokens: what the C library's isspace accepts in the "C" locale.
bool IsSeparator(int c) {
    return c == ' ' || c == '\t' || c == '\n' || c == '\r' || c == '\v' || c == '\f';
}

char FoldCase(char c) {
    return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 'a' + 'A') : c;
}

// True when `entry` begins with the token whose first `prefix.size()` bytes are `prefix` and
// whose full length is `tokenLength`, letters compared without regard to case.
bool BeginsWith(const std::string& entry, const std::string& prefix, std::size_t tokenLength) {
    if (tokenLength > entry.size()) {
        return false;
    }
    for (std::size_t i = 0; i < prefix.size(); ++i) {
        if (FoldCase(entry[i]) != FoldCase(prefix[i])) {
            return false;
        }
    }
    return true;
}

int FindEntry(const std::vector<std::string>& entries, const std::string& prefix,
              std::size_t tokenLength) {
    for (std::size_t i = 0; i < entries.size(); ++i) {
        if (BeginsWith(entries[i], prefix, tokenLength)) {
            return static_cast<int>(i);
        }
    }
    return -1;
}

std::size_t LongestEntry(const std::vector<std::string>& entries) {
    std::size_t longest = 0;
    for (const auto& e : entries) {
        longest = e.size() > longest ? e.size() : longest;
    }
    return longest;
}

// Writes all of `text` to `fd`, retrying short writes. False on any failure.
bool WriteAll(int fd, const std::string& text) {
    std::size_t done = 0;
    while (done < text.size()) {
        const ssize_t n = ::write(fd, text.data() + done, text.size() - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<std::size_t>(n);
    }
    return true;
}

}  // namespace

std::string PortMemoryPath() {
    const std::string folder = ConfigFolder();
    return folder.empty() ? folder : folder + "/" + kFileName;
}

int LoadPortMemory(const std::string& path, const std::vector<std::string>& entries, int selected) {
    std::error_code ec;
    // Only a regular file: a FIFO or a device put in its place would block the start-up or
    // never end.
    if (!std::filesystem::is_regular_file(path, ec)) {
        return selected;
    }
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (file == nullptr) {
        return selected;
    }
    // A token longer than every entry begins no entry, so only its first bytes and its length
    // matter: a token of any size costs bounded memory.
    const std::size_t keep = LongestEntry(entries);
    std::string prefix;
    std::size_t tokenLength = 0;
    int result = selected;
    for (;;) {
        const int c = std::fgetc(file);
        if (c == EOF || IsSeparator(c)) {
            if (tokenLength > 0) {
                result = FindEntry(entries, prefix, tokenLength);
                prefix.clear();
                tokenLength = 0;
            }
            if (c == EOF) {
                break;
            }
            continue;
        }
        if (prefix.size() < keep) {
            prefix.push_back(static_cast<char>(c));
        }
        ++tokenLength;
    }
    std::fclose(file);
    return result;
}

bool SavePortMemory(const std::string& path, const std::string& selectedText) {
    namespace fs = std::filesystem;
    const fs::path target(path);
    const fs::path folder = target.parent_path();
    std::error_code ec;
    if (!folder.empty()) {
        fs::create_directories(folder, ec);
    }
    // The new content goes to a temporary file in the same folder and replaces the old file
    // in one rename: a crash or a full disk leaves either the old file or the new one.
    std::string temp = (folder / (target.filename().string() + ".XXXXXX")).string();
    const int fd = ::mkstemp(temp.data());
    if (fd < 0) {
        return false;
    }
    ::fchmod(fd, 0644);
    const bool written = WriteAll(fd, selectedText + "\n") && ::fsync(fd) == 0;
    const bool closed = ::close(fd) == 0;
    if (!written || !closed || std::rename(temp.c_str(), path.c_str()) != 0) {
        std::remove(temp.c_str());
        return false;
    }
    return true;
}

}  // namespace vantrel
