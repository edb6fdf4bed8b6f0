#pragma once

#include <chrono>
#include <string>
#include <string_view>

#include "trace_ring.h"
#include "wire_trace.h"

namespace vantrel {

// A trace written to a file as it goes (`--trace FILE`). Lines are handed to the system at
// every event of the port or the session, whenever the line falls quiet, and otherwise at
// least every trace_limits::kFileHoldUs: a program that hangs leaves its trace up to its last
// event, and one that is killed loses at most its last 100 ms.
//
// Thread contract: as every sink, it belongs to the thread of its trace.
class TraceFile final : public TraceSink {
public:
    TraceFile() = default;
    ~TraceFile() override;
    TraceFile(const TraceFile&) = delete;
    TraceFile& operator=(const TraceFile&) = delete;

    // Creates `path`, or empties the file there. False when it cannot, or when `path` is a
    // device (never opened: a serial port would see its modem lines raised); ErrorText() says
    // why.
    bool Open(const std::string& path);

    void Begin(std::string_view header) override;
    void Append(std::string_view line) override;
    void Settle() override;

    // Why the file could not be opened or written ("Cannot write the trace to "PATH": No
    // space left on device"); empty while all is well. After a failed write nothing more is
    // written: the session goes on without its trace.
    const std::string& ErrorText() const { return m_error; }

private:
    int m_fd = -1;
    std::string m_path;
    std::string m_error;
    std::string m_held;  // lines not yet handed to the system, each with its line feed
    std::chrono::steady_clock::time_point m_lastWrite = std::chrono::steady_clock::now();
};

// Why `folder` cannot take trace files, in the operator's words ("... does not exist", "...
// Permission denied"); empty when it can. A file of its own is made there and removed again,
// so that the answer holds for this user whatever the permission bits say.
// May be called from any thread.
std::string TraceFolderProblem(const std::string& folder);

// The name of a failed instrument's trace file, "<UTC time>-<port>.trace", for example
// "20260105T102203.123Z-COM7.trace". A device path stands without "/dev/", and every byte but
// letters, digits, '.', '_' and '-' becomes '_', so that the name needs no quoting in a shell
// ("/dev/serial/by-id/usb-FTDI" gives "serial_by-id_usb-FTDI"). May be called from any thread.
std::string TraceFileName(std::chrono::system_clock::time_point when, const std::string& port);

// Where an instrument's trace went: the file's path, or why it could not be written.
struct TraceFileWritten {
    std::string path;
    std::string error;
    bool ok() const { return error.empty(); }
};

// Writes the instrument's part of `ring` (the lines since its last Mark) to a new file in
// `folder` named by TraceFileName for now and `port`, never over an existing file: the
// trace's header, a line saying how many of the instrument's lines the ring had to drop, and
// the lines. Call it on the ring's thread.
TraceFileWritten WriteTraceSection(const TraceRing& ring, const std::string& folder,
                                   const std::string& port);

}  // namespace vantrel
