#include "console_display.h"

#include <algorithm>
#include <cstdlib>

#include "session/strings.h"

namespace vantrel::cli {

namespace {

constexpr std::int64_t kBlockBytes = 1024;

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

std::string Printf(const char* format, double value) {
    char text[32];
    std::snprintf(text, sizeof text, format, value);
    return text;
}

}  // namespace

std::string FormatTransferLine(const TransferProgress& p) {
    // The bar follows the bytes, not the sender's progress position: that position's range
    // ends at the whole blocks of the file and is stepped once more than there are blocks.
    const double fraction = p.total > 0
                                ? static_cast<double>(p.bytes) / static_cast<double>(p.total)
                                : std::clamp(p.percent, 0, 100) / 100.0;
    std::string line = Bar(fraction);
    char figures[96];
    std::snprintf(figures, sizeof figures, " %3d%%  %lld/%lld B", p.percent,
                  static_cast<long long>(p.bytes), static_cast<long long>(p.total));
    line += figures;
    if (p.bytes <= 0 || p.elapsedMs == 0) {
        return line + "  -- KiB/s  --:-- left";
    }
    const double bytesPerSecond =
        static_cast<double>(p.bytes) * 1000.0 / static_cast<double>(p.elapsedMs);
    line += Printf("  %.1f KiB/s", bytesPerSecond / 1024.0);
    const double left = static_cast<double>(std::max<std::int64_t>(p.total - p.bytes, 0));
    const long long seconds = static_cast<long long>(left / bytesPerSecond + 0.5);
    char eta[48];
    std::snprintf(eta, sizeof eta, "  %lld:%02lld left", seconds / 60, seconds % 60);
    return line + eta;
}

std::string FormatStepLine(int position, int high) {
    return Bar(BarFraction(position, high)) + " " + std::to_string(std::min(position, high)) + "/" +
           std::to_string(high);
}

std::optional<int> PercentFromTitle(const std::string& title) {
    static const std::string prefix = "Vantrel ";
    static const std::string suffix = "% Sent";
    if (title.size() <= prefix.size() + suffix.size() || title.rfind(prefix, 0) != 0 ||
        title.compare(title.size() - suffix.size(), suffix.size(), suffix) != 0) {
        return std::nullopt;
    }
    const std::string middle =
        title.substr(prefix.size(), title.size() - prefix.size() - suffix.size());
    const std::size_t digits = middle.find_first_not_of(' ');
    if (digits == std::string::npos ||
        middle.find_first_not_of("0123456789", digits) != std::string::npos) {
        return std::nullopt;
    }
    return std::atoi(middle.c_str() + digits);
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

void RunDisplay::TellTitle(const std::string& text) const {
    if (m_listener != nullptr) {
        m_listener->TitleShown(text);
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

void ConsoleDisplay::ShowStatus(const std::string& text) {
    if (!text.empty()) {
        Print(text);
    }
}

void ConsoleDisplay::SetTitle(const std::string& text) {
    TellTitle(text);
    const auto percent = PercentFromTitle(text);
    if (percent) {
        if (!m_percent) {
            m_transferStartMs = m_clock.NowMs();
            m_lastPlainTenth = -1;
        }
        m_percent = percent;
        return;
    }
    if (m_percent) {
        // The transfer is over: keep its last line on the screen.
        if (!m_terminal && m_lastPlainTenth < 10) {
            Print(FormatTransferLine(Progress()));
        }
        EndLiveLine();
        m_percent.reset();
    }
}

TransferProgress ProgressAt(int percent, int position, std::int64_t imageSize,
                            std::uint64_t elapsedMs) {
    TransferProgress p;
    p.percent = percent;
    p.total = imageSize;
    p.bytes = std::clamp<std::int64_t>((position - 1) * kBlockBytes, 0, imageSize);
    p.elapsedMs = elapsedMs;
    return p;
}

TransferProgress ConsoleDisplay::Progress() const {
    return ProgressAt(m_percent.value_or(0), m_position, m_imageSize,
                      m_clock.NowMs() - m_transferStartMs);
}

void ConsoleDisplay::RepaintAndShow() {
    if (!m_percent) {
        return;
    }
    const TransferProgress p = Progress();
    if (m_terminal) {
        DrawLive(FormatTransferLine(p));
        return;
    }
    const int tenth = std::clamp(p.percent, 0, 100) / 10;
    if (tenth > m_lastPlainTenth) {
        m_lastPlainTenth = tenth;
        Print(FormatTransferLine(p));
    }
}

void ConsoleDisplay::SetProgressRange(int high) {
    m_high = high;
    // A new range starts a new operation: the previous bar is left as it stands.
    EndLiveLine();
}

void ConsoleDisplay::StepProgress() {
    m_position += m_increment;
    if (m_terminal && !m_percent) {
        DrawLive(FormatStepLine(m_position, m_high));
    }
}

}  // namespace vantrel::cli
