#include "station_board.h"

#include <sys/ioctl.h>
#include <unistd.h>
#include <algorithm>
#include <set>

#include "session/strings.h"

namespace vantrel::cli {

namespace {

// Narrowest name column, in characters: "COM99" and a space.
constexpr std::size_t kNameColumn = 6;
// Width assumed when the terminal does not tell its own, in columns.
constexpr int kDefaultWidth = 100;
// From this width on a row also shows the device, the model, the rate and the time left and
// still has room for a last result with its reason; a narrower one keeps the port, the phase,
// the counts and the last result.
constexpr int kWideColumns = 140;
// Phases in which a port waits for something outside the station: its row may go under the
// "+N" line when the terminal is too short.
const std::set<std::string> kIdlePhases = {"starting", "waiting", "gone", "stopped"};

std::string Printf(const char* format, double value) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

// "download  37%": a transfer's phase with its percentage.
std::string DownloadPercent(const TransferFigures& p) {
    char text[32];
    std::snprintf(text, sizeof text, "download %3d%%", p.percent);
    return text;
}

// The board's name for a phase.
std::string Shown(Phase phase) {
    switch (phase) {
        case Phase::Identification:
            return "waiting";
        case Phase::ProtectionCheck:
            return "protection";
        case Phase::BlankCheck:
            return "blank check";
        case Phase::Erase:
            return "erase";
        case Phase::DownloadMenu:
        case Phase::Transfer:
            return "download";
        case Phase::Restart:
            return "restart";
        case Phase::Leave:
            break;
    }
    return "leaving";
}

// A last result in few characters, for a narrow board: the window's outcome texts say the
// same in a word or two, so that the reason after them still has room.
std::string ShortResult(const std::string& last) {
    static const std::pair<Str, const char*> kShort[] = {
        {Str::DownloadCompleted, "completed"},
        {Str::DownloadAborted, "ABORTED"},
        {Str::Restarting, "restarted"},
        {Str::RestartAborted, "restart ABORTED"},
    };
    for (const auto& [outcome, brief] : kShort) {
        const std::string& text = LoadString(outcome);
        if (last.rfind(text, 0) == 0) {
            return brief + last.substr(text.size());
        }
    }
    return last;
}

}  // namespace

StationBoard::StationBoard(std::FILE* out, bool terminal, SizeFunction size)
    : m_out(out), m_terminal(terminal), m_size(std::move(size)) {}

std::size_t StationBoard::AddRow(const std::string& name, const std::string& device) {
    const std::lock_guard lock(m_mutex);
    Row row;
    row.name = name;
    row.device = device;
    m_rows.push_back(row);
    return m_rows.size() - 1;
}

bool StationBoard::Changed() {
    const bool due = m_terminal && !m_dirty;
    m_dirty = true;
    return due && m_onChange;
}

template <typename T>
void StationBoard::Set(std::size_t row, T Row::*field, const T& value) {
    bool due = false;
    {
        const std::lock_guard lock(m_mutex);
        T& current = m_rows[row].*field;
        if (current == value) {
            return;
        }
        current = value;
        due = Changed();
    }
    if (due) {
        m_onChange();
    }
}

void StationBoard::SetDevice(std::size_t row, const std::string& device) {
    Set(row, &Row::device, device);
}

void StationBoard::SetModel(std::size_t row, int model) {
    Set(row, &Row::model, model);
}

void StationBoard::SetPhase(std::size_t row, const std::string& phase) {
    Set(row, &Row::phase, phase);
}

void StationBoard::SetTransfer(std::size_t row, const std::optional<TransferFigures>& progress) {
    bool due = false;
    {
        const std::lock_guard lock(m_mutex);
        std::optional<TransferFigures>& current = m_rows[row].transfer;
        if (!current && !progress) {
            return;
        }
        current = progress;
        due = Changed();
    }
    if (due) {
        m_onChange();
    }
}

std::string StationBoard::Label(const Row& row) const {
    std::string label = row.name.empty() ? row.device : row.name;
    if (row.model >= 0) {
        label += " model " + std::to_string(row.model);
    }
    return label;
}

void StationBoard::Print(const std::string& line) {
    std::fputs((line + "\n").c_str(), m_out);
    std::fflush(m_out);
}

void StationBoard::Event(std::size_t row, const std::string& text) {
    const std::lock_guard lock(m_mutex);
    if (!m_terminal) {
        Print(Label(m_rows[row]) + ": " + text);
    }
}

void StationBoard::Handled(std::size_t row, bool ok, const std::string& last) {
    bool due = false;
    {
        const std::lock_guard lock(m_mutex);
        Row& r = m_rows[row];
        r.last = last;
        r.lastFailed = !ok;
        ++(ok ? r.done : r.failed);
        due = Changed();
    }
    if (due) {
        m_onChange();
    }
}

void StationBoard::Declined(std::size_t row, const std::string& text) {
    bool due = false;
    {
        const std::lock_guard lock(m_mutex);
        Row& r = m_rows[row];
        r.last = text;
        r.lastFailed = true;
        ++r.declined;
        due = Changed();
    }
    if (due) {
        m_onChange();
    }
}

void StationBoard::SetLast(std::size_t row, const std::string& last) {
    Set(row, &Row::last, last);
}

void StationBoard::Note(const std::string& text) {
    bool due = false;
    {
        const std::lock_guard lock(m_mutex);
        m_note = text;
        due = Changed();
        if (!m_terminal) {
            Print(text);
        }
    }
    if (due) {
        m_onChange();
    }
}

void StationBoard::Alert(const std::string& text) {
    bool due = false;
    {
        const std::lock_guard lock(m_mutex);
        m_alerts.push_back(text);
        due = Changed();
        if (!m_terminal) {
            Print(text);
        }
    }
    if (due) {
        m_onChange();
    }
}

int StationBoard::NameWidth() const {
    std::size_t width = kNameColumn;
    for (const Row& row : m_rows) {
        width = std::max(width, row.name.size());
    }
    return static_cast<int>(width);
}

std::string StationBoard::RowLine(const Row& row, int width) const {
    // Room for the longest slot name, the device, the phase and the counts.
    char line[256];
    const int name = NameWidth();
    if (width >= kWideColumns) {
        const std::string model = row.model >= 0 ? "model " + std::to_string(row.model) : "";
        const std::string phase = row.transfer ? DownloadPercent(*row.transfer) +
                                                     RateAndTimeLeft(*row.transfer)
                                               : row.phase;
        std::snprintf(line, sizeof line, "%-*s %-14s %-8s %-38s %d done %d failed  ", name,
                      row.name.c_str(), row.device.c_str(), model.c_str(), phase.c_str(),
                      row.done, row.failed);
    } else {
        // Narrow: what the operator acts on, the port, its phase, its counts and its last
        // result, before anything that only describes it.
        const std::string phase =
            row.transfer ? DownloadPercent(*row.transfer) : row.phase;
        std::snprintf(line, sizeof line, "%-*s %-15.15s %d/%d  ", name,
                      (row.name.empty() ? row.device : row.name).c_str(), phase.c_str(),
                      row.done, row.failed);
        return line + ShortResult(row.last);
    }
    return line + row.last;
}

std::string StationBoard::Footer() const {
    double rate = 0.0;
    int transferring = 0;
    int handled = 0;
    int failed = 0;
    int declined = 0;
    for (const Row& row : m_rows) {
        handled += row.done + row.failed;
        failed += row.failed;
        declined += row.declined;
        if (row.transfer) {
            ++transferring;
            rate += BytesPerSecond(*row.transfer);
        }
    }
    std::string footer = std::to_string(handled) + " handled";
    if (m_limit > 0) {
        footer += " of " + std::to_string(m_limit);
    }
    footer += " (" + std::to_string(handled - failed) + " done, " + std::to_string(failed) +
              " failed)";
    if (declined > 0) {
        // Not handled, and so not counted toward the limit; failures all the same.
        footer += ", " + std::to_string(declined) + " declined";
    }
    if (transferring > 0) {
        footer += ", " + std::to_string(transferring) + " transferring at " +
                  Printf("%.1f KiB/s", rate / 1024.0);
    }
    return footer;
}

TerminalSize StationBoard::Size() const {
    if (m_size) {
        return m_size();
    }
    winsize size{};
    if (::ioctl(::fileno(m_out), TIOCGWINSZ, &size) == 0) {
        return {size.ws_row, size.ws_col};
    }
    return {};
}

std::vector<std::string> StationBoard::Lines(TerminalSize size) const {
    const int width = size.columns > 0 ? size.columns : kDefaultWidth;
    std::vector<std::string> tail{Footer()};
    if (!m_note.empty()) {
        tail.push_back(m_note);
    }
    tail.insert(tail.end(), m_alerts.begin(), m_alerts.end());

    // Busy and failed rows first, each group in port order; the line under the last row keeps
    // the cursor, so a board of the terminal's height does not scroll.
    std::vector<const Row*> order;
    for (const bool busy : {true, false}) {
        for (const Row& row : m_rows) {
            const bool isBusy = row.transfer || kIdlePhases.count(row.phase) == 0;
            if (isBusy == busy && (busy || row.lastFailed)) {
                order.push_back(&row);
            }
        }
    }
    for (const Row& row : m_rows) {
        if (std::find(order.begin(), order.end(), &row) == order.end()) {
            order.push_back(&row);
        }
    }
    std::size_t room = order.size();
    if (size.rows > 0) {
        const int free = size.rows - 1 - static_cast<int>(tail.size());
        room = free >= static_cast<int>(order.size()) ? order.size()
                                                      : static_cast<std::size_t>(std::max(free - 1, 0));
    }
    std::vector<std::string> lines;
    for (std::size_t i = 0; i < room; ++i) {
        lines.push_back(RowLine(*order[i], width));
    }
    if (room < order.size()) {
        const bool allWaiting = std::all_of(order.begin() + static_cast<std::ptrdiff_t>(room),
                                            order.end(),
                                            [](const Row* r) { return r->phase == "waiting"; });
        lines.push_back("+" + std::to_string(order.size() - room) +
                        (allWaiting ? " waiting" : " more"));
    }
    lines.insert(lines.end(), tail.begin(), tail.end());
    if (size.rows > 0 && static_cast<int>(lines.size()) > size.rows - 1) {
        lines.erase(lines.begin(), lines.end() - std::max(size.rows - 1, 1));
    }
    // A line longer than the terminal would wrap and throw the redraw out of place.
    for (std::string& line : lines) {
        line = line.substr(0, static_cast<std::size_t>(std::max(width - 1, 1)));
    }
    return lines;
}

bool StationBoard::Redraw() {
    const std::lock_guard lock(m_mutex);
    if (!m_terminal || !m_dirty) {
        return false;
    }
    m_dirty = false;
    const std::vector<std::string> lines = Lines(Size());
    std::string screen;
    if (m_drawnLines > 0) {
        screen += "\x1b[" + std::to_string(m_drawnLines) + "A";
    }
    for (const std::string& line : lines) {
        screen += "\r" + line + "\x1b[K\n";
    }
    // A board that shrank (a note removed) leaves nothing of its old lines below.
    screen += "\x1b[J";
    std::fputs(screen.c_str(), m_out);
    std::fflush(m_out);
    m_drawnLines = static_cast<int>(lines.size());
    return true;
}

void StationBoard::Close() {
    {
        const std::lock_guard lock(m_mutex);
        m_dirty = true;
    }
    Redraw();
    const std::lock_guard lock(m_mutex);
    m_drawnLines = 0;
}

std::string LastResult(const std::string& outcome, const std::string& reason) {
    return reason.empty() || reason == outcome ? outcome : outcome + ": " + reason;
}

PortRowDisplay::PortRowDisplay(StationBoard& board, std::size_t row, Clock& clock)
    : m_board(board), m_row(row), m_clock(clock) {}

void PortRowDisplay::Message(const std::string& text) {
    m_board.Event(m_row, text);
}

void PortRowDisplay::FunctionEnded(const FunctionResult& result) {
    if (!result.boxed) {
        return;
    }
    m_board.Event(m_row, LastResult(result.outcome, result.reason) +
                             Printf(" (%.1f s)", static_cast<double>(result.durationMs) / 1000.0));
}

void PortRowDisplay::ShowStatus(const std::string& text) {
    if (!text.empty() && !m_quiet) {
        m_board.Event(m_row, text);
    }
}

void PortRowDisplay::Identified(int model) {
    m_board.SetModel(m_row, model);
}

void PortRowDisplay::PhaseBegun(Phase phase) {
    if (phase == Phase::Identification) {
        m_board.SetModel(m_row, -1);
    }
    if (phase == Phase::Transfer) {
        m_inTransfer = true;
        m_transferStartMs = m_clock.NowMs();
    }
    m_stepPhase = Shown(phase);
    m_board.SetPhase(m_row, m_stepPhase);
}

void PortRowDisplay::PhaseEnded(Phase phase, const Outcome&) {
    if (phase == Phase::Transfer) {
        m_inTransfer = false;
        m_board.SetTransfer(m_row, std::nullopt);
    }
}

void PortRowDisplay::TransferProgress(const TransferState& state) {
    if (m_inTransfer) {
        m_board.SetTransfer(m_row, FiguresOf(state, m_clock.NowMs() - m_transferStartMs));
    }
}

void PortRowDisplay::StepProgress() {
    m_position += m_increment;
    if (!m_inTransfer && !m_stepPhase.empty()) {
        m_board.SetPhase(m_row, m_stepPhase + " " + std::to_string(std::min(m_position, m_high)) +
                                    "/" + std::to_string(m_high));
    }
}

}  // namespace vantrel::cli
