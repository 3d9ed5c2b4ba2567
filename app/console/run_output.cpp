#include "app/console/run_output.h"

#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <nlohmann/json.hpp>

#include "platform/local_time.h"

namespace {

// Progress alone rewrites the results file at most this often; outcomes rewrite it at once.
constexpr int64_t kResultsRewriteMs = 3000;
// Device changes waiting for the next tick; past this a flood of reports is counted, not kept.
constexpr size_t kMaxPendingChanges = 50000;
// Lines of the run kept while the live table is up; a run says far fewer.
constexpr size_t kMaxHeldLines = 2000;

int64_t WallMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}


}  // namespace

void ChangeFeed::Push(const DeviceResult& result) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (m_pending.size() >= kMaxPendingChanges) {
        ++m_dropped;
        return;
    }
    m_pending.push_back({WallMs(), result});
}

std::vector<ChangeFeed::Change> ChangeFeed::Take(size_t* dropped) {
    std::lock_guard<std::mutex> lock(m_mutex);
    *dropped = m_dropped;
    m_dropped = 0;
    std::vector<Change> out;
    out.swap(m_pending);
    return out;
}

std::string EventLine(const ChangeFeed::Change& change) {
    const DeviceResult& r = change.result;
    nlohmann::ordered_json one;
    one["time"] = platform::FormatEpochMs(change.wallMs, true);
    one["mac"] = r.mac;
    one["address"] = r.lentAddress;
    one["event"] = r.event < 0 ? nlohmann::ordered_json() : nlohmann::ordered_json(r.event);
    one["state"] = r.state < 0 ? nlohmann::ordered_json() : nlohmann::ordered_json(r.state);
    one["state_text"] = r.stateText;
    one["progress"] = r.progress;
    one["version_before"] = r.versionBefore;
    one["version_offered"] = r.versionOffered;
    one["outcome"] = OutcomeName(r.outcome);
    return one.dump(-1, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

double DownloadMeter::BytesPerSecond(const std::vector<DeviceResult>& results, int64_t elapsedMs) {
    double bytes = 0;
    for (const DeviceResult& r : results) {
        if (r.fileOffered.empty() || !(r.event > 0 || (r.event == 0 && r.state == 0))) continue;
        bytes += static_cast<double>(SizeOf(r.fileOffered));
    }
    return elapsedMs > 0 ? bytes * 1000.0 / static_cast<double>(elapsedMs) : 0;
}

int64_t DownloadMeter::SizeOf(const std::string& file) {
    auto found = m_sizes.find(file);
    if (found != m_sizes.end()) return found->second;
    struct stat st {};
    int64_t size = stat((m_folder + "/" + file).c_str(), &st) == 0 ? st.st_size : 0;
    // The catalogue holds at most a few hundred files; names come from it, not from devices.
    if (m_sizes.size() < 4096) m_sizes[file] = size;
    return size;
}

RunOutput::RunOutput(FILE* out, bool english)
    : m_out(out), m_terminal(isatty(fileno(out)) != 0), m_table(out), m_english(english) {}

void RunOutput::Line(const std::string& text, FILE* stream) {
    FILE* to = stream != nullptr ? stream : m_out;
    if (m_table.Active()) {
        if (m_held.size() < kMaxHeldLines) m_held.emplace_back(text, to);
        return;
    }
    std::fprintf(to, "%s\n", text.c_str());
    std::fflush(to);
    clearerr(to);
}

void RunOutput::Frame(const std::vector<DeviceResult>& results, const RunHeader& header) {
    if (!m_terminal) return;
    winsize size{};
    int width = 80, height = 24;
    if (ioctl(fileno(m_out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0 && size.ws_row > 0) {
        width = size.ws_col;
        height = size.ws_row;
    }
    // The latest few lines of the run above the table.
    std::vector<std::string> frame;
    const size_t notes = std::min<size_t>(m_held.size(), height > 12 ? 3 : 0);
    for (size_t i = m_held.size() - notes; i < m_held.size(); ++i) {
        frame.push_back(ElideToWidth(m_held[i].first, std::max(10, width - 1)));
    }
    for (std::string& line : BuildTableFrame(results, header, width, height - static_cast<int>(notes))) {
        frame.push_back(std::move(line));
    }
    m_table.Draw(frame, width, height);
}

void RunOutput::Changes(const std::vector<ChangeFeed::Change>& changes, const RunHeader& header) {
    if (m_terminal) return;
    for (const ChangeFeed::Change& change : changes) Line(ChangeLine(change.result, header));
}

void RunOutput::Final(const std::vector<DeviceResult>& results, const RunHeader& header) {
    const RunCounts counts = CountPhases(results);
    const std::string ended = m_english ? "Run ended:" : "升级结束：";
    if (!m_terminal) {
        Line(ended + " " + SummaryLine(counts, header));
        return;
    }
    m_table.Leave();
    for (const auto& [text, stream] : m_held) Line(text, stream);
    m_held.clear();
    winsize size{};
    const int width = ioctl(fileno(m_out), TIOCGWINSZ, &size) == 0 && size.ws_col > 0 ? size.ws_col : 80;
    std::vector<std::string> frame = BuildTableFrame(results, header, width, 0);
    // The title and summary of the frame give way to the closing summary below.
    const std::vector<std::string> summary = SummaryLines(counts, header, std::max(10, width - 1));
    frame.erase(frame.begin(), frame.begin() + 1 + static_cast<std::ptrdiff_t>(summary.size()));
    if (frame.size() > 1) {
        for (const std::string& line : frame) Line(line);
    }
    Line(ended);
    for (const std::string& line : summary) Line(line);
}

void ResultsKeeper::Tick(const std::vector<DeviceResult>& results, bool changed, RunOutput& output) {
    if (m_path.empty()) return;
    m_changed = m_changed || changed;
    int settled = 0;
    for (const DeviceResult& r : results) settled += r.outcome != DeviceOutcome::Unfinished;
    const int64_t now = platform::SteadyMs();
    bool due =
        settled != m_settled || results.size() != m_devices || (m_changed && now - m_lastWriteMs >= kResultsRewriteMs);
    if (!due) return;
    m_settled = settled;
    m_devices = results.size();
    Write(results, "running", output);
}

bool ResultsKeeper::Write(const std::vector<DeviceResult>& results, const char* runState, RunOutput& output) {
    if (m_path.empty()) return true;
    m_lastWriteMs = platform::SteadyMs();
    m_changed = false;
    std::string error;
    bool ok = WriteResultsFile(results, m_path, &error, runState, m_english);
    // Said once per failing stretch, not at every rewrite.
    if (!ok && !m_failing) output.Line("kelvane-cli run: " + error, stderr);
    m_failing = !ok;
    return ok;
}
