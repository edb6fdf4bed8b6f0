#pragma once

#include <cstdint>
#include <cstdio>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "console_display.h"
#include "serial/clock.h"

namespace vantrel::cli {

// A terminal's size in character cells; 0 where it is not known.
struct TerminalSize {
    int rows = 0;
    int columns = 0;
};

// The station's overview. On a terminal it is a board of one row per port and the totals,
// redrawn in place by Redraw, never taller than the terminal (busy and failed rows first, the
// rest counted on one line) and drawn again only when something on it changed; otherwise each
// event is printed at once as a line prefixed by its port ("COM4 model 2: ...").
//
// Thread contract: any thread may call anything after the rows were added (AddRow, SetLimit
// and SetOnChange come first, on one thread); every call takes the board's lock, and the
// change callback is called without it.
class StationBoard {
public:
    using SizeFunction = std::function<TerminalSize()>;

    // `size` tells the terminal's size at each drawing; by default the terminal of `out` is
    // asked.
    StationBoard(std::FILE* out, bool terminal, SizeFunction size = {});

    // Called when a terminal board has something new to draw (once until it is drawn).
    void SetOnChange(std::function<void()> onChange) { m_onChange = std::move(onChange); }
    // Adds a row; returns its index.
    std::size_t AddRow(const std::string& name, const std::string& device);
    // Instruments to handle before the station ends (0: no limit), for the totals.
    void SetLimit(int limit) { m_limit = limit; }

    void SetDevice(std::size_t row, const std::string& device);
    // The model of the instrument on the port; -1 while none is.
    void SetModel(std::size_t row, int model);
    // What the port is doing ("waiting", "erase 3/7", ...).
    void SetPhase(std::size_t row, const std::string& phase);
    // A running transfer's progress; nothing once it is over.
    void SetTransfer(std::size_t row, const std::optional<TransferFigures>& progress);
    // Something that happened on the port: a line of its own when not on a terminal.
    void Event(std::size_t row, const std::string& text);
    // An instrument was handled: whether every function succeeded, and its last result (the
    // outcome and, for a failure, why). The row's counts and the totals follow from these.
    void Handled(std::size_t row, bool ok, const std::string& last);
    // An instrument was declined (`text` says why): a failure of the row, but not handled.
    void Declined(std::size_t row, const std::string& text);
    // The row's last result without an instrument handled (one not taken, say).
    void SetLast(std::size_t row, const std::string& last);
    // A line about the whole station (stopping, the summary); the latest one is shown.
    void Note(const std::string& text);
    // A failure of the station's own (a record line lost): stays at the end of the board.
    void Alert(const std::string& text);

    // On a terminal: draws the board again when something changed since it was last drawn.
    // True when it drew.
    bool Redraw();
    // Draws the board a last time and leaves it on the screen, so that later lines follow it.
    void Close();

private:
    struct Row {
        std::string name;
        std::string device;
        int model = -1;
        std::string phase = "starting";
        std::optional<TransferFigures> transfer;
        std::string last;
        bool lastFailed = false;
        int done = 0;
        int failed = 0;
        int declined = 0;
    };
    std::string Label(const Row& row) const;
    std::string RowLine(const Row& row, int width) const;
    // Characters of the name column: the longest name (a job's slot names are up to 16).
    int NameWidth() const;
    std::string Footer() const;
    std::vector<std::string> Lines(TerminalSize size) const;
    TerminalSize Size() const;
    // Marks the board changed; true when the change callback is due.
    bool Changed();
    void Print(const std::string& line);
    template <typename T>
    void Set(std::size_t row, T Row::*field, const T& value);

    std::mutex m_mutex;
    std::FILE* m_out;
    bool m_terminal;
    SizeFunction m_size;
    std::function<void()> m_onChange;
    std::vector<Row> m_rows;
    std::string m_note;
    std::vector<std::string> m_alerts;
    int m_limit = 0;
    bool m_dirty = true;
    int m_drawnLines = 0;  // lines of the board on the screen, to go back over
};

// One port's operator display: the session on that port shows itself through it in the
// port's row of the board, from its typed events; its status lines and messages are the
// port's events.
//
// Thread contract: used on its port's thread only.
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

// The last result of a function as the board and the lines show it: its outcome and, when it
// failed for a reason of its own, that reason ("!!! Download ABORTED !!!: ... protected").
std::string LastResult(const std::string& outcome, const std::string& reason);

}  // namespace vantrel::cli
