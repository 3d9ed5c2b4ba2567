#pragma once
// What a console run shows and keeps while it goes: the device changes handed from the core's
// threads to the console's loop, the live table or plain lines, the events stream, the download
// rate and the results file.
#include <cstdint>
#include <cstdio>
#include <map>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "app/console/live_table.h"
#include "app/run_results.h"

// Every change of a device, in order, from the threads that make them to the console's loop.
class ChangeFeed {
public:
    struct Change {
        int64_t wallMs;
        DeviceResult result;
    };
    void Push(const DeviceResult& result);
    // The changes since the last call; `dropped` counts those a flood pushed past the bound.
    std::vector<Change> Take(size_t* dropped);

private:
    std::mutex m_mutex;
    std::vector<Change> m_pending;
    size_t m_dropped = 0;
};

// One JSON line of the events stream.
std::string EventLine(const ChangeFeed::Change& change);

// Sizes of the offered files, for the download rate: a device that reported its download done
// (or any later step) has fetched the whole file.
class DownloadMeter {
public:
    explicit DownloadMeter(std::string folder) : m_folder(std::move(folder)) {}
    double BytesPerSecond(const std::vector<DeviceResult>& results, int64_t elapsedMs);

private:
    int64_t SizeOf(const std::string& file);
    std::string m_folder;
    std::map<std::string, int64_t> m_sizes;
};

// The console's output: a table in place on a terminal, plain lines otherwise.
class RunOutput {
public:
    RunOutput(FILE* out, bool english);

    bool Terminal() const { return m_terminal; }

    // A line of its own. While the live table is up it shows above the table and is printed once
    // the table is left, so that it stays in the operator's scrollback.
    void Line(const std::string& text, FILE* stream = nullptr);
    void Frame(const std::vector<DeviceResult>& results, const RunHeader& header);
    void Changes(const std::vector<ChangeFeed::Change>& changes, const RunHeader& header);
    // The last picture: the whole table once on a terminal, then the summary.
    void Final(const std::vector<DeviceResult>& results, const RunHeader& header);

private:
    FILE* m_out;
    const bool m_terminal;
    TableDrawer m_table;
    const bool m_english;
    std::vector<std::pair<std::string, FILE*>> m_held;  // lines printed while the table was up
};

// The results file, kept current during the run so that any death of the process loses seconds.
class ResultsKeeper {
public:
    ResultsKeeper(std::string path, bool english) : m_path(std::move(path)), m_english(english) {}
    // Writes when an outcome or a device came in, or when anything changed a while ago.
    void Tick(const std::vector<DeviceResult>& results, bool changed, RunOutput& output);
    bool Write(const std::vector<DeviceResult>& results, const char* runState, RunOutput& output);

private:
    std::string m_path;
    const bool m_english;
    int64_t m_lastWriteMs = 0;
    int m_settled = -1;
    size_t m_devices = 0;
    bool m_changed = false;
    bool m_failing = false;
};
