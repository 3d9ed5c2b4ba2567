#include "log/log.h"

#include <fcntl.h>
#include <sys/uio.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "platform/ini_file.h"
#include "platform/local_time.h"

namespace {

constexpr const char* kLevelNames[9] = {"Major",  "General", "Suggestive", "Info",  "DEBUG0",
                                        "DEBUG1", "DEBUG2",  "MORELOG",    "ALLLOG"};
constexpr int kHighestLevel = 8;
constexpr int kOpenAttempts = 3;
constexpr int kOpenRetryMs = 50;

// Written only by LogInit, before other threads exist; atomics keep the later reads defined.
std::atomic<int> g_threshold{0};
char g_path[kLogPathSize] = {};
std::atomic<bool> g_hasPath{false};
std::mutex g_lock;
std::atomic<void (*)(const char*, int)> g_mirror{nullptr};

}  // namespace

void LogInit(int level, const char* path) {
    if (level < kHighestLevel + 1) g_threshold = level;
    if (path != nullptr) {
        std::lock_guard<std::mutex> guard(g_lock);
        std::memset(g_path, 0, sizeof g_path);
        std::strncpy(g_path, path, sizeof g_path - 1);
        g_hasPath = g_path[0] != '\0';
    }
}

void LogMessage(int level, const char* format, ...) {
    // A negative level is nobody's: treat it as unknown rather than indexing the name table with it.
    if (level < 0 || level > g_threshold.load(std::memory_order_relaxed) || level > kHighestLevel) return;

    platform::LocalTime now = platform::GetLocalTime();
    char line[kLogLineSize];
    int prefix = std::snprintf(line, sizeof line, " [%s][%02d/%02d %02d:%02d:%02d.%03d]", kLevelNames[level], now.day,
                               now.month, now.hour, now.minute, now.second, now.milliseconds);
    if (prefix < 0) return;
    va_list args;
    va_start(args, format);
    std::vsnprintf(line + prefix, sizeof line - static_cast<size_t>(prefix), format, args);
    va_end(args);

    if (!g_hasPath.load(std::memory_order_acquire)) return;
    std::lock_guard<std::mutex> guard(g_lock);
    LogAppendLine(g_path, line, static_cast<int>(std::strlen(line)));
    if (auto mirror = g_mirror.load()) mirror(line, static_cast<int>(std::strlen(line)));
}

void LogSetMirror(void (*mirror)(const char* line, int length)) { g_mirror = mirror; }

int LogAppendLine(const char* path, const char* text, int length) {
    int fd = -1;
    for (int attempt = 0; attempt < kOpenAttempts && fd < 0; ++attempt) {
        fd = open(path, O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
        if (fd < 0) usleep(kOpenRetryMs * 1000);
    }
    if (fd < 0) return -1;
    // One writev with O_APPEND keeps a line whole even when another process appends too.
    // write(2) hands the bytes to the kernel, so a crash of this process loses none of them.
    char crlf[2] = {'\r', '\n'};
    iovec parts[2] = {{const_cast<char*>(text), static_cast<size_t>(length > 0 ? length : 0)}, {crlf, 2}};
    ssize_t written;
    do {
        written = writev(fd, parts, 2);
    } while (written < 0 && errno == EINTR);
    close(fd);
    return static_cast<int>(written);
}

int LogThresholdFromSwitch(int logSwitch) { return logSwitch == 1 ? LOG_INFO : LOG_MAJOR; }

int ReadLogThreshold(const std::string& iniPath) {
    return LogThresholdFromSwitch(platform::IniReadInt(iniPath, "CNFINFO", "LogSwitch", 0));
}
