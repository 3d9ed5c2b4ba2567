#pragma once
// An upgrade run on a terminal: the options of `kelvane-cli run`, the view that shows it (a table
// kept in place on a terminal, one line per change otherwise), and the run itself. Used by every
// sub-command that runs an upgrade.
#include <cstdio>
#include <mutex>
#include <string>
#include <vector>

#include "app/kelvane_view.h"
#include "app/run_results.h"

struct RunOptions {
    std::string folder;
    std::string address;  // empty: the first local address
    bool forceOld = false;
    bool ipCheck = false;
    std::string lang;     // "en", "zh", or empty for the locale's
    std::string results;  // file to keep the results in, or empty
    std::string events;   // file to stream device changes to as JSON lines, "-" for standard output, or empty
    int devices = 0;      // end once this many devices have an outcome (0: never)
    int idleSeconds = 0;  // end after this long without a device message, once one has an outcome
    int logLevel = -1;    // -1: as "Config.ini" says
    // When set, receives every device's result once the run has stopped (the demo checks them).
    std::vector<DeviceResult>* finalResults = nullptr;
};

// Exit statuses of `kelvane-cli run`.
constexpr int kRunAllSucceeded = 0;
constexpr int kRunSomeFailed = 1;  // a device failed or did not finish, or the results could not be kept
constexpr int kRunNotStarted = 2;  // also a usage error
constexpr int kRunNoDevice = 3;    // the run went well but no device asked for anything

// Runs until a stop signal or an end condition and returns one of the statuses above.
int RunUpgrade(const RunOptions& options);

// What the run control tells the operator: messages and the host's addresses. The devices are
// drawn from the run's results, not from the list rows.
class ConsoleRunView : public IKelvaneView {
public:
    explicit ConsoleRunView(bool english) : m_english(english) {}

    void SetItemText(int, const std::string&) override {}
    void EnableItem(int, bool) override {}
    void ShowItem(int, bool) override {}
    void SetComboItems(int item, const std::vector<std::string>& entries, int selected) override;
    void ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon) override;
    // Nobody answers at a console: a question gets OK, as a close on a stop signal means to stop.
    bool Confirm(const std::string&, const std::string&) override { return true; }
    void OnRowInserted(int, const std::string&) override {}
    void OnCellChanged(int, int, const std::string&) override {}
    void OnEnsureVisible(int) override {}
    void OnAllRowsDeleted() override {}

    std::string FirstAddress();
    // The operator's messages so far, in the run's language, leaving out one containing `except`.
    std::vector<std::string> TakeMessages(const std::string& except = "");

private:
    const bool m_english;
    std::mutex m_mutex;
    std::vector<std::string> m_messages;
    std::vector<std::string> m_addresses;
};
