#include "app/run_results.h"

#include <fcntl.h>
#include <strings.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <nlohmann/json.hpp>

#include "app/device_list_model.h"
#include "reporting/device_table.h"

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

std::string TimeText(int64_t ms) {
    if (ms == 0) return "";
    time_t seconds = static_cast<time_t>(ms / 1000);
    tm local{};
    localtime_r(&seconds, &local);
    char text[48];
    size_t length = std::strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    std::snprintf(text + length, sizeof text - length, ".%03d", static_cast<int>(ms % 1000));
    return text;
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
    m_devTypes.clear();
    m_byMac.clear();
}

DeviceResult* RunResults::Find(const std::string& mac) {
    auto found = m_byMac.find(mac);
    return found == m_byMac.end() ? nullptr : &m_results[found->second];
}

void RunResults::OnOffered(const char* mac, const char* model, const char* versionBefore, const char* offered,
                           const char* file, const char* address, int devType) {
    std::lock_guard<std::mutex> lock(m_mutex);
    DeviceResult* result = Find(mac);
    if (result == nullptr) {
        m_byMac[mac] = m_results.size();
        m_results.emplace_back();
        m_devTypes.push_back(devType);
        result = &m_results.back();
        result->mac = Shown(mac);
    }
    int attempts = result->attempts + 1;
    std::string macShown = result->mac;
    *result = DeviceResult{};
    result->mac = macShown;
    result->model = Shown(model);
    result->versionBefore = Shown(versionBefore);
    result->versionOffered = Shown(offered);
    result->fileOffered = Shown(file);
    result->lentAddress = Shown(address);
    result->attempts = attempts;
    result->requestTime = NowMs();
    m_devTypes[m_byMac[mac]] = devType;
    if (m_observer) m_observer(*result);
}

void RunResults::OnNoUpgrade(const char* mac, const char* model, const char* versionBefore) {
    std::lock_guard<std::mutex> lock(m_mutex);
    DeviceResult* result = Find(mac);
    // A device that was already offered a file keeps that attempt's result.
    if (result != nullptr && result->attempts > 0) return;
    if (result == nullptr) {
        m_byMac[mac] = m_results.size();
        m_results.emplace_back();
        m_devTypes.push_back(0);
        result = &m_results.back();
        result->mac = Shown(mac);
    }
    result->model = Shown(model);
    result->versionBefore = Shown(versionBefore);
    result->outcome = DeviceOutcome::NoUpgrade;
    result->requestTime = NowMs();
    result->outcomeTime = result->requestTime;
    if (m_observer) m_observer(*result);
}

void RunResults::OnReport(const char* mac, int event, int state, bool stateFailed, const char* stateText,
                          const char* progress, int row) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_byMac.find(mac);
    if (found == m_byMac.end()) return;
    DeviceResult& result = m_results[found->second];
    if (result.attempts == 0 || result.outcome != DeviceOutcome::Unfinished) return;
    int64_t now = NowMs();
    if (result.firstReportTime == 0) result.firstReportTime = now;
    result.event = event;
    result.state = state;
    result.stateText = Shown(stateText);
    result.progress = Shown(progress);
    result.row = row;
    int finalEvent = m_devTypes[found->second] == kNvrDevType ? kFinalEventNvr : kFinalEventIpc;
    if (event == finalEvent && state == 0) {
        result.outcome = DeviceOutcome::Succeeded;
    } else if (stateFailed) {
        result.outcome = DeviceOutcome::Failed;
    }
    if (result.outcome != DeviceOutcome::Unfinished) result.outcomeTime = now;
    if (m_observer) m_observer(result);
}

void RunResults::SetObserver(Observer observer) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_observer = std::move(observer);
}

std::vector<DeviceResult> RunResults::Snapshot() const {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_results;
}

std::string FormatResultsCsv(const std::vector<DeviceResult>& results, const char* runState) {
    std::string out =
        "mac,model,version_before,version_offered,file_offered,lent_address,outcome,state,state_text,progress,"
        "attempts,request_time,first_report_time,outcome_time";
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
                                      TimeText(r.outcomeTime)};
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
        if (runState != nullptr) one["run_state"] = runState;
        all.push_back(std::move(one));
    }
    // Texts are UTF-8 already; a byte that is not gets replaced rather than failing the whole file.
    return all.dump(2, ' ', false, nlohmann::ordered_json::error_handler_t::replace) + "\n";
}

bool WriteResultsFile(const std::vector<DeviceResult>& results, const std::string& path, std::string* error,
                      const char* runState) {
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
    if (fd >= 0 && (close(fd) != 0 || !ok)) ok = false;
    if (ok && rename(temporary.c_str(), path.c_str()) != 0) {
        ok = false;
        savedErrno = errno;
    }
    if (!ok) {
        unlink(temporary.c_str());
        if (error != nullptr) *error = "cannot write " + path + ": " + std::strerror(savedErrno);
    }
    return ok;
}
