#include "station_board.h"

#include <sys/ioctl.h>
#include <unistd.h>
#include <algorithm>

#include "session/strings.h"

namespace vantrel::cli {

namespace {

// Width assumed when the terminal does not tell its own.
constexpr int kDefaultWidth = 100;

std::string Printf(const char* format, double value) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

double BytesPerSecond(const TransferFigures& p) {
    return p.elapsedMs == 0 ? 0.0
                            : static_cast<double>(p.bytes) * 1000.0 /
                                  static_cast<double>(p.elapsedMs);
}

// "download  37%  3.6 KiB/s  0:17 left": a transfer in a row's width.
std::string TransferCell(const TransferFigures& p) {
    std::string cell = "download " + Printf("%3.0f%%", static_cast<double>(p.percent));
    const double rate = BytesPerSecond(p);
    if (p.bytes <= 0 || rate <= 0.0) {
        return cell + "  -- KiB/s";
    }
    cell += Printf("  %.1f KiB/s", rate / 1024.0);
    const double left = static_cast<double>(std::max<std::int64_t>(p.total - p.bytes, 0));
    const long long seconds = static_cast<long long>(left / rate + 0.5);
    char eta[32];
    std::snprintf(eta, sizeof eta, "  %lld:%02lld left", seconds / 60, seconds % 60);
    return cell + eta;
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

}  // namespace

StationBoard::StationBoard(std::FILE* out, bool terminal, Clock& clock)
    : m_out(out), m_terminal(terminal), m_clock(clock) {}

std::size_t StationBoard::AddRow(const std::string& name, const std::string& device) {
    const std::lock_guard lock(m_mutex);
    Row row;
    row.name = name;
    row.device = device;
    m_rows.push_back(row);
    return m_rows.size() - 1;
}

void StationBoard::SetDevice(std::size_t row, const std::string& device) {
    const std::lock_guard lock(m_mutex);
    m_rows[row].device = device;
    m_dirty = true;
}

void StationBoard::SetModel(std::size_t row, int model) {
    const std::lock_guard lock(m_mutex);
    m_rows[row].model = model;
    m_dirty = true;
}

void StationBoard::SetPhase(std::size_t row, const std::string& phase) {
    const std::lock_guard lock(m_mutex);
    m_rows[row].phase = phase;
    m_dirty = true;
}

void StationBoard::SetTransfer(std::size_t row, const std::optional<TransferFigures>& progress) {
    const std::lock_guard lock(m_mutex);
    m_rows[row].transfer = progress;
    m_dirty = true;
}

std::string StationBoard::Label(const Row& row) const {
    std::string label = row.name.empty() ? row.device : row.name;
    if (row.model >= 0) {
        label += " model " + std::to_string(row.model);
    }
    return label;
}

void StationBoard::Event(std::size_t row, const std::string& text) {
    const std::lock_guard lock(m_mutex);
    if (m_terminal) {
        return;
    }
    const std::string line = Label(m_rows[row]) + ": " + text + "\n";
    std::fputs(line.c_str(), m_out);
    std::fflush(m_out);
}

void StationBoard::Handled(std::size_t row, bool ok, const std::string& outcome) {
    const std::lock_guard lock(m_mutex);
    Row& r = m_rows[row];
    r.last = outcome;
    ++(ok ? r.done : r.failed);
    m_dirty = true;
}

void StationBoard::Note(const std::string& text) {
    const std::lock_guard lock(m_mutex);
    m_note = text;
    m_dirty = true;
    if (!m_terminal) {
        std::fputs((text + "\n").c_str(), m_out);
        std::fflush(m_out);
    }
}

void StationBoard::SetTotals(int handled, int failed, int limit) {
    const std::lock_guard lock(m_mutex);
    m_handled = handled;
    m_failed = failed;
    m_limit = limit;
    m_dirty = true;
}

std::string StationBoard::RowLine(const Row& row) const {
    char head[96];
    std::snprintf(head, sizeof head, "%-6s %-14s %-8s ", row.name.c_str(), row.device.c_str(),
                  row.model >= 0 ? ("model " + std::to_string(row.model)).c_str() : "");
    char cell[64];
    const std::string phase = row.transfer ? TransferCell(*row.transfer) : row.phase;
    std::snprintf(cell, sizeof cell, "%-38s", phase.c_str());
    return head + std::string(cell) + " " + std::to_string(row.done) + " done " +
           std::to_string(row.failed) + " failed  " + row.last;
}

std::string StationBoard::Footer() const {
    double rate = 0.0;
    int transferring = 0;
    for (const Row& row : m_rows) {
        if (row.transfer) {
            ++transferring;
            rate += BytesPerSecond(*row.transfer);
        }
    }
    std::string footer = std::to_string(m_handled) + " handled";
    if (m_limit > 0) {
        footer += " of " + std::to_string(m_limit);
    }
    footer += " (" + std::to_string(m_handled - m_failed) + " done, " +
              std::to_string(m_failed) + " failed), " + std::to_string(transferring) +
              " transferring at " + Printf("%.1f KiB/s", rate / 1024.0) + " in all";
    return footer;
}

int StationBoard::Width() const {
    winsize size{};
    if (::ioctl(::fileno(m_out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        return size.ws_col;
    }
    return kDefaultWidth;
}

void StationBoard::Redraw() {
    const std::lock_guard lock(m_mutex);
    if (!m_terminal || !m_dirty) {
        return;
    }
    m_dirty = false;
    std::vector<std::string> lines;
    for (const Row& row : m_rows) {
        lines.push_back(RowLine(row));
    }
    lines.push_back(Footer());
    if (!m_note.empty()) {
        lines.push_back(m_note);
    }
    // A line longer than the terminal would wrap and throw the redraw out of place.
    const std::size_t width = static_cast<std::size_t>(std::max(Width() - 1, 1));
    std::string screen;
    if (m_drawnLines > 0) {
        screen += "\x1b[" + std::to_string(m_drawnLines) + "A";
    }
    for (const std::string& line : lines) {
        screen += "\r" + line.substr(0, width) + "\x1b[K\n";
    }
    // A board that shrank (a note removed) leaves nothing of its old lines below.
    screen += "\x1b[J";
    std::fputs(screen.c_str(), m_out);
    std::fflush(m_out);
    m_drawnLines = static_cast<int>(lines.size());
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

PortRowDisplay::PortRowDisplay(StationBoard& board, std::size_t row, Clock& clock)
    : m_board(board), m_row(row), m_clock(clock) {}

void PortRowDisplay::Message(const std::string& text) {
    m_board.Event(m_row, text);
}

void PortRowDisplay::FunctionEnded(const FunctionResult& result) {
    if (!result.boxed) {
        return;
    }
    const std::string why = result.reason.empty() || result.reason == result.outcome
                                ? std::string()
                                : ": " + result.reason;
    m_board.Event(m_row, result.outcome + why +
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
