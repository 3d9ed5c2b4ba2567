#pragma once
// Local wall-clock time with milliseconds, the fields the log line and file names are made of.
#include <cstdint>
#include <string>

namespace platform {

struct LocalTime {
    int year = 0;
    int month = 0;  // 1..12
    int day = 0;    // 1..31
    int hour = 0;
    int minute = 0;
    int second = 0;
    int milliseconds = 0;
};

LocalTime GetLocalTime();
// Milliseconds since an arbitrary fixed point (boot), wrapping like a 32-bit tick count.
uint32_t GetTickCount();
// Milliseconds since boot, without wrapping.
int64_t SteadyMs();
// Wall-clock milliseconds since the epoch as "2026-12-08 05:06:07.089" in local time, or as
// "2026-12-08T05:06:07.089Z" in UTC.
std::string FormatEpochMs(int64_t ms, bool utc);

}  // namespace platform
