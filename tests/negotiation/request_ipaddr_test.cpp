// Address requests end to end: a device datagram to the listener, the broadcast reply back.
#include <gtest/gtest.h>

#include <climits>
#include <cstring>
#include <memory>
#include <string>

#include "app/kelvane_dlg.h"
#include "log/log.h"
#include "support/catalogue_entry.h"
#include "support/temp_dir.h"
#include "support/udp_peer.h"
#include "support/veth_link.h"
#include "support/wait_until.h"

namespace {

constexpr const char* kServerIp = "10.77.5.1";

std::string Request(const std::string& version, const std::string& cseq, const std::string& mac) {
    std::string text = "Msg:Request_ipaddr\r\n";
    if (!version.empty()) text += "Version:" + version + "\r\n";
    text += "Cseq:" + cseq + "\r\n";
    if (!mac.empty()) text += "IPCMac:" + mac + "\r\n";
    return text;
}

std::string NoUpgrade(int cseq, const std::string& mac) {
    return "Msg:Request_ipaddr\r\nCseq:" + std::to_string(cseq) + "\r\nIPCMac:" + mac + "\r\n" + std::string(1, '\0');
}

std::string AddressReply(int cseq, const std::string& lent, const std::string& mac, const std::string& version,
                         const std::string& file) {
    return "Msg:Request_ipaddr\r\nCseq:" + std::to_string(cseq) +
           "\r\nServerMac:00:1A:2B:3C:4D:5E\r\nServerIP:10.77.5.1\r\nIpaddr:" + lent + "\r\nIPCMac:" + mac +
           "\r\nVersion:" + version + "\r\nFilePath:" + file + "\r\n" + std::string(1, '\0');
}

class RequestIpaddrTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_link.Ok() && m_link.AddAddress(std::string(kServerIp) + "/24"));
        m_device = std::make_unique<testsupport::UdpPeer>(kServerIp, 0);
        LogInit(LOG_INFO, m_dir.File("Upgrade.log").c_str());
        std::snprintf(m_dlg.m_szLocalIP, sizeof m_dlg.m_szLocalIP, "%s", kServerIp);
        std::snprintf(m_dlg.m_szLocalMac, sizeof m_dlg.m_szLocalMac, "00:1A:2B:3C:4D:5E");
        std::snprintf(m_dlg.m_szNextAllocIp, sizeof m_dlg.m_szNextAllocIp, "10.77.5.10");
        m_dlg.m_vecUpgradeFileInfo = {testsupport::CatalogueEntry("IPC-B2", "3.0.0.1", "ipc_b2.bin"),
                                      testsupport::CatalogueEntry("IPC-A1", "2.0.1.6", "ipc_a1_new.bin"),
                                      testsupport::CatalogueEntry("NVR8", "1.2.3.10", "nvr8.bin", 1)};
        m_dlg.m_bRunning = 1;
        ASSERT_TRUE(m_dlg.StartMessagingThreads());
        ASSERT_TRUE(m_dlg.WaitListenerSettled(2000));
        ASSERT_EQ(m_dlg.GetListenerStatus().state, ListenerStatus::Listening);
    }
    void TearDown() override {
        m_dlg.m_bRunning = 0;
        m_dlg.StopMessagingThreads();
        LogInit(LOG_MAJOR, "");
    }
    // Sends one request and returns the reply broadcast for it (empty when none came).
    std::string Ask(const std::string& text, int waitMs = 2000) {
        size_t before = m_replies.Received().size();
        EXPECT_TRUE(m_device->SendTo(text, kServerIp, 10011));
        if (!m_replies.WaitFor(before + 1, waitMs)) return {};
        return m_replies.Received()[before];
    }

    // The record is written right after the reply is sent.
    template <typename Pred>
    void WaitRecords(Pred done) {
        testsupport::WaitUntil([&] {
            std::lock_guard<std::mutex> lock(m_dlg.m_csIpcInfo);
            return done(m_dlg.m_vecIpcInfo);
        });
    }
    void WaitRegistered(size_t count) {
        WaitRecords([count](const std::vector<stIpcInfo>& v) { return v.size() >= count; });
    }

    testsupport::VethLink m_link{"kvreq"};
    testsupport::TempDir m_dir;
    testsupport::UdpPeer m_replies{"0.0.0.0", 10010};
    std::unique_ptr<testsupport::UdpPeer> m_device;  // bound once the link has its address
    CKelvaneDlg m_dlg;
};

TEST_F(RequestIpaddrTest, NewerVersionGetsAnAddressAndOneRecordPerDevice) {
    const std::string mac = "00-AA-BB-CC-DD-01";
    EXPECT_EQ(Ask(Request("IPC*A1-2.0.1.5-extra", "41", mac)),
              AddressReply(42, "10.77.5.10", mac, "IPC-A1-2.0.1.6", "ipc_a1_new.bin"));
    WaitRegistered(1);
    {
        std::lock_guard<std::mutex> lock(m_dlg.m_csIpcInfo);
        ASSERT_EQ(m_dlg.m_vecIpcInfo.size(), 1u);
        EXPECT_STREQ(m_dlg.m_vecIpcInfo[0].szMac, mac.c_str());
        EXPECT_STREQ(m_dlg.m_vecIpcInfo[0].szIpAddr, "10.77.5.10");
        EXPECT_STREQ(m_dlg.m_vecIpcInfo[0].szNewVersion, "IPC-A1-2.0.1.6");
        EXPECT_EQ(m_dlg.m_vecIpcInfo[0].nIndex, -1);
    }
    // The same device again: a new address, and its one record takes it.
    EXPECT_EQ(Ask(Request("IPC*A1-2.0.1.5", "2", mac)),
              AddressReply(3, "10.77.5.11", mac, "IPC-A1-2.0.1.6", "ipc_a1_new.bin"));
    WaitRecords([](const std::vector<stIpcInfo>& v) { return std::strcmp(v[0].szIpAddr, "10.77.5.11") == 0; });
    std::lock_guard<std::mutex> lock(m_dlg.m_csIpcInfo);
    ASSERT_EQ(m_dlg.m_vecIpcInfo.size(), 1u);
    EXPECT_STREQ(m_dlg.m_vecIpcInfo[0].szIpAddr, "10.77.5.11");
}

TEST_F(RequestIpaddrTest, SameOrOlderVersionGetsNoUpgradeUnlessForced) {
    EXPECT_EQ(Ask(Request("IPC*A1-2.0.1.6", "1", "M1")), NoUpgrade(2, "M1"));
    EXPECT_EQ(Ask(Request("IPC*A1-2.0.2.0", "", "M1")), NoUpgrade(1, "M1"));  // newer device; empty Cseq is 0
    EXPECT_EQ(Ask(Request("ipc*a1-1.0", "x7", "M1")), NoUpgrade(1, "M1"));    // model case matters
    EXPECT_EQ(Ask(Request("NVR8-1.2.3.9", "5", "N1")),                        // numeric: 10 above 9
              AddressReply(6, "10.77.5.10", "N1", "NVR8-1.2.3.10", "nvr8.bin"));
    EXPECT_EQ(Ask(Request("IPC*A1", "3", "M1")), NoUpgrade(4, "M1"));                 // empty version number
    EXPECT_EQ(Ask(Request("IPC*A1", "2147483647", "M1")), NoUpgrade(INT_MIN, "M1"));  // wraps, defined
    m_dlg.m_bForceUpgrade = 1;
    EXPECT_EQ(Ask(Request("IPC*A1-2.0.1.6", "9", "M1")),
              AddressReply(10, "10.77.5.11", "M1", "IPC-A1-2.0.1.6", "ipc_a1_new.bin"));
    EXPECT_EQ(Ask(Request("IPC*A1-9.9.9.9", "9", "M1")),
              AddressReply(10, "10.77.5.12", "M1", "IPC-A1-2.0.1.6", "ipc_a1_new.bin"));
}

TEST_F(RequestIpaddrTest, BrokenRequestsAreNotAnswered) {
    EXPECT_EQ(Ask(Request("IPC*A1-1.0", "1", ""), 400), "");                   // no MAC, even with a new version
    EXPECT_EQ(Ask(Request("", "1", "M1"), 400), "");                           // no version
    EXPECT_EQ(Ask(Request("IPC*A1-1.0", "1234567890123456", "M1"), 400), "");  // Cseq too long
    EXPECT_EQ(Ask(Request("IPC*A1-1.0", "1", std::string(64, 'm')), 400), "");
    EXPECT_EQ(Ask(Request("IPC*A1-1.0", "1", "M2")),
              AddressReply(2, "10.77.5.10", "M2", "IPC-A1-2.0.1.6", "ipc_a1_new.bin"));
    WaitRegistered(1);
    std::lock_guard<std::mutex> lock(m_dlg.m_csIpcInfo);
    EXPECT_EQ(m_dlg.m_vecIpcInfo.size(), 1u);
}

TEST_F(RequestIpaddrTest, ReportsOfAnAnsweredDeviceBecomeItsRow) {
    Ask(Request("NVR8-1.0", "1", "NV-1"));
    WaitRegistered(1);
    std::string report =
        "Msg:Report_Update\r\nIpaddr:10.77.5.10\r\nIPCMac:NV-1\r\nSchedule:100\r\nState:0\r\nVersion:NVR8-1.0\r\n";
    ASSERT_TRUE(m_device->SendTo(std::string(report) + '\0', kServerIp, 10011));
    EXPECT_TRUE(testsupport::WaitUntil([this] {
        std::lock_guard<std::mutex> lock(m_dlg.m_csCount);
        return m_dlg.m_nSuccessCount == 1;
    }));
    auto rows = m_dlg.m_lstInfo.Rows();
    ASSERT_EQ(rows.size(), 1u);
    EXPECT_EQ(rows[0][kColNewVersion], "NVR8-1.2.3.10");
}

TEST(SendToIPC, RefusesWithoutALocalAddress) {
    CKelvaneDlg dlg;
    std::snprintf(dlg.m_szLocalIP, sizeof dlg.m_szLocalIP, "10.99.99.99");
    EXPECT_EQ(dlg.SendToIPC("x", 1), -2);
}

}  // namespace
