#pragma once

#include <string>

namespace vantrel {

// Numeric ids of the controls, the way the program addresses them.
namespace control_id {
inline constexpr int kRun = 1;
inline constexpr int kExit = 2;
inline constexpr int kPortList = 1002;
inline constexpr int kSerial = 1003;
inline constexpr int kProgress = 1004;
inline constexpr int kFunctionBlankCheck = 1008;
inline constexpr int kFunctionMemoryTest = 1009;
inline constexpr int kFunctionErase = 1010;
inline constexpr int kFunctionDownload = 1011;
inline constexpr int kFunctionAuto = 1012;
inline constexpr int kFunctionRestart = 1013;
inline constexpr int kOpenTarget = 1018;
inline constexpr int kTargetFile = 1019;
inline constexpr int kFunctionFrame = 1025;
inline constexpr int kStatus = 1027;
}  // namespace control_id

// What the session reports through while it runs, and how it steers the Run button and the
// function selection. The main window implements it on its controls; the console front end
// on its terminal; tests with a recorder.
//
// StatusText and TargetFile are fields: the window shows them only when RefreshControls (or
// SetStatus) writes them into the controls, and CollectControls reads them back.
class OperatorDisplay {
public:
    virtual ~OperatorDisplay() = default;

    // Sets StatusText, writes the fields into the controls, repaints at once and shows the
    // window (visible and active), so the text is seen before the caller goes on waiting.
    virtual void SetStatus(const std::string& text) = 0;
    virtual std::string StatusText() const = 0;
    // Path of the image to download; empty when none was chosen.
    virtual std::string TargetFile() const = 0;

    // Sets the window's caption.
    virtual void SetTitle(const std::string& text) = 0;
    // Writes the fields (TargetFile, StatusText) into their controls.
    virtual void RefreshControls() = 0;
    // Copies what the controls show back into the fields.
    virtual void CollectControls() = 0;
    // Repaints at once, then shows the window as SetStatus does.
    virtual void RepaintAndShow() = 0;

    // The progress bar: range 0..high, step increment, position, and one step.
    virtual void SetProgressRange(int high) = 0;
    virtual void SetProgressStep(int increment) = 0;
    virtual void SetProgressPos(int position) = 0;
    virtual void StepProgress() = 0;

    // The Run button (control 1).
    virtual void SetRunCaption(const std::string& caption) = 0;
    virtual void EnableRun(bool enabled) = 0;
    virtual void FocusRun() = 0;

    // Checks radio button `id` of the function group 1008..1013 and clears the other five.
    virtual void CheckFunction(int id) = 0;
    // The checked radio button of the function group, or 0 when none is checked.
    virtual int CheckedFunction() const = 0;
};

}  // namespace vantrel
