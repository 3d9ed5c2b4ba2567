// kelvane-cli demo --window as an operator runs it: shown in the window (offscreen here), and
// refused with a reason when there is nothing to show it on.
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <regex>
#include <string>

#include "support/netns.h"
#include "support/temp_dir.h"

namespace {

TEST(DemoWindow, WithoutADisplayOrWindowItSaysWhyInOneLine) {
    testsupport::TempDir work;
    // A copy of kelvane-cli alone in a folder has no window program beside it.
    const std::string lonely = work.File("kelvane-cli");
    std::filesystem::copy_file(KELVANE_CLI_PATH, lonely);
    const struct {
        std::string command, expected;
    } cases[] = {
        {"env -u DISPLAY -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM " KELVANE_CLI_PATH,
         "no display: DISPLAY and WAYLAND_DISPLAY are unset"},
        {"env -u WAYLAND_DISPLAY -u QT_QPA_PLATFORM DISPLAY=:4711 " KELVANE_CLI_PATH,
         "Only X11's file-system socket (/tmp/.X11-unix/X<n>)"},
        {"env QT_QPA_PLATFORM=offscreen PATH=/nonexistent " + lonely, "the window program \"kelvane\" is neither"},
    };
    for (const auto& c : cases) {
        const auto [status, out] = testsupport::RunCapture("cd " + work.Path() + " && " + c.command + " demo --window");
        EXPECT_EQ(2, status) << c.command;
        EXPECT_NE(std::string::npos, out.find(c.expected)) << out;
        EXPECT_EQ(1, std::count(out.begin(), out.end(), '\n')) << out;  // and nothing was set up
    }
}

TEST(DemoWindow, OffscreenWindowUpgradesTheDevicesAndClosingRemovesTheLab) {
    testsupport::TempDir work;
    const auto [status, out] = testsupport::RunCapture(
        "cd " + work.Path() + " && env QT_QPA_PLATFORM=offscreen " KELVANE_CLI_PATH " demo --window --close-after 1");
    EXPECT_EQ(0, status) << out;
    EXPECT_NE(std::string::npos, out.find("Demo passed: every device ended as it should: 17 upgraded, 2 failed"))
        << out;
    const size_t at = out.find("Firmware folder ");
    ASSERT_NE(std::string::npos, at) << out;
    const std::string folder = out.substr(at + 16, out.find("/firmware", at) - at - 16);
    EXPECT_NE(0, access(folder.c_str(), F_OK)) << folder << " is still there";
    // Written by the window as it closed.
    const std::string results = work.Read("kelvane-demo-results.csv");
    const std::regex succeeded(",succeeded,");
    EXPECT_EQ(17,
              std::distance(std::sregex_iterator(results.begin(), results.end(), succeeded), std::sregex_iterator()))
        << results;
}

}  // namespace
