#include "messaging/msg_format.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

namespace {

// Every type name as it goes on the wire, then the texts that must not match one (type 13).
TEST(GetMsgType, NamesMatchByPrefixAnywhereAndOthersAreType13) {
    const char* names[] = {"Request_ipaddr", "Report_Downloading", "Report_Uboot",         "Report_Kernel",
                           "Report_Filesystem", "Report_Config",    "Report_Logoboot",      "Report_App",
                           "Report_User",       "Report_LogoUpgradeing", "Report_LogoUpgraded", "Report_Param",
                           "Report_Update"};
    struct Case {
        std::string text;
        int type;
    };
    std::vector<Case> cases;
    for (int type = 0; type < 13; ++type) {
        cases.push_back({std::string("Msg:") + names[type] + "\r\n", type});
        EXPECT_STREQ(MsgTypeName(type), names[type]);
    }
    const Case more[] = {
        {"Msg:Report_UbootXYZ\r\n", 2},  // a prefix is enough
        {"Msg:Report_App and more\r\n", 7},
        {"Version:xMsg:Report_Kernel\r\nMsg:Report_App\r\n", 3},  // found anywhere, first one wins
        {"Cseq:5\r\nMsg:Request_ipaddr\r\n", 0},
        {"xxMsg:Request_ipaddr\r\nCseq:1\r\n", 0},
        {"Msg:Request_ipaddrX\r\n", 0},
        // Only the first 63 characters of the type text are looked at; a long tail changes nothing.
        {"Msg:Report_Config" + std::string(200, 'z') + "\r\n", 5},
        {"", 13},
        {"Version:IPC-1.0\r\n", 13},
        {"Msg:Report_Update", 13},         // no CR LF after it
        {"Msg:Request_ipaddr", 13},
        {"Msg:Report_\r\n", 13},           // only the shared part
        {"Msg:report_update\r\n", 13},     // case matters
        {"Msg: Report_Update\r\n", 13},    // no blank after the colon
        {"Msg:Request_ipad\r\n", 13},
        {"Msg:Request_ipad\r\ndr\r\n", 13},  // the name is cut by the line end
    };
    cases.insert(cases.end(), std::begin(more), std::end(more));
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text);
        EXPECT_EQ(GetMsgType(c.text.c_str()), c.type);
        EXPECT_EQ(IsRequestIpaddr(c.text.c_str()), c.type == 0);
    }
    EXPECT_EQ(GetMsgType(nullptr), 13);
}

TEST(ReadFlagValue, ValuesAndFailuresAtTheirLimits) {
    struct Case {
        const char* text;
        const char* key;
        int keyLength;
        int size;
        int result;
        const char* value;  // on success; the rest of the buffer is zero-filled
    };
    const Case cases[] = {
        {"Cseq:123456789012345\r\n", "Cseq:", 5, 16, 0, "123456789012345"},  // 15 characters fit
        {"Cseq:\r\n", "Cseq:", 5, 16, 0, ""},
        {"Cseq:1\r\nCseq:2\r\n", "Cseq:", 5, 16, 0, "1"},
        {"Version:aState:7\r\nState:3\r\n", "State:", 6, 16, 0, "7"},  // matches inside another value
        {"State:5\nSchedule:9\r\n", "State:", 6, 16, 0, "5\nSchedule:9"},  // ends at the first CR LF only
        {"IPCMac: AA \r\n", "IPCMac:", 7, 16, 0, " AA "},                  // no trimming
        {"Cseq:1234567890123456\r\n", "Cseq:", 5, 16, -2, nullptr},         // 16 do not
        {"Cseq:12", "Cseq:", 5, 16, -3, nullptr},
        {"Msg:x\r\n", "Cseq:", 5, 16, -4, nullptr},
        {"Cseq:1\r\n", nullptr, 5, 16, -1, nullptr},
        {"Cseq:1\r\n", "Cseq:", 5, 0, -1, nullptr},
        {"Cseq:1\r\n", "Cseq:", 5, -3, -1, nullptr},
        {"Cseq:1\r\n", "Cseq:", 50, 16, -1, nullptr},  // key length past the key
        {nullptr, "Cseq:", 5, 16, -1, nullptr},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.text ? c.text : "(null)");
        char out[16];
        std::memset(out, 'q', sizeof out);
        EXPECT_EQ(ReadFlagValue(c.text, c.key, c.keyLength, out, c.size), c.result);
        if (c.value == nullptr) {
            EXPECT_EQ(out[0], 'q') << "touched on failure";
            continue;
        }
        EXPECT_STREQ(out, c.value);
        for (size_t i = std::strlen(c.value); i < sizeof out; ++i) EXPECT_EQ(out[i], '\0') << i;
    }
    EXPECT_EQ(ReadFlagValue("Cseq:1\r\n", "Cseq:", 5, nullptr, 16), -1);
}

TEST(SplitDeviceVersion, ModelAndVersionNumberCutTo63Characters) {
    struct Case {
        std::string text, model, version;
    };
    const Case cases[] = {
        {"IPC*A1-2.0.1.5-extra", "IPC-A1", "2.0.1.5"},
        {"--NVR**8--1.2---", "NVR--8", "1.2"},
        {"ModelOnly", "ModelOnly", ""},
        {"---", "", ""},
        {std::string(100, 'M') + "-" + std::string(64, '9'), std::string(63, 'M'), std::string(63, '9')},
    };
    for (Case c : cases) {
        SCOPED_TRACE(c.text);
        char model[64], verNum[64];
        std::memset(verNum, 'q', sizeof verNum);
        SplitDeviceVersion(c.text.data(), model, verNum);
        EXPECT_EQ(model, c.model);
        EXPECT_EQ(verNum, c.version);
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
