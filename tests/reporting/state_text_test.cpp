#include "reporting/state_text.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>

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

// Both events that can end an upgrade (3, 11) say the same; the Chinese table holds GBK.
TEST(StateText, TextsOfBothTables) {
    // clang-format off
    const std::tuple<uint16_t, uint32_t, uint32_t, const char*> cases[] = {
        {kEnglish, 0, 0, "Download successful"}, {kEnglish, 7, 0, "User data is writtten successfully"},
        {kEnglish, 3, 0, "Upgrade complete"}, {kEnglish, 11, 0, "Upgrade complete"},
        {kEnglish, 6, 1, "Is writting ths Application program"}, {kEnglish, 7, 1, "is writtting the User data"},
        {kEnglish, 3, 6, "fs brush failure"}, {kEnglish, 5, 2, "Firmware CRC validation failed"},
        {kEnglish, 8, 4, "Firmware size check failed"}, {kEnglish, 4, 7, "Uboot Version not inconsisten, second repair"},
        {kChinese, 0, 0, "下载成功"}, {kChinese, 3, 0, "升级完成"}, {kChinese, 11, 0, "升级完成"},
        {kChinese, 10, 0, "Uboot参数区烧录成功"}, {kChinese, 3, 1, "正在擦写fs"}, {kChinese, 10, 1, "正在烧录Uboot参数区"},
        {kChinese, 0, 6, "下载失败"}, {kChinese, 3, 6, "fs擦写失败"}, {kChinese, 11, 2, "固件CRC校验失败"},
        {kChinese, 0, 3, "固件magicNum校验失败"}, {kChinese, 11, 7, "Uboot版本号不一致，准备二次修复"},
        {kChinese, 4, 4, "固件大小校验失败"}, {kChinese, 7, 5, "固件版本校验失败"}};
    // clang-format on
    for (auto [lang, event, state, text] : cases) {
        EXPECT_EQ(Text(lang, event, state), lang == kChinese ? Gbk(text) : text)
            << lang << " " << event << "/" << state;
    }
    EXPECT_NE(Text(kChinese, 11, 7).find("\xA3\xAC"), std::string::npos) << "full-width comma expected";
}

TEST(StateText, EveryPairInRangeHasAShortText) {
    for (uint16_t lang : {kEnglish, kChinese}) {
        for (uint32_t event = 0; event <= kMaxReportEvent; ++event) {
            for (uint32_t state = 0; state <= kMaxIpcState; ++state) {
                std::string text = Text(lang, event, state);
                EXPECT_LT(text.size(), 64u);
                EXPECT_EQ(text.empty(), event == 11 && (state == 1 || state == 6))
                    << lang << " " << event << "/" << state;
                if (lang == kChinese) {
                    std::string utf8;
                    EXPECT_TRUE(platform::GbkToUtf8(text, &utf8)) << event << "/" << state;
                }
            }
        }
    }
}

// A step's three Chinese texts name the same step: "<step>失败", "<step>成功" (for the file system
// step the whole upgrade's, checked above) and "正在" with the step's verb (its last two
// characters) before its object.
TEST(StateText, TheTextsOfAStepNameTheSameStep) {
    const std::string failure = Gbk("失败");
    for (uint32_t event = 0; event < kMaxReportEvent; ++event) {
        std::string failed = Text(kChinese, event, 6);
        std::string step = failed.substr(0, failed.size() - failure.size());
        EXPECT_EQ(failed, step + failure) << event;
        EXPECT_TRUE(event == 3 || Text(kChinese, event, 0) == step + Gbk("成功")) << event;
        std::string verb = step.substr(step.size() - 4), object = step.substr(0, step.size() - 4);
        EXPECT_EQ(Text(kChinese, event, 1), Gbk("正在") + verb + object + (event == 7 ? Gbk("区") : "")) << event;
    }
}

// Only US English selects English; a pair out of range, or no buffer, has no text.
TEST(StateText, LanguageAndRange) {
    for (uint16_t lang : {2057, 1031, 0}) EXPECT_EQ(Text(lang, 0, 0), Gbk("下载成功")) << lang;
    char buffer[kIpcStateTextSize];
    // A negative "State:" number arrives as a large unsigned value.
    for (auto [event, state] : {std::pair{12u, 0u}, {0xFFFFFFFFu, 2u}, {0u, 8u}, {3u, 0xFFFFFFFFu}}) {
        EXPECT_EQ(GetIPCStateText(kChinese, event, state, buffer), -1) << event << "/" << state;
    }
    EXPECT_EQ(GetIPCStateText(kEnglish, 0, 0, nullptr), -1);
}

TEST(StateText, FailureRuleReadsLikeAtoi) {
    // No digits reads as 0; digits count up to the first other character.
    for (const char* notFailed : {"0", "1", "7", "  +7", "abc", "", "1x9"})
        EXPECT_TRUE(IsStateNotFailed(notFailed)) << notFailed;
    for (const char* failed : {"2", "3", "4", "5", "6", "8", "-1", "17", "99999999999999999999"}) {
        EXPECT_FALSE(IsStateNotFailed(failed)) << failed;
    }
    EXPECT_FALSE(IsStateNotFailed(nullptr));
}

}  // namespace
