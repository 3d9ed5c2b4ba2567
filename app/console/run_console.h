#pragma once
// An upgrade run on a terminal: the options of `kelvane-cli run`, the view that draws the device
// list (a table redrawn in place on a terminal, one line per change otherwise), and the run itself.
// Used by every sub-command that runs an upgrade.
#include <cstdint>
#include <map>
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
    std::string results;  // file to write the results to, or empty
    int devices = 0;      // end once this many devices have an outcome (0: never)
    int idleSeconds = 0;  // end after this long without a device message, once one has an outcome
    int logLevel = -1;    // -1: as "Config.ini" says
    // When set, receives every device's result once the run has stopped (the demo checks them).
    std::vector<DeviceResult>* finalResults = nullptr;
};

// Runs until Ctrl-C/SIGTERM or an end condition; 0 every offered device succeeded, 1 any failed or
// is unfinished (or the results could not be written), 2 the run could not start.
int RunUpgrade(const RunOptions& options);

class ConsoleRunView : public IKelvaneView {
public:
    explicit ConsoleRunView(bool terminal) : m_terminal(terminal) {}

    void SetItemText(int item, const std::string& text) override;
    void EnableItem(int, bool) override {}
    void ShowItem(int, bool) override {}
    void SetComboItems(int item, const std::vector<std::string>& entries, int selected) override;
    void ShowMessage(const std::string& text, const std::string& caption, MessageIcon icon) override;
    // Nobody answers at a console: a question gets OK, as a close on Ctrl-C means to stop.
    bool Confirm(const std::string&, const std::string&) override { return true; }
    void OnRowInserted(int row, const std::string& numberText) override;
    void OnCellChanged(int row, int column, const std::string& text) override;
    void OnEnsureVisible(int) override {}
    void OnAllRowsDeleted() override;

    std::string FirstAddress();
    void Started(int64_t steadyMs);
    // Draws what changed since the last call, with each row's outcome from `results`.
    void Render(const std::vector<DeviceResult>& results);
    // Prints the operator's messages so far to standard error, leaving out one containing `except`.
    void PrintMessages(const std::string& except = "");
    void Note(const std::string& line);
    void Finish(const std::vector<DeviceResult>& results);

private:
    using Row = std::vector<std::string>;
    std::string RowLine(const Row& row, const std::string& outcome) const;

    const bool m_terminal;
    std::mutex m_mutex;
    std::vector<Row> m_rows;
    std::map<int, bool> m_dirty;  // rows changed since the last Render
    std::vector<std::string> m_messages;
    std::vector<std::string> m_addresses;
    std::string m_success = "0", m_fail = "0";
    int64_t m_startMs = 0;
    int m_drawnLines = 0;  // lines of the table on screen, redrawn in place
    std::map<int, std::string> m_shownOutcome;
};
