#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "serial/clock.h"
#include "session/operator_display.h"
#include "session/session_events.h"

namespace vantrel::cli {

// Told of what the session shows, for the update record.
class DisplayListener {
public:
    virtual ~DisplayListener() = default;
    virtual void StatusShown(const std::string& text) = 0;
};

// How one function of a run ended, as the console and the station tell it.
struct FunctionResult {
    std::string name;     // "auto", "restart", ...
    bool ok = false;
    std::string outcome;  // what the operator is told ("!!! Download Completed !!!", ...)
    std::string reason;   // for a failure, the boot loader's or the program's words; else empty
    std::uint64_t durationMs = 0;
    bool boxed = false;   // the window would show `outcome` in a message box; otherwise the
                          // status line already said it
};

// What a console run needs of its display beyond the session's: its own lines, the outcome of
// each function, and the session's typed events (phases, transfer progress). The console
// prints it on one terminal; the station shows each port as a row of its board. Both keep the
// session's settings the same way and show a status only when it changes; the window's
// controls (title, caption, Run button) do not exist on a console.
class RunDisplay : public OperatorDisplay, public SessionEvents {
public:
    void SetListener(DisplayListener* listener) { m_listener = listener; }
    void SetTargetFile(const std::string& path) { m_target = path; }
    // Shows a line of the console's own, after any live line.
    virtual void Message(const std::string& text) = 0;
    // A function has ended.
    virtual void FunctionEnded(const FunctionResult& result) = 0;

    void SetStatus(const std::string& text) final;
    std::string StatusText() const final { return m_status; }
    std::string TargetFile() const final { return m_target; }
    void SetTitle(const std::string&) final {}
    void RefreshControls() final {}
    void CollectControls() final {}
    void RepaintAndShow() final {}
    void SetProgressRange(int high) override { m_high = high; }
    void SetProgressStep(int increment) final { m_increment = increment; }
    void SetProgressPos(int position) final { m_position = position; }
    void SetRunCaption(const std::string&) final {}
    void EnableRun(bool) final {}
    void FocusRun() final {}
    void CheckFunction(int id) final { m_checked = id; }
    int CheckedFunction() const final { return m_checked; }

protected:
    // A status line that differs from the one shown before.
    virtual void ShowStatus(const std::string& text) = 0;

    std::string m_target;
    int m_high = 0;
    int m_increment = 1;
    int m_position = 0;

private:
    DisplayListener* m_listener = nullptr;
    std::string m_status;
    bool m_statusShown = false;
    int m_checked = 0;
};

// One moment of a transfer, as the progress line shows it.
struct TransferFigures {
    int percent = 0;              // of the image's bytes acknowledged (100 for an empty image)
    std::int64_t bytes = 0;       // acknowledged so far, at most the image's size
    std::int64_t total = 0;       // the image's size
    std::uint64_t elapsedMs = 0;  // since the transfer began
    int repeats = 0;              // sendings of the current block beyond its first
};

// The progress line's figures from the sender's state, `elapsedMs` after the transfer began.
TransferFigures FiguresOf(const TransferState& state, std::uint64_t elapsedMs);

// Bytes a second since the transfer began; 0 until a block has been acknowledged.
double BytesPerSecond(const TransferFigures& figures);
// "  3.6 KiB/s  0:17 left" from the measured rate, or "  -- KiB/s  --:-- left" until a block
// has been acknowledged.
std::string RateAndTimeLeft(const TransferFigures& figures);

// Width of the bar in characters, between the brackets.
inline constexpr int kBarWidth = 24;

// "[#########---------------]  37%  37888/102400 B  3.6 KiB/s  0:17 left": the bar shows the
// bytes acknowledged out of the image's size (the percentage for an empty image); rate and
// time left come from the measured rate and read "--" until a block has been acknowledged.
std::string FormatTransferLine(const TransferFigures& figures);

// "[#####-------------------] 3/7": the progress of a blank check or an erase. The bar and the
// count clamp at the high bound.
std::string FormatStepLine(int position, int high);

// The operator display on a console. Status lines are printed as they change. On a terminal
// the progress bar is one live line redrawn in place (with bytes, rate and time left during a
// transfer); otherwise a transfer prints a plain progress line at every tenth and at the end.
class ConsoleDisplay final : public RunDisplay {
public:
    ConsoleDisplay(std::FILE* out, bool terminal, Clock& clock);

    void Message(const std::string& text) override;
    void FunctionEnded(const FunctionResult& result) override;
    void SetProgressRange(int high) override;
    void StepProgress() override;

    void PhaseBegun(Phase phase) override;
    void PhaseEnded(Phase phase, const Outcome& outcome) override;
    void TransferProgress(const TransferState& state) override;

private:
    void ShowStatus(const std::string& text) override;
    void Print(const std::string& line);
    void EndLiveLine();
    void DrawLive(const std::string& line);
    TransferFigures Figures() const;

    std::FILE* m_out;
    bool m_terminal;
    Clock& m_clock;
    bool m_liveLine = false;
    // A running transfer: where it stands and when it began.
    bool m_inTransfer = false;
    TransferState m_transfer;
    std::uint64_t m_transferStartMs = 0;
    int m_lastPlainTenth = -1;
};

}  // namespace vantrel::cli
