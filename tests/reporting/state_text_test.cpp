#include "reporting/state_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/system_lang.h"
#include "platform/text_codec.h"

namespace {

constexpr uint16_t kEnglish = 1033;
constexpr uint16_t kChinese = 2052;

std::string Text(uint16_t lang, uint32_t event, uint32_t state) {
    char buffer[kIpcStateTextSize];
    std::memset(buffer, 'x', sizeof buffer);
    EXPECT_EQ(GetIPCStateText(lang, event, state, buffer), 0) << event << "/" << state;
    return std::string(buffer, strnlen(buffer, sizeof buffer));
}

// The Chinese texts go out as GBK bytes; compare against an independent conversion.
std::string Gbk(const char* utf8) {
    std::string out;
    EXPECT_TRUE(platform::Utf8ToGbk(utf8, &out)) << utf8;
    return out;
}

TEST(StateText, TextsOfBothTables) {
    const struct {
        uint16_t lang;
        uint32_t event, state;
        const char* text;  // UTF-8; the Chinese table holds it as GBK
    } cases[] = {
        {kEnglish, 0, 0, "Download successful"},
        {kEnglish, 7, 0, "User data is writtten successfully"},
        {kEnglish, 3, 0, "Upgrade complete"},  // both events that can end an upgrade say the same
        {kEnglish, 11, 0, "Upgrade complete"},
        {kEnglish, 6, 1, "Is writting ths Application program"},
        {kEnglish, 7, 1, "is writtting the User data"},
        {kEnglish, 3, 6, "fs brush failure"},
        {kEnglish, 5, 2, "Firmware CRC validation failed"},
        {kEnglish, 8, 4, "Firmware size check failed"},
        {kEnglish, 4, 7, "Uboot Version not inconsisten, second repair"},
        {kChinese, 0, 0, "下载成功"},
        {kChinese, 3, 0, "升级完成"},
        {kChinese, 11, 0, "升级完成"},
        {kChinese, 10, 0, "Uboot参数区烧录成功"},
        {kChinese, 3, 1, "正在擦写fs"},
        {kChinese, 10, 1, "正在烧录Uboot参数区"},
        {kChinese, 0, 6, "下载失败"},
        {kChinese, 3, 6, "fs擦写失败"},
        {kChinese, 11, 2, "固件CRC校验失败"},
        {kChinese, 0, 3, "固件magicNum校验失败"},
        {kChinese, 11, 7, "Uboot版本号不一致，准备二次修复"},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Text(c.lang, c.event, c.state), c.lang == kChinese ? Gbk(c.text) : c.text)
            << c.lang << " " << c.event << "/" << c.state;
    }
    std::string repair = Text(kChinese, 11, 7);
    EXPECT_NE(repair.find("\xA3\xAC"), std::string::npos) << "full-width comma expected";
    EXPECT_EQ(repair.find(','), std::string::npos);
}

TEST(StateText, EveryPairInRangeHasAShortText) {
    for (uint16_t lang : {kEnglish, kChinese}) {
        for (uint32_t event = 0; event <= kMaxReportEvent; ++event) {
            for (uint32_t state = 0; state <= kMaxIpcState; ++state) {
                std::string text = Text(lang, event, state);
                EXPECT_LT(text.size(), 64u);
                bool noStep = event == 11 && (state == 1 || state == 6);
                EXPECT_EQ(text.empty(), noStep) << lang << " " << event << "/" << state;
                if (lang == kChinese) {
                    std::string utf8;
                    EXPECT_TRUE(platform::GbkToUtf8(text, &utf8)) << event << "/" << state;
                }
            }
        }
    }
}

TEST(StateText, OnlyUsEnglishSelectsEnglish) {
    EXPECT_EQ(Text(2057, 0, 0), Gbk("下载成功"));  // English, United Kingdom
    EXPECT_EQ(Text(1031, 0, 0), Gbk("下载成功"));  // German
    EXPECT_EQ(Text(0, 0, 0), Gbk("下载成功"));
    char fromSystem[kIpcStateTextSize];
    ASSERT_EQ(GetIPCStateText(0, 0, fromSystem), 0);
    EXPECT_EQ(GetDisplayLangID(), platform::GetSystemDefaultLangID());
    EXPECT_STREQ(fromSystem, Text(GetDisplayLangID(), 0, 0).c_str());
}

TEST(StateText, WholeBufferZeroFilledOrUntouchedWhenOutOfRange) {
    char buffer[kIpcStateTextSize];
    ASSERT_EQ(GetIPCStateText(kEnglish, 6, 0, buffer), 0);  // the longest English text
    ASSERT_EQ(GetIPCStateText(kEnglish, 0, 4, buffer), 0);
    for (size_t i = std::strlen("Firmware size check failed"); i < sizeof buffer; ++i) ASSERT_EQ(buffer[i], 0) << i;
    std::memset(buffer, 'q', sizeof buffer);
    ASSERT_EQ(GetIPCStateText(kChinese, 11, 6, buffer), 0);  // no text: all zero
    for (char c : buffer) ASSERT_EQ(c, 0);

    std::memset(buffer, 'q', sizeof buffer);
    EXPECT_EQ(GetIPCStateText(kEnglish, 12, 0, buffer), -1);
    EXPECT_EQ(GetIPCStateText(kEnglish, 0xFFFFFFFFu, 2, buffer), -1);
    EXPECT_EQ(GetIPCStateText(kEnglish, 0, 8, buffer), -1);
    // A negative "State:" number arrives as a large unsigned value.
    EXPECT_EQ(GetIPCStateText(kChinese, 3, static_cast<uint32_t>(-1), buffer), -1);
    EXPECT_EQ(GetIPCStateText(kEnglish, 0, 0, nullptr), -1);
    for (char c : buffer) ASSERT_EQ(c, 'q');
}

TEST(StateText, FailureRuleReadsLikeAtoi) {
    // No digits reads as 0; digits count up to the first other character.
    for (const char* notFailed : {"0", "1", "7", "  +7", "abc", "", "1x9"}) {
        EXPECT_TRUE(IsStateNotFailed(notFailed)) << notFailed;
    }
    for (const char* failed : {"2", "3", "4", "5", "6", "8", "-1", "17", "99999999999999999999"}) {
        EXPECT_FALSE(IsStateNotFailed(failed)) << failed;
    }
    EXPECT_FALSE(IsStateNotFailed(nullptr));
}

}  // namespace
