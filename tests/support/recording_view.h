#pragma once
// A front end for tests: records every call the core makes, in order.
#include <mutex>
#include <string>
#include <vector>

#include "app/kelvane_view.h"

namespace testsupport {

class RecordingView : public IKelvaneView {
public:
    void SetItemText(int item, const std::string& text) override {
        Record("text " + std::to_string(item) + " " + text);
    }
    void EnableItem(int item, bool enable) override {
        Record("enable " + std::to_string(item) + (enable ? " 1" : " 0"));
    }
    void ShowItem(int item, bool show) override { Record("show " + std::to_string(item) + (show ? " 1" : " 0")); }
    void SetComboItems(int item, const std::vector<std::string>& entries, int selected) override {
        Record("combo " + std::to_string(item) + " " + std::to_string(entries.size()) + " " + std::to_string(selected));
    }
    void ShowMessage(const std::string& text, const std::string& caption, MessageIcon) override {
        Record("message " + caption + ": " + text);
    }
    // The operator always confirms.
    bool Confirm(const std::string& text, const std::string& caption) override {
        Record("confirm " + caption + ": " + text);
        return true;
    }
    void OnRowInserted(int row, const std::string& numberText) override {
        Record("insert " + std::to_string(row) + " " + numberText);
    }
    void OnCellChanged(int row, int column, const std::string& text) override {
        Record("cell " + std::to_string(row) + " " + std::to_string(column) + " " + text);
    }
    void OnEnsureVisible(int row) override { Record("visible " + std::to_string(row)); }
    void OnAllRowsDeleted() override { Record("clear"); }

    // The rest of the last call that starts with `prefix`; empty when none did.
    std::string Last(const std::string& prefix) {
        const std::vector<std::string> calls = Calls();
        for (auto it = calls.rbegin(); it != calls.rend(); ++it) {
            if (it->rfind(prefix, 0) == 0) return it->substr(prefix.size());
        }
        return "";
    }
    std::string ItemText(int item) { return Last("text " + std::to_string(item) + " "); }
    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }

private:
    void Record(const std::string& call) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_calls.push_back(call);
    }
    std::mutex m_mutex;
    std::vector<std::string> m_calls;
};

}  // namespace testsupport
