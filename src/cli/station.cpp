#include "station.h"

#include <sys/stat.h>
#include <unistd.h>
#include <QCoreApplication>
#include <QThread>
#include <cerrno>
#include <cstring>

#include "console_run.h"
#include "line_watch.h"
#include "serial/clock.h"
#include "session/image_file.h"

namespace vantrel::cli {

namespace {

bool IsComName(const std::string& text) {
    return text.size() > 3 && text.rfind("COM", 0) == 0 &&
           text.find_first_not_of("0123456789", 3) == std::string::npos;
}

// The ports asked for, each with its COM name where it has one.
std::vector<StationPort> ChoosePorts(const std::vector<std::string>& requested,
                                     const std::vector<PortEntry>& entries) {
    std::vector<StationPort> ports;
    if (requested.empty()) {
        for (const PortEntry& entry : entries) {
            ports.push_back({entry.name, entry.name});
        }
        return ports;
    }
    for (const std::string& wanted : requested) {
        StationPort port{IsComName(wanted) ? wanted : std::string(), wanted};
        for (const PortEntry& entry : entries) {
            if (entry.device == wanted && port.name.empty()) {
                port.name = entry.name;
            }
        }
        ports.push_back(port);
    }
    return ports;
}

std::string GoneText(const std::string& why) {
    return "gone, tried again every " + std::to_string(station_limits::kRetryMs / 1000) +
           " s: " + why;
}

}  // namespace

class Station::Gate final : public StationGate {
public:
    Gate(Station& station, std::size_t row, const StopSignal& noNew)
        : m_station(station), m_row(row), m_noNew(noNew) {}
    const StopSignal& NoNewInstruments() override { return m_noNew; }
    std::string TakeInstrument(int model) override {
        return m_station.TakeInstrument(m_row, model);
    }

private:
    Station& m_station;
    std::size_t m_row;
    const StopSignal& m_noNew;
};

Station::Station(const StationOptions& options, const std::string& program,
                 const ImageDigest* image, StationSystem system, StationBoard& board,
                 const SignalWatch& signalWatch)
    : m_count(options.count),
      m_waitSeconds(options.waitSeconds),
      m_recordFile(options.recordFile),
      m_program(program),
      m_image(image),
      m_system(std::move(system)),
      m_board(board),
      m_signals(signalWatch) {
    m_options.functions = options.functions;
    m_options.targetFile = options.targetFile;
    // A function after a restart needs the instrument reset again, as on the console.
    m_options.waitSeconds = kDefaultWaitSeconds;
}

Station::~Station() = default;

int Station::Run(const std::vector<StationPort>& ports) {
    SteadyClock clock;
    m_lastActivityMs = clock.NowMs();
    std::vector<std::unique_ptr<QThread>> threads;
    for (const StationPort& port : ports) {
        const std::size_t row = m_board.AddRow(port.name, port.requested);
        // Everything of the port is made on its own thread, the serial port's Qt objects
        // included, so that they belong to that thread and are only ever used there.
        threads.emplace_back(QThread::create([this, row, port] { Serve(row, port); }));
    }
    for (auto& thread : threads) {
        thread->start();
    }
    Watch(threads.size());
    for (auto& thread : threads) {
        thread->wait();
    }
    m_board.SetTotals(m_handled, m_failed, m_count);
    m_board.Close();
    if (m_signals.Level() > 0) {
        return m_signals.ExitStatus();
    }
    if (m_opened == 0) {
        return exit_status::kPortUnusable;
    }
    return m_failed > 0 ? exit_status::kFunctionFailed : exit_status::kSuccess;
}

void Station::Watch(std::size_t workers) {
    SteadyClock clock;
    const int all = static_cast<int>(workers);
    std::unique_lock lock(m_mutex);
    while (m_finished < all) {
        m_wake.wait_for(lock, std::chrono::milliseconds(station_limits::kTickMs));
        std::string note;
        const int interrupts = m_signals.Level();
        if (interrupts >= 2 && !m_cancelNoted) {
            m_cancelNoted = true;
            note = "Interrupted again: cancelling the running transfers.";
        } else if (interrupts == 1 && !m_stopping) {
            note = "Interrupted: no new instruments; running ones finish (Ctrl-C again cancels "
                   "them).";
        } else if (!m_stopping && m_attempted == all && m_opened == 0) {
            note = "No port could be opened.";
        } else if (!m_stopping && m_waitSeconds > 0 && m_taken == m_handled &&
                   clock.NowMs() - m_lastActivityMs >=
                       static_cast<std::uint64_t>(m_waitSeconds) * 1000) {
            note = "No instrument for " + std::to_string(m_waitSeconds) + " s.";
        }
        if (!note.empty()) {
            m_stopping = true;
            m_noNew.Raise();
            m_wake.notify_all();
        }
        const int handled = m_handled;
        const int failed = m_failed;
        lock.unlock();
        if (!note.empty()) {
            m_board.Note(note);
        }
        m_board.SetTotals(handled, failed, m_count);
        m_board.Redraw();
        lock.lock();
    }
}

bool Station::Stopping() {
    const std::lock_guard lock(m_mutex);
    return m_stopping;
}

std::string Station::TakeInstrument(std::size_t row, int model) {
    {
        const std::lock_guard lock(m_mutex);
        if (m_stopping) {
            return "the station is stopping";
        }
        if (m_count > 0 && m_taken >= m_count) {
            return "the count is reached";
        }
        ++m_taken;
        m_lastActivityMs = SteadyClock().NowMs();
    }
    m_board.SetModel(row, model);
    return {};
}

void Station::PortOpened(bool opened) {
    const std::lock_guard lock(m_mutex);
    ++m_attempted;
    m_opened += opened ? 1 : 0;
    m_wake.notify_all();
}

void Station::Handled(std::size_t row, int status, UpdateRecord record) {
    std::string note;
    int handled = 0;
    int failed = 0;
    {
        const std::lock_guard lock(m_mutex);
        handled = ++m_handled;
        failed = m_failed += status != exit_status::kSuccess ? 1 : 0;
        m_lastActivityMs = SteadyClock().NowMs();
        if (m_count > 0 && m_handled >= m_count && !m_stopping) {
            m_stopping = true;
            m_noNew.Raise();
            note = std::to_string(m_handled) + " instruments handled.";
            m_wake.notify_all();
        }
    }
    m_board.Handled(row, status == exit_status::kSuccess,
                    record.functions.empty() ? std::string() : record.functions.back().outcome);
    m_board.SetTotals(handled, failed, m_count);
    if (!m_recordFile.empty()) {
        record.program = m_program;
        std::string error;
        {
            const std::lock_guard lock(m_recordMutex);
            error = AppendRecordLine(m_recordFile, BuildRecordLine(record));
        }
        if (!error.empty()) {
            m_board.Note((record.portName.empty() ? record.device : record.portName) +
                         ": the update record " + m_recordFile + " was not written: " + error);
        }
    }
    if (!note.empty()) {
        m_board.Note(note);
    }
}

void Station::SleepUnlessStopping(std::uint64_t ms) {
    std::unique_lock lock(m_mutex);
    m_wake.wait_for(lock, std::chrono::milliseconds(ms), [this] { return m_stopping; });
}

void Station::Serve(std::size_t row, const StationPort& port) {
    SteadyClock clock;
    const std::unique_ptr<Port> serial = m_system.makePort();
    WatchedPort watched(*serial);
    PortRowDisplay display(m_board, row, clock);
    ConsoleRun run(watched, clock, display, nullptr, &m_signals.Cancel());
    run.SetImageChangedText(kImageChangedText);
    Gate gate(*this, row, m_noNew);
    bool open = false;
    bool firstTry = true;
    bool gone = false;
    std::string device;
    while (!Stopping()) {
        if (!open) {
            device = m_system.resolve(port.requested);
            display.SetQuiet(gone);
            open = !device.empty() && run.OpenPort(device);
            display.SetQuiet(false);
            if (firstTry) {
                PortOpened(open);
                firstTry = false;
            }
            if (!open) {
                if (!gone) {
                    m_board.SetPhase(row, "gone");
                    m_board.Event(row, GoneText(device.empty() ? port.requested +
                                                                     " stands for no serial port"
                                                               : display.StatusText()));
                    gone = true;
                }
                SleepUnlessStopping(station_limits::kRetryMs);
                continue;
            }
            m_board.SetDevice(row, device);
            if (gone) {
                m_board.Event(row, "back on " + device);
            }
            gone = false;
        }
        const auto status = run.ServeInstrument(m_options, port.name, device, m_image, gate);
        if (status) {
            Handled(row, *status, run.Record());
        }
        if (serial->HasFailed()) {
            m_board.SetPhase(row, "gone");
            m_board.Event(row, GoneText(serial->ErrorText()));
            serial->Close();
            open = false;
            gone = true;
        }
        // The port's notices queued on this thread (a failed device let go, a receive
        // notification nobody listens to here) are dealt with between instruments.
        QCoreApplication::processEvents();
    }
    serial->Close();
    m_board.SetPhase(row, "stopped");
    const std::lock_guard lock(m_mutex);
    ++m_finished;
    m_wake.notify_all();
}

int RunStationCommand(const std::vector<std::string>& args, const std::string& program,
                      const std::string& version, StationSystem system,
                      const SignalWatch& signalWatch) {
    const StationParseResult parsed = ParseStationOptions(args);
    if (!parsed.ok) {
        std::fprintf(stderr, "%s station: %s\n\n%s", program.c_str(), parsed.error.c_str(),
                     StationUsageText(program).c_str());
        return exit_status::kUsage;
    }
    const StationOptions& options = parsed.options;
    if (options.help) {
        std::fputs(StationUsageText(program).c_str(), stdout);
        return exit_status::kSuccess;
    }
    std::optional<ImageDigest> image;
    if (!options.targetFile.empty()) {
        image = DigestImageFile(options.targetFile);
        if (!image->ok) {
            std::fprintf(stderr, "%s station: cannot read %s: %s\n", program.c_str(),
                         options.targetFile.c_str(), image->error.c_str());
            return exit_status::kUsage;
        }
    }
    const std::vector<StationPort> ports = ChoosePorts(options.ports, system.listPorts());
    if (ports.empty()) {
        std::fprintf(stderr, "%s station: no serial port found on this machine; give ports "
                             "with --port\n", program.c_str());
        return exit_status::kPortUnusable;
    }
    SteadyClock clock;
    StationBoard board(stdout, ::isatty(STDOUT_FILENO) == 1, clock);
    Station station(options, program + " " + version, image ? &*image : nullptr,
                    std::move(system), board, signalWatch);
    return station.Run(ports);
}

}  // namespace vantrel::cli
