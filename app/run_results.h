#pragma once
// One result per device for a whole run, kept beside the device table (which forgets a device
// once it is counted and holds 100), so a technician can keep the outcome of every device.
#include <cstdint>
#include <functional>
#include <mutex>
#include <string>
#include <unordered_map>
#include <vector>

enum class DeviceOutcome { Unfinished, Succeeded, Failed, NoUpgrade };

struct DeviceResult {
    std::string mac;  // as the device sends it
    std::string model;
    std::string versionBefore;   // the version the device asked with
    std::string versionOffered;  // empty when no upgrade was offered
    std::string fileOffered;
    std::string lentAddress;
    // Where the device's last handled address request came from: before any lease its reports
    // count only from there. Not written to the results files.
    std::string requestAddress;
    DeviceOutcome outcome = DeviceOutcome::Unfinished;
    int event = -1;         // the last report's event number, -1 before any report
    int state = -1;         // the last report's state number, -1 before any report
    std::string stateText;  // the last report's state text, as shown
    std::string progress;   // the last report's progress, "37%"
    int row = -1;           // the device's row in the device list, -1 before its first report
    int attempts = 0;       // address requests answered with a file
    // Wall-clock milliseconds since the epoch, 0 when it has not happened.
    int64_t requestTime = 0;
    int64_t firstReportTime = 0;
    int64_t outcomeTime = 0;
    // A device that asks again after its outcome starts a new attempt; what went before stays.
    DeviceOutcome earlierOutcome = DeviceOutcome::Unfinished;  // the last attempt's, before this one
    int succeededAttempts = 0;
    int failedAttempts = 0;
};

// Devices a run keeps results for: far above any site, but a host inventing MACs cannot grow the
// store (or the run's memory) without bound. When it is full, a device to be offered a file takes
// the place of the oldest one that never came back (told there is nothing newer, or offered a file
// it never started on); devices past that are left out, counted and not answered.
constexpr size_t kMaxRunResults = 4096;
// Devices heard asking that have no result yet (their address probed, or none free): where each
// asked from, the oldest forgotten first, so a flood of requests cannot fill the results.
constexpr size_t kMaxAskedOnly = 1024;

struct ResultCounts {
    int succeeded = 0;  // attempts that ended so, as the run's counters count them
    int failed = 0;
    int leftOut = 0;  // devices not taken on because the store was full
};

const char* OutcomeName(DeviceOutcome outcome);  // "succeeded", "failed", "unfinished", "no upgrade"

// Texts come in as the device and catalogue have them (GBK) and are kept as UTF-8.
class RunResults {
public:
    void Clear();
    // A device's address request was read and is being answered (or refused for want of an
    // address) from `sender`. Kept with the device's result, or among the asked-only devices
    // until it has one.
    void OnRequest(const char* mac, const char* sender);
    // A device was offered `file` (version `offered`) and lent `address`. A device that asks again
    // after its outcome starts a new attempt, keeping the earlier outcome. False when the device is
    // new and the store is full: it is left out and must not be answered.
    bool OnOffered(const char* mac, const char* model, const char* versionBefore, const char* offered,
                   const char* file, const char* address, int devType);
    // A device was told there is nothing newer for it.
    void OnNoUpgrade(const char* mac, const char* model, const char* versionBefore);
    // A report of a device that was offered a file; reports of unknown devices are not results.
    // True when the report belongs to a device that was offered a file.
    bool OnReport(const char* mac, int event, int state, const char* stateText, const char* progress, int row);
    // The device list counted the device's current attempt; the outcome stands from then on.
    void OnOutcome(const char* mac, bool succeeded);
    // Whether the device still holds the address it was lent (asked while the results are locked:
    // it must not call back in). Without it, no offered device is ever given up for another.
    void SetLeaseCheck(std::function<bool(const std::string& mac)> holdsLease);
    // The address lent to the device's current attempt, empty for a device never offered a file.
    std::string LentAddress(const char* mac) const;
    // Where reports of the device may come from: its lent address, else (before any lease) where
    // its request came from; both empty for a device that never asked.
    struct ReportSource {
        std::string lent;
        std::string requested;
    };
    ReportSource ReportSourceOf(const char* mac) const;

    // Devices that were offered a file or told there is nothing newer, in order of first request.
    std::vector<DeviceResult> Snapshot() const;
    ResultCounts Counts() const;

    // Called with the device's result after every change, in the order of the changes, while the
    // results are locked: it must only take a copy, never call back in.
    using Observer = std::function<void(const DeviceResult&)>;
    void SetObserver(Observer observer);

private:
    DeviceResult* Find(const std::string& mac);
    // A new row, or null (counted as left out) when the store is full. `mayEvict`: the oldest
    // device that never came back gives up its place.
    DeviceResult* Add(const char* mac, bool mayEvict);
    bool EvictOneLocked();
    void CountLeftOutLocked(const std::string& mac, const char* why);

    mutable std::mutex m_mutex;
    std::vector<DeviceResult> m_results;  // in order of first request
    std::unordered_map<std::string, size_t> m_byMac;
    // Asked-only devices: a ring of (MAC, sender), and each MAC's slot in it.
    std::vector<std::pair<std::string, std::string>> m_asked;
    size_t m_askedNext = 0;
    std::unordered_map<std::string, size_t> m_askedByMac;
    ResultCounts m_counts;
    Observer m_observer;
    std::function<bool(const std::string& mac)> m_holdsLease;
};

// Writes results as CSV (RFC 4180, UTF-8, one header line) or, for a path ending in ".json", as a
// JSON array. False with `error` set when the file cannot be written; the file is written to a
// temporary name and renamed, so a failure never leaves half a file. A non-null `runState` adds a
// last column (key) "run_state" with that text to every device, so a file rewritten during a run
// tells whether the run had ended when it was written. `error` is worded in English, or in Chinese
// when `english` is false.
bool WriteResultsFile(const std::vector<DeviceResult>& results, const std::string& path, std::string* error,
                      const char* runState = nullptr, bool english = true);
std::string FormatResultsCsv(const std::vector<DeviceResult>& results, const char* runState = nullptr);
std::string FormatResultsJson(const std::vector<DeviceResult>& results, const char* runState = nullptr);
