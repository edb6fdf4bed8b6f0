#include "station.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>
#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <thread>

#include "console_run.h"
#include "job.h"
#include "line_watch.h"
#include "serial/tracing_port.h"
#include "session/trace_events.h"

namespace vantrel::cli {

namespace {

std::string GoneText(const std::string& why) {
    return "gone, tried again every " + std::to_string(station_limits::kRetryMs / 1000) +
           " s: " + why;
}

std::string Instruments(int count) {
    return std::to_string(count) + (count == 1 ? " instrument" : " instruments");
}

// poll() on `fds` for up to `ms` (-1: until one is ready), again after a signal handler ran.
void PollFds(pollfd* fds, nfds_t count, int ms) {
    while (::poll(fds, count, ms) < 0 && errno == EINTR) {
    }
}

}  // namespace

std::optional<std::uint64_t> DeviceNumberOf(const std::string& path) {
    struct stat info {};
    if (path.empty() || ::stat(path.c_str(), &info) != 0 || !S_ISCHR(info.st_mode)) {
        return std::nullopt;
    }
    return static_cast<std::uint64_t>(info.st_rdev);
}

void PauseUnlessStopped(std::uint64_t ms, const StopSignal& stop) {
    pollfd fd{stop.Fd(), POLLIN, 0};
    PollFds(&fd, 1, static_cast<int>(std::min<std::uint64_t>(ms, station_limits::kRetryMs)));
}

// What the ports' threads tell the thread that draws: an eventfd, written on every change and
// read empty before each look at the station.
class Station::News {
public:
    News() : m_fd(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~News() {
        if (m_fd >= 0) {
            ::close(m_fd);
        }
    }
    bool Valid() const { return m_fd >= 0; }
    int Fd() const { return m_fd; }
    void Notify() {
        const std::uint64_t one = 1;
        [[maybe_unused]] const ssize_t written = ::write(m_fd, &one, sizeof one);
    }
    void Clear() {
        std::uint64_t count = 0;
        [[maybe_unused]] const ssize_t got = ::read(m_fd, &count, sizeof count);
    }

private:
    int m_fd;
};

class Station::Gate final : public StationGate {
public:
    Gate(Station& station, std::size_t row) : m_station(station), m_row(row) {}
    const StopSignal& NoNewInstruments() override { return m_station.m_noNew; }
    TakeAnswer TakeInstrument(int model) override {
        return m_station.TakeInstrument(m_row, model);
    }
    std::uint64_t WakeAtMs() override { return m_station.CheckStop(); }

private:
    Station& m_station;
    std::size_t m_row;
};

Station::Station(const StationOptions& options, const std::string& program,
                 const ImageDigest* image, StationSystem system, StationBoard& board,
                 const SignalStops& signalStops, Clock& clock, RecordWriter* records)
    : m_count(options.count),
      m_waitSeconds(options.waitSeconds),
      m_program(program),
      m_image(image),
      m_system(std::move(system)),
      m_board(board),
      m_signals(signalStops),
      m_clock(clock),
      m_records(records),
      m_traceFolder(TraceFolderOf(options)),
      m_traceAll(options.traceAll),
      m_traceDetail(options.traceBytes ? TraceDetail::Bytes : TraceDetail::Frames),
      m_news(std::make_unique<News>()) {
    m_options.functions = options.functions;
    m_options.targetFile = options.targetFile;
    m_options.models = options.models;
    // A function after a restart needs the instrument reset again, as on the console.
    m_options.waitSeconds = kDefaultWaitSeconds;
}

Station::~Station() = default;

int Station::Run(const std::vector<StationPort>& ports) {
    if (!m_news->Valid() || !m_noNew.Valid()) {
        m_board.Note("The station cannot start: no event descriptor could be made.");
        return exit_status::kPortUnusable;
    }
    m_lastActivityMs = m_clock.NowMs();
    m_board.SetLimit(m_count);
    m_board.SetOnChange([this] { m_news->Notify(); });
    std::vector<std::size_t> rows;
    for (const StationPort& port : ports) {
        rows.push_back(m_board.AddRow(port.name, port.requested));
    }
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < ports.size(); ++i) {
        // Everything of the port is made on its own thread, the serial port included, so that
        // it belongs to that thread and is only ever used there.
        threads.emplace_back([this, row = rows[i], port = ports[i]] { Serve(row, port); });
    }
    Watch(threads.size());
    for (std::thread& thread : threads) {
        thread.join();
    }
    const int status = ExitStatus();
    if (status == exit_status::kCountNotReached) {
        m_board.Note("Only " + std::to_string(m_handled) + " of " + Instruments(m_count) +
                     " handled.");
    }
    m_board.Close();
    if (m_events != nullptr) {
        m_events->Summary(m_handled - m_failed, m_failed, m_declined, status);
    }
    return status;
}

int Station::ExitStatus() const {
    if (m_signals.Level() > 0) {
        return m_signals.ExitStatus();
    }
    if (m_opened == 0) {
        return exit_status::kPortUnusable;
    }
    if (m_failed > 0 || m_declined > 0) {
        return exit_status::kFunctionFailed;
    }
    if (m_idleEnded && m_count > 0 && m_handled < m_count) {
        return exit_status::kCountNotReached;
    }
    return m_recordsLost > 0 ? exit_status::kRecordNotWritten : exit_status::kSuccess;
}

void Station::Watch(std::size_t workers) {
    const int all = static_cast<int>(workers);
    pollfd fds[] = {{m_news->Fd(), POLLIN, 0},
                    {m_signals.NoNewInstruments().Fd(), POLLIN, 0},
                    {m_signals.Cancel().Fd(), POLLIN, 0}};
    for (;;) {
        m_news->Clear();
        bool finished = false;
        {
            const std::lock_guard lock(m_mutex);
            CheckSignalsLocked();
            if (!m_stopping && m_attempted == all && m_opened == 0) {
                StopLocked("No port could be opened.");
            }
            finished = m_finished == all;
        }
        // A raised stop stays readable: it is looked at once, then left out of the poll.
        if (m_signals.NoNewInstruments().Raised()) {
            fds[1].fd = -1;
        }
        if (m_signals.Cancel().Raised()) {
            fds[2].fd = -1;
        }
        if (m_board.Redraw() && !finished) {
            // The next drawing waits; only a signal is looked at meanwhile.
            PollFds(fds + 1, 2, station_limits::kDrawGapMs);
            continue;
        }
        if (finished) {
            return;
        }
        PollFds(fds, 3, -1);
    }
}

void Station::StopLocked(const std::string& note) {
    if (!m_stopping) {
        m_stopping = true;
        m_noNew.Raise();
    }
    m_board.Note(note);
    m_news->Notify();
}

void Station::CheckSignalsLocked() {
    const int level = m_signals.Level();
    if (level >= 2 && !m_cancelNoted) {
        m_cancelNoted = true;
        StopLocked(m_stopping ? "Interrupted again: cancelling the running transfers."
                              : "Interrupted: cancelling the running transfers.");
    } else if (level == 1 && !m_stopping) {
        StopLocked("Interrupted: no new instruments; running ones finish (Ctrl-C again cancels "
                   "them).");
    }
}

bool Station::Stopping() {
    const std::lock_guard lock(m_mutex);
    CheckSignalsLocked();
    return m_stopping;
}

std::uint64_t Station::CheckStop() {
    const std::lock_guard lock(m_mutex);
    CheckSignalsLocked();
    if (m_stopping || m_waitSeconds == 0 || m_taken > m_handled) {
        // While an instrument runs, the port that runs it looks at the bound once it is done.
        return UINT64_MAX;
    }
    const std::uint64_t end =
        m_lastActivityMs + static_cast<std::uint64_t>(m_waitSeconds) * 1000;
    if (m_clock.NowMs() < end) {
        return end;
    }
    m_idleEnded = true;
    StopLocked("No instrument for " + std::to_string(m_waitSeconds) + " s.");
    return UINT64_MAX;
}

TakeAnswer Station::TakeInstrument(std::size_t row, int model) {
    TakeAnswer answer;
    {
        const std::lock_guard lock(m_mutex);
        CheckSignalsLocked();
        if (m_stopping) {
            answer = {TakeAnswer::Kind::NotTaken, "the station is stopping"};
        } else if (m_count > 0 && m_taken >= m_count) {
            answer = {TakeAnswer::Kind::NotTaken, "the count is reached"};
        } else if (!ModelAllowed(m_options.models, model)) {
            // Not one of the count: the line's next instrument may still be programmed.
            answer = {TakeAnswer::Kind::Declined, DeclinedText(model)};
            m_lastActivityMs = m_clock.NowMs();
        } else {
            ++m_taken;
            m_lastActivityMs = m_clock.NowMs();
        }
    }
    if (answer.kind == TakeAnswer::Kind::NotTaken) {
        m_board.SetLast(row, "not taken: " + answer.why);
        return answer;
    }
    m_board.SetModel(row, model);
    return answer;
}

void Station::PortOpened(bool opened) {
    const std::lock_guard lock(m_mutex);
    ++m_attempted;
    m_opened += opened ? 1 : 0;
    m_news->Notify();
}

std::string Station::AppendRecord(UpdateRecord& record) {
    if (m_records == nullptr) {
        return {};
    }
    record.program = m_program;
    std::string error;
    {
        const std::lock_guard lock(m_recordMutex);
        error = m_records->Append(record);
    }
    if (!error.empty()) {
        const std::lock_guard lock(m_mutex);
        ++m_recordsLost;
        m_board.Alert((record.portName.empty() ? record.device : record.portName) +
                      ": the update record was not written: " + error);
    }
    return error;
}

void Station::Declined(std::size_t row, UpdateRecord record) {
    AppendRecord(record);
    const std::lock_guard lock(m_mutex);
    ++m_declined;
    m_lastActivityMs = m_clock.NowMs();
    m_board.Declined(row, record.declined);
    m_news->Notify();
}

void Station::Handled(std::size_t row, int status, UpdateRecord record) {
    const bool ok = status == exit_status::kSuccess;
    const std::string last =
        record.functions.empty()
            ? std::string()
            : LastResult(record.functions.back().outcome, record.functions.back().reason);
    AppendRecord(record);
    const std::lock_guard lock(m_mutex);
    ++m_handled;
    m_failed += ok ? 0 : 1;
    m_lastActivityMs = m_clock.NowMs();
    m_board.Handled(row, ok, last);
    if (m_count > 0 && m_handled >= m_count && !m_stopping) {
        StopLocked(Instruments(m_handled) + " handled.");
    }
    m_news->Notify();
}

void Station::WriteTrace(std::size_t row, PortTrace& trace, UpdateRecord& record) {
    const TraceFileWritten written = trace.WriteInstrument(m_traceFolder);
    if (written.ok()) {
        record.trace = written.path;
        m_board.Event(row, "wire trace in " + written.path);
        return;
    }
    record.traceError = written.error;
    m_board.Alert((record.portName.empty() ? record.device : record.portName) + ": " +
                  written.error);
}

void Station::Serve(std::size_t row, const StationPort& port) {
    const std::unique_ptr<Port> serial = m_system.makePort();
    std::optional<PortTrace> trace;
    std::optional<TracingPort> traced;
    if (!m_traceFolder.empty()) {
        trace.emplace(m_clock, port.name.empty() ? port.requested : port.name, m_traceDetail);
        traced.emplace(*serial, trace->Trace());
    }
    // The port as the session sees it: through the trace, when there is one.
    Port& line = traced ? *traced : *serial;
    WatchedPort watched(line);
    PortRowDisplay display(m_board, row, m_clock);
    ConsoleRun run(watched, m_clock, display, nullptr, &m_signals.Cancel());
    run.SetImageChangedText(kImageChangedText);
    if (trace) {
        run.AddObserver(trace->Events());
    }
    const std::unique_ptr<PortEvents> events =
        m_events != nullptr ? m_events->ForPort(port.name.empty() ? port.requested : port.name)
                            : nullptr;
    if (events) {
        run.AddObserver(*events);
        run.SetRunEvents(events.get());
    }
    Gate gate(*this, row);
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
                    const std::string why = device.empty()
                                                ? port.requested + " stands for no serial port"
                                                : display.StatusText();
                    m_board.SetPhase(row, "gone");
                    m_board.Event(row, GoneText(why));
                    if (events) {
                        events->Gone(why);
                    }
                    gone = true;
                }
                const std::uint64_t wakeAt = CheckStop();
                const std::uint64_t now = m_clock.NowMs();
                if (wakeAt > now) {
                    m_system.pause(std::min(station_limits::kRetryMs, wakeAt - now), m_noNew);
                }
                continue;
            }
            m_board.SetDevice(row, device);
            if (gone) {
                m_board.Event(row, "back on " + device);
                if (events) {
                    events->Back(device);
                }
            }
            gone = false;
        }
        const auto status = run.ServeInstrument(m_options, port.name, device, m_image, gate);
        if (status) {
            UpdateRecord record = run.Record();
            // Cancelled by SIGTERM or SIGHUP, the instrument's record says so, as the exit
            // status does.
            if (*status == exit_status::kInterrupted && m_signals.ExitStatus() != 0) {
                record.exitStatus = m_signals.ExitStatus();
            }
            const int recorded = record.exitStatus;
            if (trace && (recorded != exit_status::kSuccess || m_traceAll)) {
                WriteTrace(row, *trace, record);
            }
            if (!record.declined.empty()) {
                if (events) {
                    events->Declined(record.declined);
                }
                Declined(row, std::move(record));
            } else {
                if (events) {
                    const auto& functions = record.functions;
                    events->InstrumentOutcome(
                        recorded == exit_status::kSuccess,
                        functions.empty() ? std::string()
                                          : LastResult(functions.back().outcome,
                                                       functions.back().reason),
                        functions.empty() ? std::nullopt : functions.back().result, recorded);
                }
                Handled(row, recorded, std::move(record));
            }
        }
        if (line.HasFailed()) {
            m_board.SetPhase(row, "gone");
            m_board.Event(row, GoneText(line.ErrorText()));
            if (events) {
                events->Gone(line.ErrorText());
            }
            line.Close();
            open = false;
            gone = true;
        }
    }
    line.Close();
    m_board.SetPhase(row, "stopped");
    const std::lock_guard lock(m_mutex);
    ++m_finished;
    m_news->Notify();
}

}  // namespace vantrel::cli
