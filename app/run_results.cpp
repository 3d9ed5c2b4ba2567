#include "app/run_results.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>

#include "app/device_list_model.h"
#include "log/log.h"
#include "platform/local_time.h"
#include "platform/system_error_text.h"
#include "platform/text_codec.h"

namespace {

int64_t NowMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::system_clock::now().time_since_epoch())
        .count();
}

std::string Shown(const char* gbk) {
    return GbkToDisplayText(gbk);
}

std::string CsvField(const std::string& text) {
    if (text.find_first_of(",\"\r\n") == std::string::npos) return text;
    std::string quoted = "\"";
    for (char c : text) {
        if (c == '"') quoted += '"';
        quoted += c;
    }
    return quoted + "\"";
}

std::string TimeText(int64_t ms) { return ms == 0 ? "" : platform::FormatEpochMs(ms, false); }

// Empty while the device has had one attempt only.
std::string EarlierOutcomeText(const DeviceResult& r) {
    return r.earlierOutcome == DeviceOutcome::Unfinished ? std::string() : OutcomeName(r.earlierOutcome);
}

}  // namespace

const char* OutcomeName(DeviceOutcome outcome) {
    switch (outcome) {
        case DeviceOutcome::Succeeded:
            return "succeeded";
        case DeviceOutcome::Failed:
            return "failed";
        case DeviceOutcome::NoUpgrade:
            return "no upgrade";
        case DeviceOutcome::Unfinished:
            break;
    }
    return "unfinished";
}

void RunResults::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_results.clear();
    m_byMac.clear();
    m_asked.clear();
    m_askedNext = 0;
    m_askedByMac.clear();
    m_counts = ResultCounts{};
}

DeviceResult* RunResults::Find(const std::string& mac) {
    auto found = m_byMac.find(mac);
    return found == m_byMac.end() ? nullptr : &m_results[found->second];
}

void RunResults::CountLeftOutLocked(const std::string& mac, const char* why) {
    // Logged at the first and then every thousandth, so a flood cannot fill the log instead.
    if (m_counts.leftOut++ % 1000 == 0) {
        LogMessage(LOG_MAJOR, "results hold %d devices, device mac=%s %s (%d so far)",
                   static_cast<int>(m_results.size()), platform::EscapeControlChars(mac).c_str(), why,
                   m_counts.leftOut);
    }
}

// Gives up the oldest device that never came back: told there is nothing newer, or offered a file
// and never heard from nor holding its address since; one with an outcome is always kept.
bool RunResults::EvictOneLocked() {
    size_t victim = m_results.size();
    std::string key;
    for (const auto& [mac, index] : m_byMac) {
        if (index >= victim) continue;
        const DeviceResult& r = m_results[index];
        const bool toldNothingNewer = r.attempts == 0 && r.outcome == DeviceOutcome::NoUpgrade;
        const bool neverCameBack = r.attempts > 0 && r.outcome == DeviceOutcome::Unfinished && r.firstReportTime == 0 &&
                                   r.earlierOutcome == DeviceOutcome::Unfinished && r.succeededAttempts == 0 &&
                                   r.failedAttempts == 0 && m_holdsLease && !m_holdsLease(mac);
        if (toldNothingNewer || neverCameBack) victim = index, key = mac;
    }
    if (victim == m_results.size()) return false;
    m_results.erase(m_results.begin() + static_cast<std::ptrdiff_t>(victim));
    m_byMac.erase(key);
    for (auto& entry : m_byMac) {
        if (entry.second > victim) --entry.second;
    }
    CountLeftOutLocked(key, "never came back, left out for a new device");
    return true;
}

DeviceResult* RunResults::Add(const char* mac, bool mayEvict) {
    if (m_results.size() >= kMaxRunResults && !(mayEvict && EvictOneLocked())) {
        CountLeftOutLocked(mac, "left out");
        return nullptr;
    }
    m_byMac[mac] = m_results.size();
    m_results.emplace_back();
    DeviceResult& added = m_results.back();
    added.mac = Shown(mac);
    auto asked = m_askedByMac.find(mac);
    if (asked != m_askedByMac.end()) {
        added.requestAddress = std::move(m_asked[asked->second].second);
        m_asked[asked->second] = {};
        m_askedByMac.erase(asked);
    }
    return &added;
}

void RunResults::OnRequest(const char* mac, const char* sender) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (DeviceResult* result = Find(mac)) {
        result->requestAddress = sender;
        return;
    }
    auto asked = m_askedByMac.find(mac);
    if (asked != m_askedByMac.end()) {
        m_asked[asked->second].second = sender;
        return;
    }
    if (m_asked.size() < kMaxAskedOnly) {
        m_asked.emplace_back();
    } else if (!m_asked[m_askedNext].first.empty()) {
        m_askedByMac.erase(m_asked[m_askedNext].first);
    }
    m_asked[m_askedNext] = {mac, sender};
    m_askedByMac[mac] = m_askedNext;
    m_askedNext = (m_askedNext + 1) % kMaxAskedOnly;
}

bool RunResults::OnOffered(const char* mac, const char* model, const char* versionBefore, const char* offered,
                           const char* file, const char* address, int /*devType*/) {
    std::lock_guard<std::mutex> lock(m_mutex);
    DeviceResult* result = Find(mac);
    if (result == nullptr) result = Add(mac, true);
    if (result == nullptr) return false;
    DeviceResult next;
    next.mac = result->mac;
    next.requestAddress = result->requestAddress;
    next.attempts = result->attempts + 1;
    next.succeededAttempts = result->succeededAttempts;
    next.failedAttempts = result->failedAttempts;
    // An outcome of this run is never erased: a device asking again after it starts a new attempt.
    next.earlierOutcome = result->attempts > 0 && result->outcome != DeviceOutcome::Unfinished ? result->outcome
                                                                                               : result->earlierOutcome;
    next.model = Shown(model);
    next.versionBefore = Shown(versionBefore);
    next.versionOffered = Shown(offered);
    next.fileOffered = Shown(file);
    next.lentAddress = Shown(address);
    next.requestTime = NowMs();
    *result = std::move(next);
    if (m_observer) m_observer(*result);
    return true;
}

void RunResults::OnNoUpgrade(const char* mac, const char* model, const char* versionBefore) {
    std::lock_guard<std::mutex> lock(m_mutex);
    DeviceResult* result = Find(mac);
    // A device that was already offered a file keeps that attempt's result.
    if (result != nullptr && result->attempts > 0) return;
    if (result == nullptr) result = Add(mac, false);
    if (result == nullptr) return;
    result->model = Shown(model);
    result->versionBefore = Shown(versionBefore);
    result->outcome = DeviceOutcome::NoUpgrade;
    result->requestTime = NowMs();
    result->outcomeTime = result->requestTime;
    if (m_observer) m_observer(*result);
}

bool RunResults::OnReport(const char* mac, int event, int state, const char* stateText, const char* progress,
                          int row) {
    std::lock_guard<std::mutex> lock(m_mutex);
    DeviceResult* result = Find(mac);
    if (result == nullptr || result->attempts == 0) return false;
    if (result->outcome != DeviceOutcome::Unfinished) return true;
    if (result->firstReportTime == 0) result->firstReportTime = NowMs();
    result->event = event;
    result->state = state;
    result->stateText = Shown(stateText);
    result->progress = Shown(progress);
    result->row = row;
    if (m_observer) m_observer(*result);
    return true;
}

void RunResults::OnOutcome(const char* mac, bool succeeded) {
    std::lock_guard<std::mutex> lock(m_mutex);
    DeviceResult* result = Find(mac);
    if (result == nullptr || result->attempts == 0 || result->outcome != DeviceOutcome::Unfinished) {
        // The device table only counts devices this store took on, once per attempt.
        LogMessage(LOG_MAJOR, "results: outcome of mac=%s without an open attempt",
                   platform::EscapeControlChars(mac).c_str());
        return;
    }
    result->outcome = succeeded ? DeviceOutcome::Succeeded : DeviceOutcome::Failed;
    result->outcomeTime = NowMs();
    ++(succeeded ? result->succeededAttempts : result->failedAttempts);
    ++(succeeded ? m_counts.succeeded : m_counts.failed);
    if (m_observer) m_observer(*result);
}

std::string RunResults::LentAddress(const char* mac) const {
    return ReportSourceOf(mac).lent;
}

RunResults::ReportSource RunResults::ReportSourceOf(const char* mac) const {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_byMac.find(mac);
    if (found != m_byMac.end()) return {m_results[found->second].lentAddress, m_results[found->second].requestAddress};
    auto asked = m_askedByMac.find(mac);
    return asked == m_askedByMac.end() ? ReportSource{} : ReportSource{{}, m_asked[asked->second].second};
}

void RunResults::SetLeaseCheck(std::function<bool(const std::string& mac)> holdsLease) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_holdsLease = std::move(holdsLease);
}

void RunResults::SetObserver(Observer observer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_observer = std::move(observer);
}

std::vector<DeviceResult> RunResults::Snapshot() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_results;
}

ResultCounts RunResults::Counts() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_counts;
}

std::string FormatResultsCsv(const std::vector<DeviceResult>& results, const char* runState) {
    std::string out =
        "mac,model,version_before,version_offered,file_offered,lent_address,outcome,state,state_text,progress,"
        "attempts,request_time,first_report_time,outcome_time,earlier_outcome,succeeded_attempts,failed_attempts";
    out += runState != nullptr ? ",run_state\r\n" : "\r\n";
    for (const DeviceResult& r : results) {
        const std::string fields[] = {r.mac,
                                      r.model,
                                      r.versionBefore,
                                      r.versionOffered,
                                      r.fileOffered,
                                      r.lentAddress,
                                      OutcomeName(r.outcome),
                                      r.state < 0 ? "" : std::to_string(r.state),
                                      r.stateText,
                                      r.progress,
                                      std::to_string(r.attempts),
                                      TimeText(r.requestTime),
                                      TimeText(r.firstReportTime),
                                      TimeText(r.outcomeTime),
                                      EarlierOutcomeText(r),
                                      std::to_string(r.succeededAttempts),
                                      std::to_string(r.failedAttempts)};
        for (size_t i = 0; i < std::size(fields); ++i) {
            if (i > 0) out += ',';
            out += CsvField(fields[i]);
        }
        if (runState != nullptr) out += std::string(",") + runState;
        out += "\r\n";
    }
    return out;
}

std::string FormatResultsJson(const std::vector<DeviceResult>& results, const char* runState) {
    nlohmann::ordered_json all = nlohmann::ordered_json::array();
    for (const DeviceResult& r : results) {
        nlohmann::ordered_json one;
        one["mac"] = r.mac;
        one["model"] = r.model;
        one["version_before"] = r.versionBefore;
        one["version_offered"] = r.versionOffered;
        one["file_offered"] = r.fileOffered;
        one["lent_address"] = r.lentAddress;
        one["outcome"] = OutcomeName(r.outcome);
        one["state"] = r.state < 0 ? nlohmann::ordered_json() : nlohmann::ordered_json(r.state);
        one["state_text"] = r.stateText;
        one["progress"] = r.progress;
        one["attempts"] = r.attempts;
        one["request_time"] = TimeText(r.requestTime);
        one["first_report_time"] = TimeText(r.firstReportTime);
        one["outcome_time"] = TimeText(r.outcomeTime);
        one["earlier_outcome"] = EarlierOutcomeText(r);
        one["succeeded_attempts"] = r.succeededAttempts;
        one["failed_attempts"] = r.failedAttempts;
        if (runState != nullptr) one["run_state"] = runState;
        all.push_back(std::move(one));
    }
    // Texts are UTF-8 already; a byte that is not gets replaced rather than failing the whole file.
    return all.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

bool WriteResultsFile(const std::vector<DeviceResult>& results, const std::string& path, std::string* error,
                      const char* runState, bool english) {
    bool json = path.size() >= 5 && strcasecmp(path.c_str() + path.size() - 5, ".json") == 0;
    std::string text = json ? FormatResultsJson(results, runState) : FormatResultsCsv(results, runState);
    std::string temporary = path + ".tmp";
    int fd = open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    bool ok = fd >= 0;
    for (size_t done = 0; ok && done < text.size();) {
        ssize_t wrote = write(fd, text.data() + done, text.size() - done);
        if (wrote < 0 && errno == EINTR) continue;
        ok = wrote > 0;
        if (ok) done += static_cast<size_t>(wrote);
    }
    int savedErrno = errno;
    if (fd >= 0 && close(fd) != 0 && ok) {
        ok = false;
        savedErrno = errno;  // a full disk may show only at the close
    }
    if (ok && rename(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
        savedErrno = errno;
    }
    if (!ok) {
        unlink(temporary.c_str());
        if (error != nullptr) {
            *error = (english ? "cannot write " + path + ": " : "无法写入 " + path + "：") +
                     platform::SystemErrorText(savedErrno, english);
        }
    }
    return ok;
}
