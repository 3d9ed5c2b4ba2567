#include "log/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <future>
#include <mutex>
#include <regex>
#include <vector>

#include "log/log_limit.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"

namespace {

// The log is process-wide; every test points it at a file of its own.
class LogTest : public testing::Test {
protected:
    std::string Text() const { return m_log.Text(); }
    testsupport::LogCapture m_log{LOG_INFO};
    testsupport::TempDir m_dir;
};

TEST_F(LogTest, LineHasLevelNameDayFirstTimeStampAndCrLf) {
    LogMessage(LOG_INFO, "*%d* Enter RequestIpMsgProc!", 3);
    const std::regex line(R"( \[Info\]\[(\d\d)/(\d\d) \d\d:\d\d:\d\d\.\d\d\d\]\*3\* Enter RequestIpMsgProc!\r\n)");
    std::smatch m;
    std::string text = Text();
    ASSERT_TRUE(std::regex_match(text, m, line)) << text;
    time_t now = time(nullptr);
    tm parts{};
    localtime_r(&now, &parts);
    EXPECT_EQ(std::stoi(m[1]), parts.tm_mday);
    EXPECT_EQ(std::stoi(m[2]), parts.tm_mon + 1);
}

// Levels 0..threshold are written under their names, out-of-range levels never; a threshold of 9
// or more leaves the previous one in force; an empty path writes nothing.
TEST_F(LogTest, ThresholdDecidesWhichLevelsAreWritten) {
    for (int level = -1; level <= 10; ++level) LogMessage(level, "level %d", level);
    LogInit(9, nullptr);
    LogMessage(LOG_DEBUG0, "still at Info");
    LogInit(LOG_ALLLOG, nullptr);  // the path stays
    LogMessage(LOG_ALLLOG, "all");
    LogInit(LOG_INFO, "");
    LogMessage(LOG_MAJOR, "lost");
    EXPECT_EQ(std::regex_replace(Text(), std::regex(R"(\[\d\d/\d\d \d\d:\d\d:\d\d\.\d\d\d\])"), ""),
              " [Major]level 0\r\n [General]level 1\r\n [Suggestive]level 2\r\n [Info]level 3\r\n [ALLLOG]all\r\n");
}

TEST_F(LogTest, LongLineIsCutToTheBufferAndStillEndsWithCrLf) {
    LogMessage(LOG_MAJOR, "%s", std::string(2000, 'x').c_str());
    std::string text = Text();
    ASSERT_EQ(text.size(), static_cast<size_t>(kLogLineSize - 1 + 2));
    EXPECT_EQ(text.substr(text.size() - 2), "\r\n");
    EXPECT_EQ(text.find('\0'), std::string::npos);
}

TEST_F(LogTest, UnopenableFileIsTriedThreeTimes50MsApartThenLineIsLost) {
    std::string path = m_dir.File("blocked.log");
    ASSERT_EQ(mkdir(path.c_str(), 0755), 0);
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(LogAppendLine(path.c_str(), "x", 1), -1);
    auto elapsed = std::chrono::steady_clock::now() - start;
    EXPECT_GE(elapsed, std::chrono::milliseconds(150));
    EXPECT_LT(elapsed, std::chrono::milliseconds(1000));

    // Logging goes on once the file can be opened again.
    ASSERT_EQ(rmdir(path.c_str()), 0);
    EXPECT_EQ(LogAppendLine(path.c_str(), "back", 4), 6);
    EXPECT_EQ(m_dir.Read("blocked.log"), "back\r\n");
}

std::mutex g_terminal;  // held by a test while "the terminal" is stalled
std::vector<std::string> g_echoed;

void EchoToStalledTerminal(const char* line, int length) {
    std::lock_guard<std::mutex> lock(g_terminal);
    g_echoed.emplace_back(line, static_cast<size_t>(length));
}

TEST_F(LogTest, StalledMirrorHoldsUpNoLoggerAndLosesNoLine) {
    std::unique_lock<std::mutex> stalled(g_terminal);
    LogSetMirror(EchoToStalledTerminal);
    auto logger = std::async(std::launch::async, [] {
        LogMessage(LOG_INFO, "first");
        LogMessage(LOG_MAJOR, "second");
    });
    EXPECT_EQ(logger.wait_for(std::chrono::seconds(5)), std::future_status::ready)
        << "a logger waited for the terminal";
    EXPECT_NE(Text().find("second"), std::string::npos);
    stalled.unlock();
    LogSetMirror(nullptr);  // hands over what is still queued
    std::lock_guard<std::mutex> lock(g_terminal);
    ASSERT_EQ(g_echoed.size(), 2u);
    EXPECT_NE(g_echoed[0].find("[Info]"), std::string::npos);
    EXPECT_EQ(g_echoed[1].substr(g_echoed[1].size() - 7), "]second");
}

// Device text cannot forge lines or drive a terminal: control characters that arguments bring in
// are escaped, line breaks written in the format stay, other bytes (GBK) pass unchanged.
TEST_F(LogTest, ControlCharactersInMessagesAreEscaped) {
    const struct {
        const char* format;
        const char* arg;
        const char* written;  // the message as it reaches the file, CR LF of the file included
    } cases[] = {
        {"mac=%s", "AA\r\n [Major][01/01 00:00:00.000]forged",
         "mac=AA\\x0d\\x0a [Major][01/01 00:00:00.000]forged\r\n"},
        {"ip=%s", "\x1b]0;owned\x07\x1b[2J", "ip=\\x1b]0;owned\\x07\\x1b[2J\r\n"},
        {"v=%s", "a\tb\x7f", "v=a\\x09b\\x7f\r\n"},
        {"#####2222 mac=%s\r\n", "\xb9\xfa", "#####2222 mac=\xb9\xfa\r\n\r\n"},
        {"Bind error\n%s, fileInfo\r\n x=%s", "a\nb", "Bind error\na\\x0ab, fileInfo\r\n x=(null)\r\n"},
    };
    for (const auto& c : cases) {
        testsupport::LogCapture log{LOG_MAJOR};
        LogMessage(LOG_MAJOR, c.format, c.arg, nullptr);
        std::string text = log.Text();
        ASSERT_GT(text.size(), 28u);
        EXPECT_EQ(text.substr(text.find(']', 9) + 1), c.written) << c.format;
    }
}

// The file rotates before a line would take it past the bound: one previous file is kept, no line
// is split or lost between the two, and the pair never exceeds twice the bound.
TEST_F(LogTest, FileRotatesAtItsBoundKeepingOnePreviousFile) {
    LogSetRotateBytes(1000);
    for (int i = 0; i < 200; ++i) LogMessage(LOG_MAJOR, "line %03d", i);
    LogSetRotateBytes(0);
    std::string current = Text();
    std::string previous = m_log.Read("Upgrade.log.1");
    EXPECT_LE(current.size(), 1000u);
    EXPECT_LE(previous.size(), 1000u);
    EXPECT_GT(previous.size(), 900u);
    std::string both = previous + current;
    EXPECT_NE(both.find("line 199\r\n"), std::string::npos);
    size_t first = both.find("line ");
    int from = std::stoi(both.substr(first + 5, 3));
    for (int i = from; i < 200; ++i) {
        char expected[32];
        std::snprintf(expected, sizeof expected, "line %03d\r\n", i);
        EXPECT_NE(both.find(expected), std::string::npos) << expected;
    }
}

// A muted thread writes nothing; other threads are not muted with it.
TEST_F(LogTest, MutedThreadWritesNothing) {
    {
        LogMuteScope mute(true);
        LogMessage(LOG_MAJOR, "muted");
        std::async(std::launch::async, [] { LogMessage(LOG_MAJOR, "other thread"); }).wait();
    }
    LogMessage(LOG_MAJOR, "after");
    EXPECT_EQ(m_log.Count("muted"), 0u);
    EXPECT_EQ(m_log.Count("other thread"), 1u);
    EXPECT_EQ(m_log.Count("after"), 1u);
}

// Per key, a burst of lines per period; the rest are summed up when the period is over. Keys
// beyond the bound share one entry, so invented senders cannot grow it.
TEST_F(LogTest, RepeatLimiterWritesABurstThenSumsUpPerKey) {
    LogRepeatLimiter limiter(2, 1000, 2, "junk messages ignored");
    int written = 0;
    for (int i = 0; i < 5; ++i) written += limiter.Take("10.0.0.5", 100) ? 1 : 0;
    EXPECT_EQ(written, 2);
    EXPECT_TRUE(limiter.Take("10.0.0.6", 100));
    for (const char* invented : {"10.0.0.7", "10.0.0.8", "10.0.0.9"}) limiter.Take(invented, 100);
    limiter.Flush(500);  // no period is over yet
    EXPECT_EQ(m_log.Count("ignored"), 0u);
    limiter.Flush(1200);
    EXPECT_EQ(m_log.Count("3 more junk messages ignored from 10.0.0.5"), 1u);
    EXPECT_EQ(m_log.Count("1 more junk messages ignored from other hosts"), 1u);
    EXPECT_EQ(m_log.Count("ignored from 10.0.0.6"), 0u);
    // A new period starts the burst again.
    EXPECT_TRUE(limiter.Take("10.0.0.5", 1300));
}

TEST(LogSwitch, OnlyOneTurnsOnInfo) {
    testsupport::TempDir dir;
    EXPECT_EQ(ReadLogThreshold(dir.File("Config.ini")), LOG_MAJOR);  // no file
    for (const auto& [ini, threshold] : {std::pair{"[CNFINFO]\r\nPath=D:\\fw\r\n", LOG_MAJOR},
                                         {"[cnfinfo]\r\nlogswitch = 1\r\n", LOG_INFO},
                                         {"[CNFINFO]\nLogSwitch=2\n", LOG_MAJOR}}) {
        dir.Write("Config.ini", ini);
        EXPECT_EQ(ReadLogThreshold(dir.File("Config.ini")), threshold) << ini;
    }
}

}  // namespace
