#include "reporting/state_text.h"

#include <cstdlib>
#include <cstring>

#include "platform/system_lang.h"

namespace {

constexpr uint32_t kEventCount = kMaxReportEvent + 1;

struct StateTexts {
    const char* english;
    const char* chinese;  // GBK
};

// State 0: the step finished.
constexpr StateTexts kDoneTexts[kEventCount] = {
    {"Download successful", "\xCF\xC2\xD4\xD8\xB3\xC9\xB9\xA6"},                   // 下载成功
    {"uboot polish success", "uboot\xB2\xC1\xD0\xB4\xB3\xC9\xB9\xA6"},             // uboot擦写成功
    {"kernel is written successfully", "kernel\xB2\xC1\xD0\xB4\xB3\xC9\xB9\xA6"},  // kernel擦写成功
    {"Upgrade complete", "\xC9\xFD\xBC\xB6\xCD\xEA\xB3\xC9"},                      // 升级完成
    {"Configuration is written successfully",
     "\xC5\xE4\xD6\xC3\xC7\xF8\xC9\xD5\xC2\xBC\xB3\xC9\xB9\xA6"},  // 配置区烧录成功
    {"Logo boot is written successfully",
     "\xBF\xAA\xBB\xFA\xBB\xAD\xC3\xE6\xC9\xD5\xC2\xBC\xB3\xC9\xB9\xA6"},  // 开机画面烧录成功
    {"Application program is written successfully",
     "\xD3\xA6\xD3\xC3\xB3\xCC\xD0\xF2\xC9\xD5\xC2\xBC\xB3\xC9\xB9\xA6"},  // 应用程序烧录成功
    {"User data is writtten successfully",
     "\xD3\xC3\xBB\xA7\xCA\xFD\xBE\xDD\xC9\xD5\xC2\xBC\xB3\xC9\xB9\xA6"},  // 用户数据烧录成功
    {"Logo upgrading is written successfully",
     "\xC9\xFD\xBC\xB6\xBB\xAD\xC3\xE6\xC9\xD5\xC2\xBC\xB3\xC9\xB9\xA6"},  // 升级画面烧录成功
    {"Logo upgraded is written successfully",
     "\xD0\xDE\xB8\xB4\xBB\xAD\xC3\xE6\xC9\xD5\xC2\xBC\xB3\xC9\xB9\xA6"},  // 修复画面烧录成功
    {"Uboot param is written successfully",
     "Uboot\xB2\xCE\xCA\xFD\xC7\xF8\xC9\xD5\xC2\xBC\xB3\xC9\xB9\xA6"},  // Uboot参数区烧录成功
    {"Upgrade complete", "\xC9\xFD\xBC\xB6\xCD\xEA\xB3\xC9"},           // 升级完成
};

// State 1: the step is under way. The final event has no such step, hence no text.
constexpr StateTexts kBusyTexts[kEventCount] = {
    {"Is downloading", "\xD5\xFD\xD4\xDA\xCF\xC2\xD4\xD8"},               // 正在下载
    {"Is Writing the uboot", "\xD5\xFD\xD4\xDA\xB2\xC1\xD0\xB4uboot"},    // 正在擦写uboot
    {"Is Writing the kernel", "\xD5\xFD\xD4\xDA\xB2\xC1\xD0\xB4kernel"},  // 正在擦写kernel
    {"Is Writing the fs",
     "\xD5\xFD\xD4\xDA\xB2\xC1\xD0\xB4"
     "fs"},                                                                                         // 正在擦写fs
    {"Is writting the Configuration", "\xD5\xFD\xD4\xDA\xC9\xD5\xC2\xBC\xC5\xE4\xD6\xC3\xC7\xF8"},  // 正在烧录配置区
    {"Is writting the Logo boot",
     "\xD5\xFD\xD4\xDA\xC9\xD5\xC2\xBC\xBF\xAA\xBB\xFA\xBB\xAD\xC3\xE6"},  // 正在烧录开机画面
    {"Is writting ths Application program",
     "\xD5\xFD\xD4\xDA\xC9\xD5\xC2\xBC\xD3\xA6\xD3\xC3\xB3\xCC\xD0\xF2"},  // 正在烧录应用程序
    {"is writtting the User data",
     "\xD5\xFD\xD4\xDA\xC9\xD5\xC2\xBC\xD3\xC3\xBB\xA7\xCA\xFD\xBE\xDD\xC7\xF8"},  // 正在烧录用户数据区
    {"is writting the Logo upgrading",
     "\xD5\xFD\xD4\xDA\xC9\xD5\xC2\xBC\xC9\xFD\xBC\xB6\xBB\xAD\xC3\xE6"},  // 正在烧录升级画面
    {"Is writting the Logo upgraded",
     "\xD5\xFD\xD4\xDA\xC9\xD5\xC2\xBC\xD0\xDE\xB8\xB4\xBB\xAD\xC3\xE6"},  // 正在烧录修复画面
    {"Is writting the Uboot param",
     "\xD5\xFD\xD4\xDA\xC9\xD5\xC2\xBCUboot\xB2\xCE\xCA\xFD\xC7\xF8"},  // 正在烧录Uboot参数区
    {"", ""},
};

// State 6: the step failed.
constexpr StateTexts kFailedTexts[kEventCount] = {
    {"Download failed", "\xCF\xC2\xD4\xD8\xCA\xA7\xB0\xDC"},           // 下载失败
    {"uboot brush failed", "uboot\xB2\xC1\xD0\xB4\xCA\xA7\xB0\xDC"},   // uboot擦写失败
    {"kernel brush fails", "kernel\xB2\xC1\xD0\xB4\xCA\xA7\xB0\xDC"},  // kernel擦写失败
    {"fs brush failure", "fs\xB2\xC1\xD0\xB4\xCA\xA7\xB0\xDC"},        // fs擦写失败
    {"Configuration is written faiure", "\xC5\xE4\xD6\xC3\xC7\xF8\xC9\xD5\xC2\xBC\xCA\xA7\xB0\xDC"},  // 配置区烧录失败
    {"Logo boot is written faiure",
     "\xBF\xAA\xBB\xFA\xBB\xAD\xC3\xE6\xC9\xD5\xC2\xBC\xCA\xA7\xB0\xDC"},  // 开机画面烧录失败
    {"Application program is written faiure",
     "\xD3\xA6\xD3\xC3\xB3\xCC\xD0\xF2\xC9\xD5\xC2\xBC\xCA\xA7\xB0\xDC"},  // 应用程序烧录失败
    {"User data is writtten faiure",
     "\xD3\xC3\xBB\xA7\xCA\xFD\xBE\xDD\xC9\xD5\xC2\xBC\xCA\xA7\xB0\xDC"},  // 用户数据烧录失败
    {"Logo upgrading is written faiure",
     "\xC9\xFD\xBC\xB6\xBB\xAD\xC3\xE6\xC9\xD5\xC2\xBC\xCA\xA7\xB0\xDC"},  // 升级画面烧录失败
    {"Logo upgraded is written faiure",
     "\xD0\xDE\xB8\xB4\xBB\xAD\xC3\xE6\xC9\xD5\xC2\xBC\xCA\xA7\xB0\xDC"},  // 修复画面烧录失败
    {"Uboot param is written faiure",
     "Uboot\xB2\xCE\xCA\xFD\xC7\xF8\xC9\xD5\xC2\xBC\xCA\xA7\xB0\xDC"},  // Uboot参数区烧录失败
    {"", ""},
};

// States 2 to 5 and 7 say the same whatever the step.
constexpr StateTexts kCrcTexts = {"Firmware CRC validation failed",
                                  "\xB9\xCC\xBC\xFE"
                                  "CRC\xD0\xA3\xD1\xE9\xCA\xA7\xB0\xDC"};  // 固件CRC校验失败
constexpr StateTexts kMagicTexts = {
    "Firmware magicNum validation failed",
    "\xB9\xCC\xBC\xFEmagicNum\xD0\xA3\xD1\xE9\xCA\xA7\xB0\xDC"};  // 固件magicNum校验失败
constexpr StateTexts kSizeTexts = {
    "Firmware size check failed",
    "\xB9\xCC\xBC\xFE\xB4\xF3\xD0\xA1\xD0\xA3\xD1\xE9\xCA\xA7\xB0\xDC"};  // 固件大小校验失败
constexpr StateTexts kVersionTexts = {
    "Firmware version validation failed",
    "\xB9\xCC\xBC\xFE\xB0\xE6\xB1\xBE\xD0\xA3\xD1\xE9\xCA\xA7\xB0\xDC"};  // 固件版本校验失败
// The comma is the full-width one (A3 AC).
constexpr StateTexts kRepairTexts = {"Uboot Version not inconsisten, second repair",
                                     "Uboot\xB0\xE6\xB1\xBE\xBA\xC5\xB2\xBB\xD2\xBB\xD6\xC2\xA3\xAC\xD7\xBC\xB1\xB8\xB6"
                                     "\xFE\xB4\xCE\xD0\xDE\xB8\xB4"};  // Uboot版本号不一致，准备二次修复

const StateTexts& TextsFor(uint32_t event, uint32_t state) {
    switch (state) {
        case 0:
            return kDoneTexts[event];
        case 1:
            return kBusyTexts[event];
        case 2:
            return kCrcTexts;
        case 3:
            return kMagicTexts;
        case 4:
            return kSizeTexts;
        case 5:
            return kVersionTexts;
        case 6:
            return kFailedTexts[event];
        default:
            return kRepairTexts;
    }
}

}  // namespace

int GetIPCStateText(uint16_t wLangID, uint32_t event, uint32_t state, char* szText) {
    if (event > kMaxReportEvent || state > kMaxIpcState || szText == nullptr) return -1;
    std::memset(szText, 0, kIpcStateTextSize);
    const StateTexts& texts = TextsFor(event, state);
    const char* text = wLangID == platform::kLangEnglishUS ? texts.english : texts.chinese;
    // Every text is far shorter than the buffer; the bound only guards the terminating NUL.
    std::strncpy(szText, text, kIpcStateTextSize - 1);
    return 0;
}

bool IsStateNotFailed(const char* szState) {
    if (szState == nullptr) return false;
    // atoi's reading (blanks, sign, leading digits, 0 without digits), without its undefined overflow.
    long state = std::strtol(szState, nullptr, 10);
    return state == 0 || state == 1 || state == 7;
}
