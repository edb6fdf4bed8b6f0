#pragma once

#include <cstdio>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "image_digest.h"
#include "options.h"
#include "serial/clock.h"
#include "serial/port.h"
#include "serial/port_map.h"
#include "serial/stop_signal.h"
#include "system_view.h"

namespace vantrel::cli {

// What `vantrel` needs of the machine: the program hands it the real port and the system's
// port list, a test a fake port on a simulated clock.
//
// Thread contract: RunConsoleCommand and everything here belong to the thread that calls it;
// only `cancel` is raised from elsewhere (the signal handler), and `signalStatus` may be asked
// on this thread at any time.
struct ConsoleSystem {
    Port& port;  // the one port a run may open
    Clock& clock;
    std::function<std::vector<PortEntry>()> listPorts;
    std::string portMemoryPath;          // the window's remembered port, read only
    bool terminal = false;               // the output is a terminal: progress is redrawn in place
    const StopSignal* cancel = nullptr;  // raised once the run is to be cancelled
    std::function<int()> signalStatus;   // the exit status after the signal that cancelled
                                         // the run (128 + signal); 0 or unset: none
    const SystemView* view = nullptr;    // the machine as --job's slot is resolved (opening
                                         // nothing); null: --job is refused
};

// Why the run cannot start, found before any port is opened, or empty when it can: the
// record file cannot be appended to; a function downloads (download, auto) and --file is
// missing, or names no usable target file (missing, unreadable, not a regular file, empty),
// or one that could not be read whole. On success `image` holds the file as read now (also
// when no function downloads it: the record names it), which the run then guards.
std::string StartRefusal(const Options& options, std::optional<ImageDigest>& image);

// Runs `options` (Command::Run) as `vantrel` does: the start-up checks (status 2 before any
// port is opened), the choice of the port, the run, and the record line. With a job
// (`options.jobFile`), the job is read, its image checked against its SHA-256 and its one
// slot resolved first, and the job's values take the place of the options it fixes. With
// `options.json` the event lines go to `out` and everything else to `err`. A record line that
// cannot be written makes an otherwise good run's status exit_status::kRecordNotWritten, and
// its message is the last thing printed. `program` names the program in messages, `version`
// goes into the record. Output goes to `out`, errors to `err`; returns the exit status.
int RunConsoleCommand(const Options& options, const std::string& program,
                      const std::string& version, ConsoleSystem& system, std::FILE* out,
                      std::FILE* err);

}  // namespace vantrel::cli
