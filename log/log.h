#pragma once
// The process-wide diagnostic log: one line per call, " [Level][dd/mm hh:mm:ss.mmm]text" and
// CR LF, appended to one file. Lines above the threshold never reach the file. Control characters
// inside a message are written escaped ("\x0a"), so text a device sent cannot forge lines; a line
// break that ends the message is kept. The file is bounded: once the next line would take it past
// the rotation size it becomes "<path>.1" (replacing the previous one) and a new file begins.
#include <cstdint>
#include <string>

enum LogLevel {
    LOG_MAJOR = 0,
    LOG_GENERAL = 1,
    LOG_SUGGESTIVE = 2,
    LOG_INFO = 3,
    LOG_DEBUG0 = 4,
    LOG_DEBUG1 = 5,
    LOG_DEBUG2 = 6,
    LOG_MORELOG = 7,
    LOG_ALLLOG = 8,
};

constexpr int kLogLineSize = 512;
constexpr int kLogPathSize = 260;
constexpr int64_t kLogRotateBytes = 8 * 1024 * 1024;

// Sets the threshold (only to a value below 9) and, when given, the file path (at most 259
// characters). Called once, before any worker thread starts.
void LogInit(int level, const char* path);
void LogMessage(int level, const char* format, ...) __attribute__((format(printf, 2, 3)));
// Appends `length` bytes and CR LF to the file; three opens, 50 ms apart, before the line is
// given up. Returns the byte count of the last write, or -1 when nothing was written.
// True when a line of `level` would reach the file: callers skip costly arguments otherwise.
bool LogWouldWrite(int level);
int LogAppendLine(const char* path, const char* text, int length);
// The size at which the file is rotated (kLogRotateBytes unless changed; tests use small ones).
void LogSetRotateBytes(int64_t bytes);

// While one exists on a thread, that thread's lines are not written: the message thread mutes a
// sender that keeps sending junk, so the junk cannot fill the log.
class LogMuteScope {
public:
    explicit LogMuteScope(bool mute);
    ~LogMuteScope();
    LogMuteScope(const LogMuteScope&) = delete;
    LogMuteScope& operator=(const LogMuteScope&) = delete;

private:
    bool m_previous;
};

// Also hands every line that reaches the file (without its CR LF) to `mirror`, for front ends that
// echo the log on a terminal; null turns it off after the lines still queued have been handed over.
// `mirror` runs on a thread of its own, in the order of the file; a mirror that falls thousands of
// lines behind loses lines (it is told how many), never the file and never a logging thread's time.
void LogSetMirror(void (*mirror)(const char* line, int length));

// The threshold that the "LogSwitch" key of section "CNFINFO" in `iniPath` asks for: 1 turns on
// levels 0 to 3; any other value leaves only level 0.
int ReadLogThreshold(const std::string& iniPath);
