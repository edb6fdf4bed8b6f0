// The remembered-port reader fed arbitrary files against a port list made by the input:
// the selection stays in range, a file without tokens changes nothing, and a port saved and
// read back selects its own entry.

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "fuzz_peer.h"
#include "serial/port_memory.h"

using namespace vantrel;
using namespace vantrel::fuzz;

namespace {

const std::string& TempPath() {
    static const ScratchFile file("BootLoader.ini");
    return file.Path();
}

void WriteFile(const std::string& path, const std::vector<std::uint8_t>& bytes) {
    std::FILE* file = std::fopen(path.c_str(), "wb");
    Require(file != nullptr, "cannot write the scratch file");
    if (!bytes.empty()) {
        std::fwrite(bytes.data(), 1, bytes.size(), file);
    }
    std::fclose(file);
}

bool HasToken(const std::vector<std::uint8_t>& bytes) {
    return std::any_of(bytes.begin(), bytes.end(), [](std::uint8_t b) {
        return !(b == ' ' || b == '\t' || b == '\n' || b == '\r' || b == '\v' || b == '\f');
    });
}

// The names COM1..COM99 whose bits are set, in the port list's order: text order, letters
// without regard to case (COM10 before COM3).
std::vector<std::string> PortList(Script& script) {
    std::vector<std::string> names;
    for (int n = 1; n <= 99; ++n) {
        if (script.Byte() & 0x01) {
            names.push_back("COM" + std::to_string(n));
        }
        if (names.size() >= 12) {
            break;
        }
    }
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) {
        return 0;
    }
    // The first byte says how many of the next bytes choose the ports.
    const std::size_t listBytes = std::min<std::size_t>(data[0] % 100, size - 1);
    Script listScript(data + 1, listBytes);
    const std::vector<std::string> entries = PortList(listScript);
    const std::vector<std::uint8_t> file(data + 1 + listBytes, data + size);
    const int before = entries.empty() ? -1 : 0;

    WriteFile(TempPath(), file);
    const int selected = LoadPortMemory(TempPath(), entries, before);
    Require(selected >= -1 && selected < static_cast<int>(entries.size()),
            "selection out of the list");
    if (!HasToken(file)) {
        Require(selected == before, "a file without tokens changed the selection");
    }

    // Saving the selection and reading it back must select the same entry.
    const std::string text = selected >= 0 ? entries[static_cast<std::size_t>(selected)] : "";
    if (SavePortMemory(TempPath(), text) && selected >= 0) {
        Require(LoadPortMemory(TempPath(), entries, -1) == selected,
                "a saved port does not select its own entry");
    }
    unlink(TempPath().c_str());
    return 0;
}
