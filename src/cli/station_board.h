#pragma once

#include <cstdint>
#include <cstdio>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "console_display.h"
#include "serial/clock.h"

namespace vantrel::cli {

// The station's overview, shared by the ports' threads (every call takes the board's lock).
// On a terminal it is a board of one row per port, redrawn in place by Redraw; otherwise each
// event is printed at once as a line prefixed by its port ("COM4 model 2: ...").
class StationBoard {
public:
    StationBoard(std::FILE* out, bool terminal, Clock& clock);

    // Adds a row; returns its index. Before the ports' threads start.
    std::size_t AddRow(const std::string& name, const std::string& device);

    void SetDevice(std::size_t row, const std::string& device);
    // The model of the instrument on the port; -1 while none is.
    void SetModel(std::size_t row, int model);
    // What the port is doing ("waiting", "erase 3/7", ...).
    void SetPhase(std::size_t row, const std::string& phase);
    // A running transfer's progress; nothing once it is over.
    void SetTransfer(std::size_t row, const std::optional<TransferFigures>& progress);
    // Something that happened on the port: a line of its own when not on a terminal.
    void Event(std::size_t row, const std::string& text);
    // An instrument was handled: its last outcome and whether every function succeeded.
    void Handled(std::size_t row, bool ok, const std::string& outcome);
    // A line about the whole station (stopping, the summary).
    void Note(const std::string& text);
    // Totals: instruments handled, failed, and the limit (0: none).
    void SetTotals(int handled, int failed, int limit);

    // On a terminal: draws the board again when something changed since it was last drawn.
    void Redraw();
    // Leaves the board on the screen, so that later lines follow it.
    void Close();

private:
    struct Row {
        std::string name;
        std::string device;
        int model = -1;
        std::string phase = "starting";
        std::optional<TransferFigures> transfer;
        std::string last;
        int done = 0;
        int failed = 0;
    };
    std::string Label(const Row& row) const;
    std::string RowLine(const Row& row) const;
    std::string Footer() const;
    int Width() const;

    std::mutex m_mutex;
    std::FILE* m_out;
    bool m_terminal;
    Clock& m_clock;
    std::vector<Row> m_rows;
    std::string m_note;
    int m_handled = 0;
    int m_failed = 0;
    int m_limit = 0;
    bool m_dirty = true;
    int m_drawnLines = 0;  // lines of the board on the screen, to go back over
};

// One port's operator display: the session on that port shows itself through it in the
// port's row of the board.
class PortRowDisplay final : public RunDisplay {
public:
    PortRowDisplay(StationBoard& board, std::size_t row, Clock& clock);

    // While quiet, status lines are not told as events (a missing port tried again and again).
    void SetQuiet(bool quiet) { m_quiet = quiet; }

    void Message(const std::string& text) override;
    void FunctionEnded(const FunctionResult& result) override;
    void StepProgress() override;

    void Identified(int model) override;
    void PhaseBegun(Phase phase) override;
    void PhaseEnded(Phase phase, const Outcome& outcome) override;
    void TransferProgress(const TransferState& state) override;

private:
    void ShowStatus(const std::string& text) override;

    StationBoard& m_board;
    std::size_t m_row;
    Clock& m_clock;
    bool m_quiet = false;
    std::string m_stepPhase;  // the phase a blank check's or erase's steps belong to
    bool m_inTransfer = false;
    std::uint64_t m_transferStartMs = 0;
};

}  // namespace vantrel::cli
