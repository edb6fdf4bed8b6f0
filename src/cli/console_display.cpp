#include "console_display.h"

#include <algorithm>
#include <cstdlib>

#include "session/strings.h"

namespace vantrel::cli {

namespace {

std::string Bar(double fraction) {
    const int filled = static_cast<int>(std::clamp(fraction, 0.0, 1.0) * kBarWidth + 1e-9);
    std::string bar(static_cast<std::size_t>(kBarWidth) + 2, '-');
    bar.front() = '[';
    bar.back() = ']';
    std::fill_n(bar.begin() + 1, filled, '#');
    return bar;
}

double BarFraction(int position, int high) {
    if (high <= 0) {
        return position > 0 ? 1.0 : 0.0;
    }
    return static_cast<double>(std::min(position, high)) / high;
}

}  // namespace

std::string FormatTransferLine(const TransferFigures& p) {
    // The bar follows the bytes, not the sender's progress position: that position's range
    // ends at the whole blocks of the file and is stepped once more than there are blocks.
    const double fraction = p.total > 0
                                ? static_cast<double>(p.bytes) / static_cast<double>(p.total)
                                : std::clamp(p.percent, 0, 100) / 100.0;
    std::string line = Bar(fraction);
    char figures[96];
    std::snprintf(figures, sizeof figures, " %3d%%  %lld/%lld B", p.percent,
                  static_cast<long long>(p.bytes), static_cast<long long>(p.total));
    return line + figures + RateAndTimeLeft(p);
}

double BytesPerSecond(const TransferFigures& p) {
    if (p.bytes <= 0 || p.elapsedMs == 0) {
        return 0.0;
    }
    return static_cast<double>(p.bytes) * 1000.0 / static_cast<double>(p.elapsedMs);
}

std::string RateAndTimeLeft(const TransferFigures& p) {
    const double rate = BytesPerSecond(p);
    if (rate <= 0.0) {
        return "  -- KiB/s  --:-- left";
    }
    const double left = static_cast<double>(std::max<std::int64_t>(p.total - p.bytes, 0));
    const long long seconds = static_cast<long long>(left / rate + 0.5);
    char text[64];
    std::snprintf(text, sizeof text, "  %.1f KiB/s  %lld:%02lld left", rate / 1024.0,
                  seconds / 60, seconds % 60);
    return text;
}

std::string FormatStepLine(int position, int high) {
    return Bar(BarFraction(position, high)) + " " + std::to_string(std::min(position, high)) + "/" +
           std::to_string(high);
}

TransferFigures FiguresOf(const TransferState& state, std::uint64_t elapsedMs) {
    TransferFigures f;
    f.total = state.total;
    f.bytes = std::clamp<std::int64_t>(state.bytesAcknowledged, 0, state.total);
    // As the sender's own percentage: an empty image is whole as soon as it starts.
    f.percent = state.total > 0 ? static_cast<int>(f.bytes * 100 / state.total) : 100;
    f.elapsedMs = elapsedMs;
    f.repeats = state.repeats;
    return f;
}

void RunDisplay::SetStatus(const std::string& text) {
    const bool changed = !m_statusShown || text != m_status;
    m_status = text;
    m_statusShown = true;
    if (!changed) {
        return;
    }
    ShowStatus(text);
    if (m_listener != nullptr) {
        m_listener->StatusShown(text);
    }
}

ConsoleDisplay::ConsoleDisplay(std::FILE* out, bool terminal, Clock& clock)
    : m_out(out), m_terminal(terminal), m_clock(clock) {}

void ConsoleDisplay::Print(const std::string& line) {
    EndLiveLine();
    std::fputs(line.c_str(), m_out);
    std::fputc('\n', m_out);
    std::fflush(m_out);
}

void ConsoleDisplay::EndLiveLine() {
    if (m_liveLine) {
        std::fputc('\n', m_out);
        m_liveLine = false;
    }
}

void ConsoleDisplay::DrawLive(const std::string& line) {
    // Carriage return and erase-to-end-of-line: the line is redrawn in place.
    std::fputs(("\r" + line + "\x1b[K").c_str(), m_out);
    std::fflush(m_out);
    m_liveLine = true;
}

void ConsoleDisplay::Message(const std::string& text) {
    Print(text);
}

void ConsoleDisplay::FunctionEnded(const FunctionResult& result) {
    // The blank check, the protection check and the erase have no outcome line of their own,
    // as in the window: their status line (the boot loader's words) says it.
    if (result.boxed) {
        Print(result.outcome);
    }
}

void ConsoleDisplay::ShowStatus(const std::string& text) {
    if (!text.empty()) {
        Print(text);
    }
}

TransferFigures ConsoleDisplay::Figures() const {
    return FiguresOf(m_transfer, m_clock.NowMs() - m_transferStartMs);
}

void ConsoleDisplay::PhaseBegun(Phase phase) {
    if (phase != Phase::Transfer) {
        return;
    }
    m_inTransfer = true;
    m_transfer = TransferState{};
    m_transferStartMs = m_clock.NowMs();
    m_lastPlainTenth = -1;
}

void ConsoleDisplay::TransferProgress(const TransferState& state) {
    if (!m_inTransfer) {
        return;
    }
    m_transfer = state;
    const TransferFigures f = Figures();
    if (m_terminal) {
        DrawLive(FormatTransferLine(f));
        return;
    }
    const int tenth = std::clamp(f.percent, 0, 100) / 10;
    if (tenth > m_lastPlainTenth) {
        m_lastPlainTenth = tenth;
        Print(FormatTransferLine(f));
    }
}

void ConsoleDisplay::PhaseEnded(Phase phase, const Outcome&) {
    if (phase != Phase::Transfer || !m_inTransfer) {
        return;
    }
    // The transfer is over: keep its last line on the screen. A transfer refused before its
    // start (the file) has no line at all.
    if (!m_terminal && m_lastPlainTenth >= 0 && m_lastPlainTenth < 10) {
        Print(FormatTransferLine(Figures()));
    }
    EndLiveLine();
    m_inTransfer = false;
}

void ConsoleDisplay::SetProgressRange(int high) {
    m_high = high;
    // A new range starts a new operation: the previous bar is left as it stands.
    EndLiveLine();
}

void ConsoleDisplay::StepProgress() {
    m_position += m_increment;
    if (m_terminal && !m_inTransfer) {
        DrawLive(FormatStepLine(m_position, m_high));
    }
}

}  // namespace vantrel::cli
