#pragma once
#include <cstdint>

namespace platform {

constexpr uint16_t kLangEnglishUS = 1033;
constexpr uint16_t kLangChineseSimplified = 2052;

// The Windows language identifier of the user's locale, from LC_ALL, LC_MESSAGES, LANG in that
// order: en_US, C, POSIX or nothing set give 1033.
uint16_t GetSystemDefaultLangID();
// The same rule over one locale name such as "zh_CN.UTF-8".
uint16_t LangIdFromLocale(const char* locale);

}  // namespace platform
