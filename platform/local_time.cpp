#include "platform/local_time.h"

#include <cstdio>
#include <ctime>

namespace platform {

LocalTime GetLocalTime() {
    timespec now{};
    clock_gettime(CLOCK_REALTIME, &now);
    tm parts{};
    localtime_r(&now.tv_sec, &parts);
    LocalTime t;
    t.year = parts.tm_year + 1900;
    t.month = parts.tm_mon + 1;
    t.day = parts.tm_mday;
    t.hour = parts.tm_hour;
    t.minute = parts.tm_min;
    t.second = parts.tm_sec;
    t.milliseconds = static_cast<int>(now.tv_nsec / 1000000);
    return t;
}

int64_t SteadyMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<int64_t>(now.tv_sec) * 1000 + now.tv_nsec / 1000000;
}

uint32_t GetTickCount() { return static_cast<uint32_t>(SteadyMs()); }

std::string FormatEpochMs(int64_t ms, bool utc) {
    time_t seconds = static_cast<time_t>(ms / 1000);
    tm parts{};
    if (utc) {
        gmtime_r(&seconds, &parts);
    } else {
        localtime_r(&seconds, &parts);
    }
    char text[48];
    size_t length = std::strftime(text, sizeof text, utc ? "%Y-%m-%dT%H:%M:%S" : "%Y-%m-%d %H:%M:%S", &parts);
    std::snprintf(text + length, sizeof text - length, utc ? ".%03dZ" : ".%03d", static_cast<int>(ms % 1000));
    return text;
}

}  // namespace platform
