#pragma once
// The device states a progress report can carry, as the one line of text the device table shows,
// in English or Chinese (GBK bytes), and which of them count as a failed upgrade.
#include <cstdint>

constexpr int kIpcStateTextSize = 256;  // the caller's output buffer
constexpr uint32_t kMaxReportEvent = 11;
constexpr uint32_t kMaxIpcState = 7;

// Writes the text of (event, state) into `szText` (256 bytes, zero-filled first): English when
// `wLangID` is 1033, Chinese otherwise. Returns 0, also for the empty texts, or -1 when the
// event is above 11, the state above 7 or the buffer is missing; the buffer is then untouched.
int GetIPCStateText(uint16_t wLangID, uint32_t event, uint32_t state, char* szText);

// True when the report's "State:" text, read as atoi does, is 0, 1 or 7.
bool IsStateNotFailed(const char* szState);
