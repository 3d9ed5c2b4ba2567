#pragma once
// A front end for tests: records every call the core makes, in order.
#include <functional>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "app/kelvane_view.h"

namespace testsupport {

class RecordingView : public IKelvaneView {
public:
    void SetItemText(int item, const std::string& text) override {
        Record("text " + std::to_string(item) + " " + text, [&] { m_itemText[item] = text; });
    }
    void EnableItem(int item, bool enable) override {
        Record("enable " + std::to_string(item) + (enable ? " 1" : " 0"), [&] { m_enabled[item] = enable; });
    }
    void ShowItem(int item, bool show) override {
        Record("show " + std::to_string(item) + (show ? " 1" : " 0"), [&] { m_shown[item] = show; });
    }
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

    std::string ItemText(int item) {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_itemText[item];
    }
    std::vector<std::string> Calls() {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_calls;
    }
    // The messages shown so far, in order.
    std::vector<std::string> Messages() {
        std::vector<std::string> messages;
        for (const std::string& call : Calls()) {
            if (call.rfind("message ", 0) == 0) messages.push_back(call.substr(8));
        }
        return messages;
    }

    std::map<int, bool> m_enabled;
    std::map<int, bool> m_shown;

private:
    void Record(const std::string& call, const std::function<void()>& also = {}) {
        std::lock_guard<std::mutex> lock(m_mutex);
        if (also) also();
        m_calls.push_back(call);
    }
    std::mutex m_mutex;
    std::map<int, std::string> m_itemText;
    std::vector<std::string> m_calls;
};

}  // namespace testsupport
