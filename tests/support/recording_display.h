#pragma once

#include <functional>
#include <string>
#include <vector>

#include "session/operator_display.h"

namespace vantrel::test {

// An operator display that remembers what it was told, for tests to compare. The texts the
// operator reads go to Log() in order, as "status:TEXT" and "title:TEXT".
class RecordingDisplay final : public OperatorDisplay {
public:
    void SetStatus(const std::string& text) override {
        m_status = text;
        m_log.push_back("status:" + text);
    }
    std::string StatusText() const override { return m_status; }
    std::string TargetFile() const override { return m_target; }
    void SetTitle(const std::string& text) override {
        m_title = text;
        m_log.push_back("title:" + text);
    }
    void RefreshControls() override {}
    void CollectControls() override {}
    void RepaintAndShow() override {}
    void SetProgressRange(int high) override { m_high = high; }
    void SetProgressStep(int increment) override { m_increment = increment; }
    void SetProgressPos(int position) override { m_pos = position; }
    void StepProgress() override {
        m_pos += m_increment;
        ++m_steps;
        if (m_onStep) {
            m_onStep(m_steps);  // to change the world in the middle of a transfer
        }
    }
    void SetRunCaption(const std::string&) override {}
    void EnableRun(bool enabled) override { m_runEnabled = enabled; }
    void FocusRun() override {}
    void CheckFunction(int id) override { m_checked = id; }
    int CheckedFunction() const override { return m_checked; }

    void SetTargetFile(const std::string& path) { m_target = path; }
    const std::vector<std::string>& Log() const { return m_log; }
    void ClearLog() { m_log.clear(); }
    // Only the entries that start with `prefix` (e.g. "status:").
    std::vector<std::string> LogOf(const std::string& prefix) const {
        std::vector<std::string> out;
        for (const auto& e : m_log) {
            if (e.rfind(prefix, 0) == 0) {
                out.push_back(e.substr(prefix.size()));
            }
        }
        return out;
    }
    const std::string& Title() const { return m_title; }
    bool RunEnabled() const { return m_runEnabled; }
    int ProgressPos() const { return m_pos; }
    int ProgressHigh() const { return m_high; }
    int ProgressSteps() const { return m_steps; }
    // Called with the number of steps so far, after each step.
    void OnStep(std::function<void(int)> action) { m_onStep = std::move(action); }

private:
    std::function<void(int)> m_onStep;
    std::vector<std::string> m_log;
    std::string m_status;
    std::string m_target;
    std::string m_title = "Vantrel";
    int m_checked = 0;
    int m_high = 15;
    int m_increment = 1;
    int m_pos = 0;
    int m_steps = 0;
    bool m_runEnabled = false;
};

}  // namespace vantrel::test
