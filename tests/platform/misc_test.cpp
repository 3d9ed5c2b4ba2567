#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>
#include <utility>

#include "platform/local_time.h"
#include "platform/module_path.h"
#include "platform/system_lang.h"
#include "platform/text_codec.h"

namespace {

TEST(TextCodec, GbkAndUtf8RoundTrip) {
    const std::string gbkFail = "\xca\xa7\xb0\xdc";  // 失败
    std::string utf8;
    ASSERT_TRUE(platform::GbkToUtf8(gbkFail, &utf8));
    EXPECT_EQ(utf8, "\xe5\xa4\xb1\xe8\xb4\xa5");
    std::string back;
    ASSERT_TRUE(platform::Utf8ToGbk(utf8, &back));
    EXPECT_EQ(back, gbkFail);

    ASSERT_TRUE(platform::Utf8ToGbk("\xef\xbc\x8c", &back));  // full-width comma
    EXPECT_EQ(back, "\xa3\xac");
    ASSERT_TRUE(platform::Utf8ToGbk("plain.bin", &back));
    EXPECT_EQ(back, "plain.bin");
    // A long text crosses the converter's internal chunks intact.
    std::string many;
    for (int i = 0; i < 2000; ++i) many += "\xe5\xa4\xb1";
    ASSERT_TRUE(platform::Utf8ToGbk(many, &back));
    EXPECT_EQ(back.size(), 4000u);
}

TEST(TextCodec, UnconvertibleTextIsRefused) {
    std::string out;
    EXPECT_FALSE(platform::Utf8ToGbk("\xf0\x9f\x98\x80", &out));  // an emoji has no GBK form
    EXPECT_FALSE(platform::Utf8ToGbk("\xff\xfe", &out));          // not UTF-8
    EXPECT_FALSE(platform::GbkToUtf8("\xca", &out));              // cut in the middle of a character
}

TEST(SystemLang, LocaleNamesGiveWindowsLanguageIds) {
    const std::pair<const char*, int> cases[] = {
        {"en_US.UTF-8", 1033}, {"C", 1033},         {"C.UTF-8", 1033},    {"POSIX", 1033},
        {"", 1033},            {"zh_CN.GBK", 2052}, {"en_GB.UTF-8", 2057}, {"de_DE@euro", 1031},
        {"de_LU.UTF-8", 1031},  // language known, territory not
    };
    for (const auto& [locale, id] : cases) EXPECT_EQ(platform::LangIdFromLocale(locale), id) << locale;
    EXPECT_NE(platform::LangIdFromLocale("xx_YY"), 1033);
}

TEST(SystemLang, EnvironmentOrderIsLcAllThenLcMessagesThenLang) {
    setenv("LANG", "de_DE.UTF-8", 1);
    setenv("LC_MESSAGES", "zh_CN.UTF-8", 1);
    setenv("LC_ALL", "en_GB.UTF-8", 1);
    EXPECT_EQ(platform::GetSystemDefaultLangID(), 2057);
    unsetenv("LC_ALL");
    EXPECT_EQ(platform::GetSystemDefaultLangID(), 2052);
    unsetenv("LC_MESSAGES");
    EXPECT_EQ(platform::GetSystemDefaultLangID(), 1031);
    unsetenv("LANG");
    EXPECT_EQ(platform::GetSystemDefaultLangID(), 1033);
}

TEST(LocalTime, MatchesTheCLibraryAndTicksAdvance) {
    time_t before = time(nullptr);
    platform::LocalTime now = platform::GetLocalTime();
    tm parts{};
    localtime_r(&before, &parts);
    EXPECT_EQ(now.year, parts.tm_year + 1900);
    EXPECT_EQ(now.month, parts.tm_mon + 1);
    EXPECT_EQ(now.day, parts.tm_mday);
    EXPECT_GE(now.milliseconds, 0);
    EXPECT_LE(now.milliseconds, 999);
    uint32_t t0 = platform::GetTickCount();
    struct timespec pause = {0, 30 * 1000 * 1000};
    nanosleep(&pause, nullptr);
    uint32_t elapsed = platform::GetTickCount() - t0;
    EXPECT_GE(elapsed, 29u);
}

TEST(ModulePath, IsTheTestBinary) {
    std::string path = platform::ExecutablePath();
    EXPECT_NE(path.find("platform_tests"), std::string::npos) << path;
    EXPECT_EQ(platform::ExecutableDir() + "/platform_tests", path);
}

}  // namespace
