#include <gtest/gtest.h>
#include <sys/resource.h>

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <tuple>
#include <utility>

#include "platform/byte_reader.h"
#include "platform/process_limits.h"
#include "platform/system_error_text.h"
#include "platform/system_lang.h"
#include "platform/text_codec.h"

namespace {

// A soft limit below the hard one is raised to it, and what is open is counted; the limit is put
// back afterwards, as other tests share the process.
TEST(ProcessLimits, DescriptorSoftLimitIsRaisedToTheHardLimit) {
    rlimit before{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &before), 0);
    rlimit low = before;
    low.rlim_cur = std::min<rlim_t>(before.rlim_max, 64);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &low), 0);
    long raised = platform::RaiseDescriptorLimit();
    rlimit after{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &after), 0);
    EXPECT_EQ(after.rlim_cur, before.rlim_max);
    if (before.rlim_max != RLIM_INFINITY) {
        EXPECT_EQ(raised, static_cast<long>(before.rlim_max));
    }
    const int open = platform::CountOpenDescriptors();
    FILE* extra = std::fopen("/proc/self/status", "r");
    ASSERT_NE(extra, nullptr);
    EXPECT_EQ(platform::CountOpenDescriptors(), open + 1);
    std::fclose(extra);
    setrlimit(RLIMIT_NOFILE, &before);
}

// A text longer than the converter's internal chunk arrives whole; what has no GBK form is refused.
TEST(TextCodec, LongTextCrossesChunksIntactAndUnconvertibleTextIsRefused) {
    std::string many, back;
    for (int i = 0; i < 2000; ++i) many += "\xe5\xa4\xb1";  // 失
    ASSERT_TRUE(platform::Utf8ToGbk(many, &back));
    EXPECT_EQ(back.size(), 4000u);
    EXPECT_EQ(back.substr(3998), "\xca\xa7");
    EXPECT_FALSE(platform::Utf8ToGbk("\xf0\x9f\x98\x80", &back));  // an emoji
    EXPECT_FALSE(platform::GbkToUtf8("\xca", &back));              // cut in the middle of a character
}

// Line breaks, escape sequences and DEL from a device are shown, never acted on; GBK text whose
// trail byte is a backslash or below 0x80 stays whole.
TEST(TextCodec, ControlCharactersAreEscapedAndCharactersKept) {
    const std::pair<std::string, std::string> cases[] = {
        {"V2.1.0\r\nRun ended: 1 device", "V2.1.0\\x0d\\x0aRun ended: 1 device"},
        {"\x1b]0;title\x07\x1b[2J", "\\x1b]0;title\\x07\\x1b[2J"},
        {std::string("a\0b\x7f", 4), "a\\x00b\\x7f"},
        {"\xca\xa7\xb0\xdc \x95\x5c", "\xca\xa7\xb0\xdc \x95\x5c"},  // 失败, and a trail byte 0x5c
    };
    for (const auto& [in, want] : cases) EXPECT_EQ(platform::EscapeControlChars(in), want) << in;
}

TEST(SystemLang, LocaleNamesGiveWindowsLanguageIds) {
    const std::pair<const char*, int> cases[] = {{"en_US.UTF-8", 1033}, {"C", 1033},          {"C.UTF-8", 1033},
                                                 {"POSIX", 1033},       {"", 1033},           {"zh_CN.GBK", 2052},
                                                 {"en_GB.UTF-8", 2057}, {"de_DE@euro", 1031}, {"de_LU.UTF-8", 1031}};
    for (const auto& [locale, id] : cases) EXPECT_EQ(platform::LangIdFromLocale(locale), id) << locale;
    EXPECT_NE(platform::LangIdFromLocale("xx_YY"), 1033);
}

// A Chinese message must not carry an English system error, whether or not the host has the
// Chinese locale; the Winsock numbers the TFTP service reports read as their errno.
TEST(SystemErrorText, EachLanguageGetsItsOwnWords) {
    auto hasLatinLetter = [](const std::string& t) {
        return std::any_of(t.begin(), t.end(), [](char c) { return (c | 0x20) >= 'a' && (c | 0x20) <= 'z'; });
    };
    auto isAscii = [](const std::string& t) {
        return std::all_of(t.begin(), t.end(), [](char c) { return static_cast<unsigned char>(c) < 0x80; });
    };
    for (int error : {ENOENT, EACCES, EADDRINUSE, EADDRNOTAVAIL, EMFILE, ENAMETOOLONG, EBUSY, 11001, 9999}) {
        SCOPED_TRACE(error);
        const std::string english = platform::SystemErrorText(error, true),
                          chinese = platform::SystemErrorText(error, false);
        EXPECT_TRUE(!english.empty() && isAscii(english)) << english;
        EXPECT_TRUE(!chinese.empty() && !hasLatinLetter(chinese)) << chinese;
    }
    for (auto [winsock, error] :
         {std::pair{10013, EACCES}, {10022, EINVAL}, {10048, EADDRINUSE}, {10049, EADDRNOTAVAIL}}) {
        EXPECT_EQ(platform::SystemErrorText(winsock, false), platform::SystemErrorText(error, false));
        EXPECT_EQ(platform::SystemErrorText(winsock, true), platform::SystemErrorText(error, true));
    }
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

// Every fetch says whether it fit; after the first that did not, nothing more is read.
TEST(ByteReader, FetchesOnlyWhatIsThereAndAFailureSticks) {
    const uint8_t bytes[] = {0x01, 0x34, 0x12, 0x78, 0x56, 0x34, 0x12, 0xAA};
    platform::ByteReader in(bytes, sizeof bytes);
    uint8_t u8 = 0;
    uint16_t u16 = 0;
    uint32_t u32 = 0;
    ASSERT_TRUE(in.U8(&u8) && in.Le16(&u16) && in.Le32(&u32));
    EXPECT_EQ(std::make_tuple(u8, u16, u32, in.Remaining()),
              std::make_tuple(uint8_t{0x01}, uint16_t{0x1234}, 0x12345678u, size_t{1}));
    EXPECT_FALSE(in.Le16(&u16));  // one byte left: does not fit
    EXPECT_EQ(u16, 0x1234);       // and nothing was written
    EXPECT_FALSE(in.U8(&u8));     // the failure sticks

    platform::ByteReader seek(bytes, sizeof bytes);
    EXPECT_TRUE(seek.Seek(8));
    EXPECT_FALSE(seek.Skip(1));
    EXPECT_FALSE(platform::ByteReader(nullptr, 0).U8(&u8));
}

}  // namespace
