// The console's live table: whatever the devices and the terminal, it fits and draws only changes.
#include "app/console/live_table.h"

#include <gtest/gtest.h>

#include <cstdio>

namespace {

DeviceResult Device(int n, DeviceOutcome outcome, int event, int state, const std::string& stateText) {
    DeviceResult r;
    char mac[32];
    std::snprintf(mac, sizeof mac, "AA:00:00:00:%02X:%02X", n / 256, n % 256);
    r.mac = mac;
    r.lentAddress = "10.77.0." + std::to_string(10 + n % 200);
    r.versionBefore = "IPC2F-1.0.0.0";
    r.versionOffered = "IPC2F-2.1.0.7";
    r.fileOffered = "ipc.bin";
    r.outcome = outcome;
    r.event = event;
    r.state = state;
    r.stateText = stateText;
    r.progress = "37%";
    return r;
}

TEST(LiveTable, WidthsCountCjkTwiceAndElisionKeepsWithinTheWidth) {
    struct Case {
        std::string text;
        int width, elideTo;
        std::string elided;
    };
    const Case cases[] = {
        {"Download successful", 19, 10, "Download ~"},
        {"下载成功", 8, 5, "下载~"},  // a wide character never straddles the limit
        {"uboot擦写成功", 13, 6, "uboot~"},
        {"\xff\xfe", 2, 2, "\xff\xfe"},  // bytes that are not UTF-8 count one each
        {"abc", 3, 0, ""},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(DisplayWidth(c.text), c.width) << c.text;
        EXPECT_EQ(ElideToWidth(c.text, c.elideTo), c.elided) << c.text;
        EXPECT_LE(DisplayWidth(ElideToWidth(c.text, c.elideTo)), c.elideTo);
    }
}

TEST(LiveTable, FramesFitEveryTerminalAndShowWhatMattersFirst) {
    std::vector<DeviceResult> results;
    for (int n = 0; n < 300; ++n) {
        switch (n % 5) {
            case 0:
                results.push_back(Device(n, DeviceOutcome::Succeeded, 3, 0, "升级完成"));
                break;
            case 1:
                results.push_back(Device(n, DeviceOutcome::Unfinished, 0, 1, "Downloading"));
                break;
            case 2:
                results.push_back(Device(n, DeviceOutcome::Unfinished, 2, 1, "kernel正在擦写中，请勿断电"));
                break;
            case 3:
                results.push_back(Device(n, DeviceOutcome::Failed, 1, 6, "uboot擦写失败"));
                break;
            default:
                results.push_back(Device(n, DeviceOutcome::NoUpgrade, -1, -1, ""));
                break;
        }
    }
    RunHeader header{"10.77.0.1", 65000, 2.5e6, true};
    for (auto [width, height] : {std::pair{80, 24}, {40, 10}, {200, 60}, {12, 4}, {80, 3}}) {
        const std::vector<std::string> frame = BuildTableFrame(results, header, width, height);
        EXPECT_LE(static_cast<int>(frame.size()), height - 1) << width << "x" << height;
        for (const std::string& line : frame) EXPECT_LT(DisplayWidth(line), width) << line;
    }
    const std::vector<std::string> frame = BuildTableFrame(results, header, 120, 24);
    EXPECT_EQ(frame[1] + " | " + frame[2],
              "asked 300 | downloading 60 | writing flash 60 | succeeded 60 | failed 60 | unfinished 120 | "
              "up to date 60 | 2.5 MB/s | 01:05");
    // 23 lines: title, two summary lines, heading, 18 devices writing flash, then what is left unshown.
    ASSERT_EQ(frame.size(), 23u);
    EXPECT_NE(frame[4].find("kernel"), std::string::npos) << frame[4];
    EXPECT_NE(frame[21].find("kernel"), std::string::npos) << frame[21];
    EXPECT_EQ(frame[22], "... 162 more");
    // The final table has no height: failed and downloading follow, finished devices stay counted only.
    EXPECT_EQ(BuildTableFrame(results, header, 120, 0).size(), 4u + 180u);
    // Requests left unanswered because every address was held are counted where the operator looks.
    header.rangeFull = 7;
    EXPECT_NE(SummaryLine(CountPhases(results), header).find("| up to date 60 | no free address 7 | 2.5 MB/s"),
              std::string::npos);
}

TEST(LiveTable, TheDrawerSendsOnlyWhatChanged) {
    char* buffer = nullptr;
    size_t size = 0;
    FILE* out = open_memstream(&buffer, &size);
    ASSERT_NE(out, nullptr);
    {
        TableDrawer drawer(out);
        std::vector<std::string> frame = {"title", "summary 1", "row a", "row b"};
        drawer.Draw(frame, 80, 24);
        const uint64_t first = drawer.BytesSent();
        drawer.Draw(frame, 80, 24);
        EXPECT_EQ(drawer.BytesSent(), first) << "an unchanged frame sends nothing";
        frame[1] = "summary 2";
        frame.pop_back();
        drawer.Draw(frame, 80, 24);
        std::fflush(out);
        EXPECT_EQ(std::string(buffer + first, size - first), "\x1b[2;1Hsummary 2\x1b[K\x1b[4;1H\x1b[J");
        // After a resize the whole frame again, on a cleared screen.
        drawer.Draw(frame, 60, 20);
        std::fflush(out);
        EXPECT_NE(std::string(buffer, size).find("\x1b[H\x1b[2J\x1b[1;1Htitle"), std::string::npos);
    }
    std::fclose(out);
    // The table lives on the alternate screen, and the operator's screen comes back at the end.
    const std::string all(buffer, size);
    EXPECT_EQ(all.rfind("\x1b[?1049h", 0), 0u) << all;
    EXPECT_EQ(all.substr(all.size() - 8), "\x1b[?1049l");
    free(buffer);
}

}  // namespace
