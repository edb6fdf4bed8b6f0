#pragma once

#include <functional>
#include <string>

#include "session/operator_display.h"

namespace vantrel::test {

// An operator display that shows nothing; it only counts the progress steps and can act on
// each one (to change the world in the middle of a transfer).
class QuietDisplay final : public OperatorDisplay {
public:
    void SetStatus(const std::string&) override {}
    std::string StatusText() const override { return {}; }
    std::string TargetFile() const override { return {}; }
    void SetTitle(const std::string&) override {}
    void RefreshControls() override {}
    void CollectControls() override {}
    void RepaintAndShow() override {}
    void SetProgressRange(int) override {}
    void SetProgressStep(int) override {}
    void SetProgressPos(int) override {}
    void StepProgress() override {
        ++m_steps;
        if (m_onStep) {
            m_onStep(m_steps);
        }
    }
    void SetRunCaption(const std::string&) override {}
    void EnableRun(bool) override {}
    void FocusRun() override {}
    void CheckFunction(int) override {}
    int CheckedFunction() const override { return 0; }

    // Called with the number of steps so far, after each step.
    void OnStep(std::function<void(int)> action) { m_onStep = std::move(action); }
    int Steps() const { return m_steps; }

private:
    std::function<void(int)> m_onStep;
    int m_steps = 0;
};

}  // namespace vantrel::test
