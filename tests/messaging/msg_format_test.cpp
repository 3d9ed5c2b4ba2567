#include "messaging/msg_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <tuple>
#include <vector>

namespace {

// Every type name as it goes on the wire, then the texts that must not match one (type 13).
TEST(GetMsgType, NamesMatchByPrefixAnywhereAndOthersAreType13) {
    const char* names[] = {"Request_ipaddr",    "Report_Downloading",    "Report_Uboot",        "Report_Kernel",
                           "Report_Filesystem", "Report_Config",         "Report_Logoboot",     "Report_App",
                           "Report_User",       "Report_LogoUpgradeing", "Report_LogoUpgraded", "Report_Param",
                           "Report_Update"};
    std::vector<std::pair<std::string, int>> cases;
    for (int type = 0; type < 13; ++type) {
        cases.emplace_back(std::string("Msg:") + names[type] + "\r\n", type);
        EXPECT_STREQ(MsgTypeName(type), names[type]);
    }
    // A prefix is enough, found anywhere, the first wins; only 63 characters of the type are looked at.
    // clang-format off
    cases.insert(cases.end(), {
        {"Msg:Report_UbootXYZ\r\n", 2}, {"Msg:Report_App and more\r\n", 7}, {"Cseq:5\r\nMsg:Request_ipaddr\r\n", 0},
        {"Version:xMsg:Report_Kernel\r\nMsg:Report_App\r\n", 3}, {"xxMsg:Request_ipaddr\r\nCseq:1\r\n", 0},
        {"Msg:Request_ipaddrX\r\n", 0}, {"Msg:Report_Config" + std::string(200, 'z') + "\r\n", 5}, {"", 13},
        {"Version:IPC-1.0\r\n", 13}, {"Msg:Report_Update", 13}, {"Msg:Request_ipaddr", 13}, {"Msg:Report_\r\n", 13},
        {"Msg:report_update\r\n", 13}, {"Msg: Report_Update\r\n", 13}, {"Msg:Request_ipad\r\n", 13},
        {"Msg:Request_ipad\r\ndr\r\n", 13}});  // no CR LF after it, case, a blank, cut by the line end
    // clang-format on
    for (const auto& [text, type] : cases) {
        EXPECT_EQ(GetMsgType(text.c_str()), type) << text;
        EXPECT_EQ(IsRequestIpaddr(text.c_str()), type == 0) << text;
    }
    EXPECT_EQ(GetMsgType(nullptr), 13);
}

TEST(ReadFlagValue, ValuesAndFailuresAtTheirLimits) {
    // The value ends at the first CR LF only, is not trimmed, may be found inside another value;
    // 15 characters fit in 16 bytes, 16 do not. On success the rest of the buffer is zero-filled.
    // clang-format off
    const std::tuple<const char*, const char*, int, int, int, const char*> cases[] = {
        {"Cseq:123456789012345\r\n", "Cseq:", 5, 16, 0, "123456789012345"}, {"Cseq:\r\n", "Cseq:", 5, 16, 0, ""},
        {"Cseq:1\r\nCseq:2\r\n", "Cseq:", 5, 16, 0, "1"}, {"Version:aState:7\r\nState:3\r\n", "State:", 6, 16, 0, "7"},
        {"State:5\nSchedule:9\r\n", "State:", 6, 16, 0, "5\nSchedule:9"}, {"IPCMac: AA \r\n", "IPCMac:", 7, 16, 0, " AA "},
        {"Cseq:1234567890123456\r\n", "Cseq:", 5, 16, -2, nullptr}, {"Cseq:12", "Cseq:", 5, 16, -3, nullptr},
        {"Msg:x\r\n", "Cseq:", 5, 16, -4, nullptr}, {"Cseq:1\r\n", nullptr, 5, 16, -1, nullptr},
        {"Cseq:1\r\n", "Cseq:", 5, 0, -1, nullptr}, {"Cseq:1\r\n", "Cseq:", 5, -3, -1, nullptr},
        {"Cseq:1\r\n", "Cseq:", 50, 16, -1, nullptr}, {nullptr, "Cseq:", 5, 16, -1, nullptr}};
    // clang-format on
    for (const auto& [text, key, keyLength, size, result, value] : cases) {
        SCOPED_TRACE(text ? text : "(null)");
        char out[16];
        std::memset(out, 'q', sizeof out);
        EXPECT_EQ(ReadFlagValue(text, key, keyLength, out, size), result);
        if (value == nullptr) {
            EXPECT_EQ(out[0], 'q') << "touched on failure";
            continue;
        }
        EXPECT_STREQ(out, value);
        for (size_t i = std::strlen(value); i < sizeof out; ++i) EXPECT_EQ(out[i], '\0') << i;
    }
    EXPECT_EQ(ReadFlagValue("Cseq:1\r\n", "Cseq:", 5, nullptr, 16), -1);
}

TEST(SplitDeviceVersion, ModelAndVersionNumberCutTo63Characters) {
    // clang-format off
    const std::tuple<std::string, std::string, std::string> cases[] = {
        {"IPC*A1-2.0.1.5-extra", "IPC-A1", "2.0.1.5"}, {"--NVR**8--1.2---", "NVR--8", "1.2"}, {"ModelOnly", "ModelOnly", ""},
        {"---", "", ""}, {std::string(100, 'M') + "-" + std::string(64, '9'), std::string(63, 'M'), std::string(63, '9')}};
    // clang-format on
    for (auto [text, model, version] : cases) {
        char m[64], v[64];
        std::memset(v, 'q', sizeof v);
        SplitDeviceVersion(text.data(), m, v);
        EXPECT_EQ(std::string(m) + "|" + v, model + "|" + version) << text;
    }
}

// Exact reply bytes; a reply that does not fit is not built at all rather than sent half-built.
TEST(Replies, ExactBytesOrNothing) {
    char out[kReplySize];
    const std::string address =
        "Msg:Request_ipaddr\r\nCseq:42\r\nServerMac:00:1A:2B:3C:4D:5E\r\nServerIP:192.168.1.77\r\n"
        "Ipaddr:192.168.1.10\r\nIPCMac:aa-bb-cc\r\nVersion:IPC-A1-2.0.1.6\r\nFilePath:fw_ipc_a1.bin\r\n";
    EXPECT_EQ(BuildAddressReply(out, sizeof out, 42, "00:1A:2B:3C:4D:5E", "192.168.1.77", "192.168.1.10", "aa-bb-cc",
                                "IPC-A1-2.0.1.6", "fw_ipc_a1.bin"),
              static_cast<int>(address.size()));
    EXPECT_EQ(std::string(out), address);
    EXPECT_EQ(BuildNoUpgradeReply(out, sizeof out, 1, "AA:BB"), 42);
    EXPECT_STREQ(out, "Msg:Request_ipaddr\r\nCseq:1\r\nIPCMac:AA:BB\r\n");
    BuildNoUpgradeReply(out, sizeof out, -7, "");
    EXPECT_STREQ(out, "Msg:Request_ipaddr\r\nCseq:-7\r\nIPCMac:\r\n");

    std::string longVersion(255, 'v'), longName(700, 'f');
    EXPECT_EQ(BuildAddressReply(out, sizeof out, 1, "m", "s", "l", "i", longVersion.c_str(), longName.c_str()), -1);
    EXPECT_STREQ(out, "");
    char small[20];
    EXPECT_EQ(BuildNoUpgradeReply(small, sizeof small, 1, "AA"), -1);
    EXPECT_EQ(BuildNoUpgradeReply(nullptr, 10, 1, "AA"), -1);
}

}  // namespace
