#include "messaging/msg_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

TEST(GetMsgType, NamesMatchByPrefixInTableOrder) {
    EXPECT_EQ(GetMsgType("Msg:Request_ipaddr\r\n"), 0);
    EXPECT_EQ(GetMsgType("Msg:Report_Downloading\r\n"), 1);
    EXPECT_EQ(GetMsgType("Msg:Report_Uboot\r\n"), 2);
    EXPECT_EQ(GetMsgType("Msg:Report_UbootXYZ\r\n"), 2);
    EXPECT_EQ(GetMsgType("Msg:Report_LogoUpgradeing\r\n"), 9);
    EXPECT_EQ(GetMsgType("Msg:Report_LogoUpgraded\r\n"), 10);
    EXPECT_EQ(GetMsgType("Msg:Report_Update\r\n"), 12);
    EXPECT_EQ(GetMsgType("Msg:Report_App and more\r\n"), 7);
    for (int type = 0; type < 13; ++type) {
        std::string text = std::string("Msg:") + MsgTypeName(type) + "\r\n";
        EXPECT_EQ(GetMsgType(text.c_str()), type) << text;
    }
}

TEST(GetMsgType, UnrecognisedTextsAreType13) {
    EXPECT_EQ(GetMsgType(""), 13);
    EXPECT_EQ(GetMsgType(nullptr), 13);
    EXPECT_EQ(GetMsgType("Version:IPC-1.0\r\n"), 13);
    EXPECT_EQ(GetMsgType("Msg:Report_Update"), 13);          // no CR LF after it
    EXPECT_EQ(GetMsgType("Msg:Report_\r\n"), 13);            // only the shared part
    EXPECT_EQ(GetMsgType("Msg:report_update\r\n"), 13);      // case matters
    EXPECT_EQ(GetMsgType("Msg: Report_Update\r\n"), 13);     // no blank after the colon
    EXPECT_EQ(GetMsgType("Msg:Request_ipad\r\ndr\r\n"), 13);  // the name is cut by the line end
}

TEST(GetMsgType, MsgFoundAnywhereAndFirstOccurrenceWins) {
    EXPECT_EQ(GetMsgType("Version:xMsg:Report_Kernel\r\nMsg:Report_App\r\n"), 3);
    EXPECT_EQ(GetMsgType("Cseq:1\r\nMsg:Report_Param\r\n"), 11);
    // Only the first 63 characters of the type text are looked at; a long tail changes nothing.
    std::string longType = "Msg:Report_Config" + std::string(200, 'z') + "\r\n";
    EXPECT_EQ(GetMsgType(longType.c_str()), 5);
}

TEST(IsRequestIpaddr, AgreesWithGetMsgType) {
    const char* texts[] = {"Msg:Request_ipaddr\r\n", "Msg:Request_ipaddr", "Msg:Request_ipaddrX\r\n",
                           "Msg:Request_ipad\r\n",   "xxMsg:Request_ipaddr\r\nCseq:1\r\n",
                           "Msg:Report_App\r\n",     ""};
    for (const char* text : texts) EXPECT_EQ(IsRequestIpaddr(text), GetMsgType(text) == 0) << text;
    EXPECT_TRUE(IsRequestIpaddr("Cseq:5\r\nMsg:Request_ipaddr\r\n"));
    EXPECT_FALSE(IsRequestIpaddr("Msg:Request_ipaddr"));
}

TEST(ReadFlagValue, ResultsAtTheirLimits) {
    char out[16];
    std::memset(out, 'q', sizeof out);
    EXPECT_EQ(ReadFlagValue("Cseq:123456789012345\r\n", "Cseq:", 5, out, 16), 0);  // 15 characters fit
    EXPECT_STREQ(out, "123456789012345");

    std::memset(out, 'q', sizeof out);
    EXPECT_EQ(ReadFlagValue("Cseq:1234567890123456\r\n", "Cseq:", 5, out, 16), -2);  // 16 do not
    EXPECT_EQ(out[0], 'q');  // untouched on failure
    EXPECT_EQ(ReadFlagValue("Cseq:12", "Cseq:", 5, out, 16), -3);
    EXPECT_EQ(ReadFlagValue("Msg:x\r\n", "Cseq:", 5, out, 16), -4);
    EXPECT_EQ(out[0], 'q');

    EXPECT_EQ(ReadFlagValue("Cseq:1\r\n", nullptr, 5, out, 16), -1);
    EXPECT_EQ(ReadFlagValue("Cseq:1\r\n", "Cseq:", 5, nullptr, 16), -1);
    EXPECT_EQ(ReadFlagValue("Cseq:1\r\n", "Cseq:", 5, out, 0), -1);
    EXPECT_EQ(ReadFlagValue("Cseq:1\r\n", "Cseq:", 5, out, -3), -1);
    EXPECT_EQ(ReadFlagValue("Cseq:1\r\n", "Cseq:", 50, out, 16), -1);  // key length past the key
    EXPECT_EQ(ReadFlagValue(nullptr, "Cseq:", 5, out, 16), -1);
}

TEST(ReadFlagValue, ZeroFillsFindsFirstAndMatchesInsideValues) {
    char out[16];
    std::memset(out, 'q', sizeof out);
    EXPECT_EQ(ReadFlagValue("Cseq:\r\n", "Cseq:", 5, out, 16), 0);
    for (char c : out) EXPECT_EQ(c, '\0');

    EXPECT_EQ(ReadFlagValue("Cseq:1\r\nCseq:2\r\n", "Cseq:", 5, out, 16), 0);
    EXPECT_STREQ(out, "1");
    EXPECT_EQ(ReadFlagValue("Version:aState:7\r\nState:3\r\n", "State:", 6, out, 16), 0);
    EXPECT_STREQ(out, "7");
    // The value ends at the first CR LF after the key, even a later line's.
    EXPECT_EQ(ReadFlagValue("State:5\nSchedule:9\r\n", "State:", 6, out, 16), 0);
    EXPECT_STREQ(out, "5\nSchedule:9");
    EXPECT_EQ(ReadFlagValue("IPCMac: AA \r\n", "IPCMac:", 7, out, 16), 0);  // no trimming
    EXPECT_STREQ(out, " AA ");
}

TEST(SplitDeviceVersion, ModelAndVersionNumber) {
    char model[64], verNum[64];
    char v1[] = "IPC*A1-2.0.1.5-extra";
    SplitDeviceVersion(v1, model, verNum);
    EXPECT_STREQ(model, "IPC-A1");
    EXPECT_STREQ(verNum, "2.0.1.5");

    char v2[] = "--NVR**8--1.2---";
    SplitDeviceVersion(v2, model, verNum);
    EXPECT_STREQ(model, "NVR--8");
    EXPECT_STREQ(verNum, "1.2");

    std::memset(verNum, 'q', sizeof verNum);
    char v3[] = "ModelOnly";
    SplitDeviceVersion(v3, model, verNum);
    EXPECT_STREQ(model, "ModelOnly");
    EXPECT_STREQ(verNum, "");

    char v4[] = "---";
    SplitDeviceVersion(v4, model, verNum);
    EXPECT_STREQ(model, "");
    EXPECT_STREQ(verNum, "");
}

TEST(SplitDeviceVersion, LongFieldsAreCutTo63Characters) {
    std::string longModel(100, 'M'), longVer(64, '9');
    std::string text = longModel + "-" + longVer;
    char model[64], verNum[64];
    SplitDeviceVersion(text.data(), model, verNum);
    EXPECT_EQ(std::string(model), longModel.substr(0, 63));
    EXPECT_EQ(std::string(verNum), longVer.substr(0, 63));
}

TEST(Replies, AddressReplyBytes) {
    char out[kReplySize];
    int n = BuildAddressReply(out, sizeof out, 42, "00:1A:2B:3C:4D:5E", "192.168.1.77", "192.168.1.10",
                              "aa-bb-cc", "IPC-A1-2.0.1.6", "fw_ipc_a1.bin");
    const std::string expected =
        "Msg:Request_ipaddr\r\nCseq:42\r\nServerMac:00:1A:2B:3C:4D:5E\r\nServerIP:192.168.1.77\r\n"
        "Ipaddr:192.168.1.10\r\nIPCMac:aa-bb-cc\r\nVersion:IPC-A1-2.0.1.6\r\nFilePath:fw_ipc_a1.bin\r\n";
    EXPECT_EQ(std::string(out), expected);
    EXPECT_EQ(n, static_cast<int>(expected.size()));
}

TEST(Replies, NoUpgradeReplyBytes) {
    char out[kReplySize];
    int n = BuildNoUpgradeReply(out, sizeof out, 1, "AA:BB");
    EXPECT_STREQ(out, "Msg:Request_ipaddr\r\nCseq:1\r\nIPCMac:AA:BB\r\n");
    EXPECT_EQ(n, 42);
    BuildNoUpgradeReply(out, sizeof out, -7, "");
    EXPECT_STREQ(out, "Msg:Request_ipaddr\r\nCseq:-7\r\nIPCMac:\r\n");
}

TEST(Replies, AReplyThatDoesNotFitIsNotBuilt) {
    char out[kReplySize];
    std::string longVersion(255, 'v'), longName(700, 'f');
    EXPECT_EQ(BuildAddressReply(out, sizeof out, 1, "m", "s", "l", "i", longVersion.c_str(), longName.c_str()), -1);
    EXPECT_STREQ(out, "");
    char small[20];
    EXPECT_EQ(BuildNoUpgradeReply(small, sizeof small, 1, "AA"), -1);
    EXPECT_EQ(BuildNoUpgradeReply(nullptr, 10, 1, "AA"), -1);
}

}  // namespace
