#include "app/console/run_console.h"

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <memory>
#include <set>
#include <string>

#include "app/console/console_command.h"
#include "app/kelvane_dlg.h"
#include "firmware/fmw_header.h"
#include "log/log.h"
#include "platform/local_time.h"

namespace {

const char* const kHeadings[] = {"No.", "IP address", "State", "Progress", "Before", "After", "Outcome"};
const int kWidths[] = {4, 15, 28, 8, 22, 22, 10};

// Columns a text takes on a terminal: CJK characters take two.
int DisplayWidth(const std::string& text) {
    int width = 0;
    for (size_t i = 0; i < text.size();) {
        unsigned char c = static_cast<unsigned char>(text[i]);
        int length = c < 0x80 ? 1 : c < 0xE0 ? 2 : c < 0xF0 ? 3 : 4;
        uint32_t cp = c;
        if (length > 1 && i + length <= text.size()) {
            cp = c & (0x7F >> length);
            for (int k = 1; k < length; ++k) cp = (cp << 6) | (static_cast<unsigned char>(text[i + k]) & 0x3F);
        }
        bool wide = (cp >= 0x1100 && cp <= 0x115F) || (cp >= 0x2E80 && cp <= 0xA4CF) || (cp >= 0xAC00 && cp <= 0xD7A3) ||
                    (cp >= 0xF900 && cp <= 0xFAFF) || (cp >= 0xFE30 && cp <= 0xFE4F) || (cp >= 0xFF00 && cp <= 0xFF60) ||
                    (cp >= 0xFFE0 && cp <= 0xFFE6);
        width += wide ? 2 : 1;
        i += static_cast<size_t>(length);
    }
    return width;
}

std::string Pad(const std::string& text, int width) {
    return text + std::string(static_cast<size_t>(std::max(0, width - DisplayWidth(text))), ' ');
}

std::string Elapsed(int64_t ms) {
    char text[32];
    std::snprintf(text, sizeof text, "%02d:%02d", static_cast<int>(ms / 60000), static_cast<int>(ms / 1000 % 60));
    return text;
}

}  // namespace

void ConsoleRunView::SetItemText(int item, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (item == IDC_STATIC_SUCCESS) m_success = text;
    if (item == IDC_STATIC_FAIL) m_fail = text;
}

void ConsoleRunView::SetComboItems(int item, const std::vector<std::string>& entries, int) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (item == IDC_COMBO_LOCAL_IP) m_addresses = entries;
}

void ConsoleRunView::ShowMessage(const std::string& text, const std::string& caption, MessageIcon) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::string line = caption.empty() ? text : caption + ": " + text;
    for (char& c : line) c = c == '\n' ? ' ' : c;
    m_messages.push_back(line);
}

void ConsoleRunView::OnRowInserted(int row, const std::string& numberText) {
    std::lock_guard<std::mutex> lock(m_mutex);
    row = std::clamp(row, 0, static_cast<int>(m_rows.size()));
    Row added(6);
    added[0] = numberText;
    m_rows.insert(m_rows.begin() + row, added);
    m_dirty[row] = true;
}

void ConsoleRunView::OnCellChanged(int row, int column, const std::string& text) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (row < 0 || row >= static_cast<int>(m_rows.size()) || column < 0 || column >= 6) return;
    if (m_rows[static_cast<size_t>(row)][static_cast<size_t>(column)] == text) return;
    m_rows[static_cast<size_t>(row)][static_cast<size_t>(column)] = text;
    m_dirty[row] = true;
}

void ConsoleRunView::OnAllRowsDeleted() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_rows.clear();
    m_dirty.clear();
    m_shownOutcome.clear();
}

std::string ConsoleRunView::FirstAddress() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_addresses.empty() ? "" : m_addresses.front();
}

void ConsoleRunView::Started(int64_t steadyMs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_startMs = steadyMs;
}

std::string ConsoleRunView::RowLine(const Row& row, const std::string& outcome) const {
    std::string line;
    for (size_t c = 0; c < 6; ++c) line += Pad(row[c], kWidths[c]) + " ";
    return line + outcome;
}

void ConsoleRunView::PrintMessages(const std::string& except) {
    std::vector<std::string> messages;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        messages.swap(m_messages);
    }
    for (const std::string& message : messages) {
        if (except.empty() || message.find(except) == std::string::npos) std::fprintf(stderr, "%s\n", message.c_str());
    }
}

void ConsoleRunView::Note(const std::string& line) {
    std::lock_guard<std::mutex> lock(m_mutex);
    // On a terminal the note goes where the table was; the next Render draws the table below it.
    if (m_terminal && m_drawnLines > 0) std::printf("\x1b[%dA\x1b[J", m_drawnLines);
    std::printf("%s\n", line.c_str());
    m_drawnLines = 0;
    for (size_t r = 0; r < m_rows.size(); ++r) m_dirty[static_cast<int>(r)] = true;
    std::fflush(stdout);
}

void ConsoleRunView::Render(const std::vector<DeviceResult>& results) {
    std::map<int, std::string> outcomes;
    for (const DeviceResult& r : results) {
        if (r.row >= 0 && r.outcome != DeviceOutcome::Unfinished) outcomes[r.row] = OutcomeName(r.outcome);
    }
    PrintMessages();
    std::lock_guard<std::mutex> lock(m_mutex);
    for (const auto& [row, outcome] : outcomes) {
        if (m_shownOutcome[row] != outcome) m_dirty[row] = true;
    }
    int64_t elapsed = platform::SteadyMs() - m_startMs;
    if (!m_terminal) {
        for (const auto& [row, dirty] : m_dirty) {
            if (row >= static_cast<int>(m_rows.size())) continue;
            m_shownOutcome[row] = outcomes[row];
            std::printf("[%s] %s\n", Elapsed(elapsed).c_str(),
                        RowLine(m_rows[static_cast<size_t>(row)], outcomes[row]).c_str());
        }
        m_dirty.clear();
        std::fflush(stdout);
        return;
    }
    // On a terminal: the whole table again, in place, every tick (the clock moves on).
    std::string out;
    if (m_drawnLines > 0) out += "\x1b[" + std::to_string(m_drawnLines) + "A\x1b[J";
    std::string heading;
    for (size_t c = 0; c < 7; ++c) heading += Pad(kHeadings[c], c < 6 ? kWidths[c] : 0) + (c < 6 ? " " : "");
    out += heading + "\n";
    for (size_t r = 0; r < m_rows.size(); ++r) {
        m_shownOutcome[static_cast<int>(r)] = outcomes[static_cast<int>(r)];
        out += RowLine(m_rows[r], outcomes[static_cast<int>(r)]) + "\n";
    }
    int noUpgrade = 0;
    for (const DeviceResult& r : results) noUpgrade += r.outcome == DeviceOutcome::NoUpgrade;
    out += "Succeeded: " + m_success + "   Failed: " + m_fail + "   Up to date: " + std::to_string(noUpgrade) +
           "   Devices: " + std::to_string(results.size()) + "   Elapsed: " + Elapsed(elapsed) +
           "   (Ctrl-C stops)\n";
    m_drawnLines = static_cast<int>(m_rows.size()) + 2;
    m_dirty.clear();
    std::fputs(out.c_str(), stdout);
    std::fflush(stdout);
}

void ConsoleRunView::Finish(const std::vector<DeviceResult>& results) {
    PrintMessages();
    int counts[4] = {};
    for (const DeviceResult& r : results) ++counts[static_cast<int>(r.outcome)];
    std::printf("Run ended: %zu device%s, %d succeeded, %d failed, %d unfinished, %d up to date\n", results.size(),
                results.size() == 1 ? "" : "s", counts[static_cast<int>(DeviceOutcome::Succeeded)],
                counts[static_cast<int>(DeviceOutcome::Failed)], counts[static_cast<int>(DeviceOutcome::Unfinished)],
                counts[static_cast<int>(DeviceOutcome::NoUpgrade)]);
    for (const DeviceResult& r : results) {
        if (r.outcome == DeviceOutcome::Failed || r.outcome == DeviceOutcome::Unfinished) {
            std::printf("  %s %s: %s%s%s\n", r.mac.c_str(), r.lentAddress.c_str(), OutcomeName(r.outcome),
                        r.stateText.empty() ? "" : ", last state ", r.stateText.c_str());
        }
    }
    std::fflush(stdout);
}

namespace {

constexpr int kTickMs = 200;

void NarrateToLog(const char* line) { LogMessage(LOG_INFO, "%s", line); }

// Every device that was offered a file succeeded: 0; any failed or unfinished: 1.
int ExitStatusOf(const std::vector<DeviceResult>& results) {
    for (const DeviceResult& r : results) {
        if (r.outcome == DeviceOutcome::Failed || r.outcome == DeviceOutcome::Unfinished) return 1;
    }
    return 0;
}

// A device has an outcome that ends a run when it was offered a file and it succeeded or failed,
// or when it was told that it is up to date with a model the folder has: a host that invents
// requests of a model the folder does not know cannot end a run.
bool Settled(const DeviceResult& r, const std::set<std::string>& catalogued) {
    if (r.outcome == DeviceOutcome::NoUpgrade) return catalogued.count(r.model) != 0;
    return r.outcome != DeviceOutcome::Unfinished;
}

bool EndConditionMet(const RunOptions& options, const CKelvaneDlg& dlg, const std::vector<DeviceResult>& results) {
    std::set<std::string> catalogued;  // as the results show models
    for (const UpgradeFileInfo& entry : dlg.m_vecUpgradeFileInfo) catalogued.insert(GbkToDisplayText(entry.szModel));
    int settled = 0;
    for (const DeviceResult& r : results) settled += Settled(r, catalogued);
    if (options.devices > 0 && settled >= options.devices) return true;
    if (options.idleSeconds > 0 && settled > 0) {
        int64_t last = dlg.m_nLastDeviceMessageMs.load();
        if (last > 0 && platform::SteadyMs() - last >= static_cast<int64_t>(options.idleSeconds) * 1000) return true;
    }
    return false;
}

}  // namespace

int RunUpgrade(const RunOptions& options) {
    // Stop signals are taken by the loop below only; every thread started from here inherits the mask.
    const sigset_t stopSignals = BlockStopSignals();

    ConsoleRunView view(isatty(STDOUT_FILENO) != 0);
    CKelvaneDlg dlg;
    if (options.lang == "en") dlg.m_wLangID = 1033;
    if (options.lang == "zh") dlg.m_wLangID = 2052;
    dlg.SetView(&view);
    dlg.InitDialogState();
    if (options.logLevel >= 0) LogInit(options.logLevel, "Upgrade.log");
    // The container reader's narration would tear the table apart: it goes to the log here.
    SetFmwNarrationSink(NarrateToLog);

    std::string address = options.address.empty() ? view.FirstAddress() : options.address;
    dlg.SetItemInput(IDC_EDIT_PATH, options.folder);
    dlg.SetItemInput(IDC_COMBO_LOCAL_IP, address);
    dlg.OnChkForceOld(options.forceOld);
    dlg.OnChkIpCheck(options.ipCheck);
    std::printf("Kelvane run on %s%s, firmware folder %s\n", address.empty() ? "(no local address)" : address.c_str(),
                options.address.empty() && !address.empty() ? " (the first local address)" : "",
                options.folder.c_str());
    std::fflush(stdout);

    dlg.OnBtnStart();
    if (!dlg.IsRunning()) {
        view.PrintMessages(dlg.LastStartError());
        std::fprintf(stderr, "kelvane-cli run: not started: %s\n", dlg.LastStartError().c_str());
        dlg.SetView(nullptr);
        return 2;
    }
    view.Started(platform::SteadyMs());

    timespec tick{0, kTickMs * 1000000L};
    bool interrupted = false;
    for (;;) {
        siginfo_t info{};
        if (sigtimedwait(&stopSignals, &info, &tick) > 0) {
            interrupted = true;
            break;
        }
        std::vector<DeviceResult> results = dlg.ResultsSnapshot();
        view.Render(results);
        if (EndConditionMet(options, dlg, results)) break;
    }

    view.Note(interrupted ? "Stopping the run (interrupted)..." : "Stopping the run...");
    dlg.OnBtnStart();
    std::vector<DeviceResult> results = dlg.ResultsSnapshot();
    view.Render(results);
    view.Finish(results);
    dlg.SetView(nullptr);
    SetFmwNarrationSink(nullptr);

    int status = ExitStatusOf(results);

    if (options.finalResults != nullptr) *options.finalResults = results;
    if (!options.results.empty()) {
        std::string error;
        if (WriteResultsFile(results, options.results, &error)) {
            std::printf("Results written to %s\n", options.results.c_str());
        } else {
            std::fprintf(stderr, "kelvane-cli run: %s\n", error.c_str());
            status = status == 0 ? 1 : status;
        }
    }
    return status;
}
