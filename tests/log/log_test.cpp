#include "log/log.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <future>
#include <mutex>
#include <regex>
#include <vector>

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
