#pragma once
// The console's picture of a run: counts over every device, a table of the devices that matter
// fitted to the terminal, and drawing it in place so that only changed lines are sent.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/run_results.h"

// Columns a UTF-8 text takes on a terminal (CJK characters two); bytes that are not UTF-8 count one.
int DisplayWidth(const std::string& text);
// `text` cut to at most `width` columns, with "~" where it was cut.
std::string ElideToWidth(const std::string& text, int width);

// Where a device is in its upgrade, as the console counts it.
enum class DevicePhase { Downloading, WritingFlash, Succeeded, Failed, UpToDate };
DevicePhase PhaseOf(const DeviceResult& result);

struct RunCounts {
    int asked = 0;
    int downloading = 0;
    int writingFlash = 0;
    int succeeded = 0;
    int failed = 0;
    int upToDate = 0;
    int Unfinished() const { return downloading + writingFlash; }
};
RunCounts CountPhases(const std::vector<DeviceResult>& results);

struct RunHeader {
    std::string address;
    int64_t elapsedMs = 0;
    double bytesPerSecond = 0;  // of finished downloads since the start
    bool english = true;
    int rangeFull = 0;  // address requests left unanswered: every address of the range was held
};

// "asked 12 | downloading 3 | ... | 1.2 MB/s | 01:05", in the run's language; as lines narrower
// than `width`, broken between items.
std::string SummaryLine(const RunCounts& counts, const RunHeader& header);
std::vector<std::string> SummaryLines(const RunCounts& counts, const RunHeader& header, int width);
// One line of plain output for a change of a device.
std::string ChangeLine(const DeviceResult& result, const RunHeader& header);

// The lines of the live table for a terminal of `width` x `height`: a title, the summary lines
// (SummaryLines), a heading, then
// devices writing flash, failed and downloading (in that order) as long as they fit, and
// "... N more". Succeeded and up-to-date devices appear only in the counts. Every line is narrower
// than `width`, so no terminal wraps it; `height` <= 0 means no limit (the final table).
std::vector<std::string> BuildTableFrame(const std::vector<DeviceResult>& results, const RunHeader& header, int width,
                                         int height);

// Draws frames on the terminal's alternate screen, sending only the lines that changed; leaving it
// gives the operator's screen and scrollback back as they were, for the final table.
class TableDrawer {
public:
    explicit TableDrawer(FILE* out) : m_out(out) {}
    ~TableDrawer() { Leave(); }
    // The whole frame again after a resize or on the first call, else only what differs.
    void Draw(const std::vector<std::string>& frame, int width, int height);
    void Leave();
    bool Active() const { return m_active; }
    uint64_t BytesSent() const { return m_bytes; }

private:
    void Send(const std::string& text);

    FILE* m_out;
    std::vector<std::string> m_shown;
    bool m_active = false;
    int m_width = 0, m_height = 0;
    uint64_t m_bytes = 0;
};
