#pragma once

#include <cstdint>
#include <cstdio>
#include <optional>
#include <string>

#include "serial/clock.h"
#include "session/operator_display.h"

namespace vantrel::cli {

// Told of what the session shows, for the update record.
class DisplayListener {
public:
    virtual ~DisplayListener() = default;
    virtual void StatusShown(const std::string& text) = 0;
    virtual void TitleShown(const std::string& text) = 0;
};

// What a console run needs of its display beyond the session's: its own lines (outcomes,
// identification), the image being sent and a listener for the update record. The console
// prints it on one terminal; the station shows each port as a row of its board. Both keep the
// session's settings the same way and show a status only when it changes; the window's
// controls (caption, Run button) do not exist on a console.
class RunDisplay : public OperatorDisplay {
public:
    void SetListener(DisplayListener* listener) { m_listener = listener; }
    void SetTargetFile(const std::string& path) { m_target = path; }
    // Size of the image in bytes, for the bytes shown during a transfer.
    void SetImageSize(std::int64_t size) { m_imageSize = size; }
    // Shows a line of the console's own, after any live line.
    virtual void Message(const std::string& text) = 0;

    void SetStatus(const std::string& text) final;
    std::string StatusText() const final { return m_status; }
    std::string TargetFile() const final { return m_target; }
    void RefreshControls() final {}
    void CollectControls() final {}
    void SetProgressRange(int high) override { m_high = high; }
    void SetProgressStep(int increment) final { m_increment = increment; }
    void SetProgressPos(int position) final { m_position = position; }
    void SetRunCaption(const std::string&) final {}
    void EnableRun(bool) final {}
    void FocusRun() final {}
    void CheckFunction(int id) override { m_checked = id; }
    int CheckedFunction() const final { return m_checked; }

protected:
    // A status line that differs from the one shown before.
    virtual void ShowStatus(const std::string& text) = 0;
    void TellTitle(const std::string& text) const;

    std::string m_target;
    std::int64_t m_imageSize = 0;
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
struct TransferProgress {
    int percent = 0;              // the sender's own figure, from the title
    std::int64_t bytes = 0;       // acknowledged so far
    std::int64_t total = 0;       // the image's size
    std::uint64_t elapsedMs = 0;  // since the first block was sent
    int position = 0;             // progress bar position; may be one past its high bound
    int high = 0;                 // progress bar high bound
};

// Width of the bar in characters, between the brackets.
inline constexpr int kBarWidth = 24;

// "[#########---------------]  37%  37888/102400 B  3.6 KiB/s  0:17 left": the bar shows the
// bytes acknowledged out of the image's size (the percentage for an empty image); rate and
// time left come from the measured rate and read "--" until a block has been acknowledged.
std::string FormatTransferLine(const TransferProgress& progress);

// "[#####-------------------] 3/7": the progress of a blank check or an erase. The bar and the
// count clamp at the high bound.
std::string FormatStepLine(int position, int high);

// The transfer's progress from the sender's percentage, its progress bar position (the
// sender steps the bar once per cycle after setting the title: at position n it has had
// n - 1 blocks acknowledged), the image's size and the time since the first block.
TransferProgress ProgressAt(int percent, int position, std::int64_t imageSize,
                            std::uint64_t elapsedMs);

// The percentage in a title "Vantrel %2.0f%% Sent"; nothing for any other title.
std::optional<int> PercentFromTitle(const std::string& title);

// The operator display on a console. Status lines are printed as they change. On a terminal
// the progress bar is one live line redrawn in place (with bytes, rate and time left during a
// transfer); otherwise a transfer prints a plain progress line at every tenth and at the end.
class ConsoleDisplay final : public RunDisplay {
public:
    ConsoleDisplay(std::FILE* out, bool terminal, Clock& clock);

    void Message(const std::string& text) override;
    void SetTitle(const std::string& text) override;
    void RepaintAndShow() override;
    void SetProgressRange(int high) override;
    void StepProgress() override;

private:
    void ShowStatus(const std::string& text) override;
    void Print(const std::string& line);
    void EndLiveLine();
    void DrawLive(const std::string& line);
    TransferProgress Progress() const;

    std::FILE* m_out;
    bool m_terminal;
    Clock& m_clock;
    bool m_liveLine = false;
    // Transfer: the sender's percentage and when its first block went out.
    std::optional<int> m_percent;
    std::uint64_t m_transferStartMs = 0;
    int m_lastPlainTenth = -1;
};

}  // namespace vantrel::cli
