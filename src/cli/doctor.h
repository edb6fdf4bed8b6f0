#pragma once

#include <cstdio>
#include <string>
#include <vector>

#include "system_view.h"

namespace vantrel::cli {

// Thread contract: the doctor keeps no state; it uses the view passed in, on the calling
// thread, only during the call.

// One thing `vantrel doctor` found.
struct Finding {
    enum class Kind {
        Ok,       // a check passed
        Info,     // worth knowing, needs no action (a pseudo-terminal has no USB identity)
        Problem,  // stands between the user and a working line; `fix` says what to do
    };
    Kind kind = Kind::Info;
    std::string what;  // one sentence, without the final full stop
    std::string fix;   // one sentence (problems only; empty when `what` says it already)
};

// What the doctor found on one port.
struct PortReport {
    std::string title;  // the name asked for, and the device it stands for
    std::vector<Finding> findings;
};

// What the doctor found: first what concerns the whole machine (programs that take serial
// ports, no port at all), then each port.
struct DoctorReport {
    std::vector<Finding> machine;
    std::vector<PortReport> ports;
    bool opened = false;  // --open: ports without problems were opened once
    int Problems() const;
};

// Examines `ports` (COM names or device paths), or every listed port when none is named:
// the device, the user's right to open it, other programs holding it or its lock file,
// ModemManager and brltty, the adapter's USB identity, by-path name and low latency. Opens a
// port only when `open` is set, and then only one without problems (an open raises DTR and
// RTS, which resets many instruments).
DoctorReport Examine(const std::vector<std::string>& ports, bool open, SystemView& view);

// The report as text, each problem with its fix, and a last line counting the problems.
std::string FormatDoctorReport(const DoctorReport& report);

// `vantrel doctor [--port P]... [--open]`: prints the report to `out`; returns 0 when nothing
// is wrong, 1 when something is.
int RunDoctor(const std::vector<std::string>& ports, bool open, SystemView& view, std::FILE* out);

}  // namespace vantrel::cli
