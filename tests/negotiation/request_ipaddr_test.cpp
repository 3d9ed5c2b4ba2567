// Address requests: the version choice, the lent address, the record and the exact reply broadcast back.
#include <gtest/gtest.h>

#include <climits>
#include <string>

#include <arpa/inet.h>
#include <unistd.h>

#include <set>

#include "app/kelvane_dlg.h"
#include "negotiation/address_alloc.h"
#include "negotiation/ping.h"
#include "support/catalogue_entry.h"
#include "support/udp_peer.h"
#include "support/veth_link.h"

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
        std::snprintf(m_dlg.m_szLocalIP, sizeof m_dlg.m_szLocalIP, "%s", kServerIp);
        std::snprintf(m_dlg.m_szLocalMac, sizeof m_dlg.m_szLocalMac, "00:1A:2B:3C:4D:5E");
        std::snprintf(m_dlg.m_szNextAllocIp, sizeof m_dlg.m_szNextAllocIp, "10.77.5.10");
        m_dlg.m_vecUpgradeFileInfo = {testsupport::CatalogueEntry("IPC-B2", "3.0.0.1", "ipc_b2.bin"),
                                      testsupport::CatalogueEntry("IPC-A1", "2.0.1.6", "ipc_a1_new.bin"),
                                      testsupport::CatalogueEntry("NVR8", "1.2.3.10", "nvr8.bin", 1)};
    }
    // Handles one request and returns the reply broadcast for it (empty when none came).
    std::string Ask(const std::string& text) {
        m_dlg.RequestIpaddrProc(text.c_str(), 1);
        return m_replies.Next(300);
    }
    // One "MAC address new-version row" line per device record.
    std::string Records() {
        std::string all;
        for (const stIpcInfo& r : m_dlg.m_vecIpcInfo)
            all +=
                std::string(r.szMac) + " " + r.szIpAddr + " " + r.szNewVersion + " " + std::to_string(r.nIndex) + "\n";
        return all;
    }

    testsupport::VethLink m_link{"kvreq"};
    testsupport::UdpPeer m_replies{"0.0.0.0", 10010};
    CKelvaneDlg m_dlg;
};

TEST_F(RequestIpaddrTest, OnlyANewerVersionOrAForcedOneGetsAnAddressAndOneRecordPerDevice) {
    const std::string mac = "00-AA-BB-CC-DD-01";
    EXPECT_EQ(Ask(Request("IPC*A1-2.0.1.5-extra", "41", mac)),
              AddressReply(42, "10.77.5.10", mac, "IPC-A1-2.0.1.6", "ipc_a1_new.bin"));
    EXPECT_EQ(Records(), mac + " 10.77.5.10 IPC-A1-2.0.1.6 -1\n");
    // The same device again keeps the address it holds, and its one record.
    EXPECT_EQ(Ask(Request("IPC*A1-2.0.1.5", "2", mac)),
              AddressReply(3, "10.77.5.10", mac, "IPC-A1-2.0.1.6", "ipc_a1_new.bin"));
    EXPECT_EQ(Records(), mac + " 10.77.5.10 IPC-A1-2.0.1.6 -1\n");

    // The same or an older version gets no upgrade unless forced.
    EXPECT_EQ(Ask(Request("IPC*A1-2.0.1.6", "1", "M1")), NoUpgrade(2, "M1"));
    EXPECT_EQ(Ask(Request("IPC*A1-2.0.2.0", "", "M1")), NoUpgrade(1, "M1"));  // newer device; empty Cseq is 0
    EXPECT_EQ(Ask(Request("ipc*a1-1.0", "x7", "M1")), NoUpgrade(1, "M1"));    // model case matters
    EXPECT_EQ(Ask(Request("NVR8-1.2.3.9", "5", "N1")),                        // numeric: 10 above 9
              AddressReply(6, "10.77.5.11", "N1", "NVR8-1.2.3.10", "nvr8.bin"));
    EXPECT_EQ(Ask(Request("IPC*A1", "3", "M1")), NoUpgrade(4, "M1"));                 // empty version number
    EXPECT_EQ(Ask(Request("IPC*A1", "2147483647", "M1")), NoUpgrade(INT_MIN, "M1"));  // wraps, defined
    m_dlg.m_bForceUpgrade = 1;
    EXPECT_EQ(Ask(Request("IPC*A1-2.0.1.6", "9", "M1")),
              AddressReply(10, "10.77.5.12", "M1", "IPC-A1-2.0.1.6", "ipc_a1_new.bin"));
    EXPECT_EQ(Ask(Request("IPC*A1-9.9.9.9", "9", "M1")),
              AddressReply(10, "10.77.5.12", "M1", "IPC-A1-2.0.1.6", "ipc_a1_new.bin"));
}

TEST_F(RequestIpaddrTest, BrokenRequestsAreNotAnswered) {
    EXPECT_EQ(Ask(Request("IPC*A1-1.0", "1", "")), "");                   // no MAC, even with a new version
    EXPECT_EQ(Ask(Request("", "1", "M1")), "");                           // no version
    EXPECT_EQ(Ask(Request("IPC*A1-1.0", "1234567890123456", "M1")), "");  // Cseq too long
    EXPECT_EQ(Ask(Request("IPC*A1-1.0", "1", std::string(64, 'm'))), "");
    // An empty MAC could never be told apart in reports: no offer, no reply, no results row.
    EXPECT_EQ(Ask("Msg:Request_ipaddr\r\nVersion:IPC*A1-1.0\r\nCseq:1\r\nIPCMac:\r\n"), "");
    EXPECT_EQ(Ask("Msg:Request_ipaddr\r\nVersion:IPC*A1-9.0\r\nCseq:1\r\nIPCMac:\r\n"), "");
    EXPECT_EQ(Records(), "");
    EXPECT_TRUE(m_dlg.ResultsSnapshot().empty());
    std::snprintf(m_dlg.m_szLocalIP, sizeof m_dlg.m_szLocalIP, "10.99.99.99");  // not ours: nothing goes out
    EXPECT_EQ(m_dlg.SendToIPC("x", 1), -2);
}

// Leases: an address held by a device without outcome is never lent to another; it comes free at
// the device's outcome, or when the device was not heard from it within the start window.
TEST_F(RequestIpaddrTest, HeldAddressesAreNeverLentTwice) {
    struct Case {
        const char* name;
        int startWindowMs;
    };
    for (const Case& c : {Case{"held until outcome", 600000}, Case{"unstarted leases run out", 4000}}) {
        SCOPED_TRACE(c.name);
        CKelvaneDlg dlg;
        std::snprintf(dlg.m_szLocalIP, sizeof dlg.m_szLocalIP, "%s", kServerIp);
        dlg.m_vecUpgradeFileInfo = m_dlg.m_vecUpgradeFileInfo;
        dlg.m_addressRequests.m_leases.SetStartWindowMs(c.startWindowMs);
        AddressAllocator(dlg.m_szNextAllocIp, dlg.m_csAllocIp, PingApi).ResetCursor(kServerIp);
        auto ask = [&](const std::string& mac) {
            dlg.RequestIpaddrProc(Request("IPC*A1-1.0", "1", mac).c_str(), 1);
            return dlg.m_results.LentAddress(mac.c_str());
        };
        auto report = [&](const std::string& mac, int event, int state) {
            std::string from = dlg.m_results.LentAddress(mac.c_str());
            std::string text = "Msg:Report\r\nIpaddr:" + from + "\r\nIPCMac:" + mac + "\r\nSchedule:1\r\nState:" +
                               std::to_string(state) + "\r\nVersion:IPC*A1-1.0-b\r\n";
            in_addr sender{};
            inet_pton(AF_INET, from.c_str(), &sender);
            dlg.ReportFrom(event, text.c_str(), sender);
        };
        std::set<std::string> lent;
        for (int i = 0; i < 240; ++i) lent.insert(ask("D" + std::to_string(i)));
        report("D7", 0, 1);  // D7 starts its download
        EXPECT_EQ(lent.size(), 240u);  // .10 to .249, each once
        EXPECT_EQ(lent.count(""), 0u);
        EXPECT_EQ(ask("LATE"), "");  // every address held: no reply, and counted
        EXPECT_EQ(dlg.RangeFullRequests(), 1);
        EXPECT_EQ(ask("D9"), dlg.m_results.LentAddress("D9"));  // a holder asking again keeps its own

        if (c.startWindowMs >= 600000) {
            std::string freed = dlg.m_results.LentAddress("D5");
            report("D5", 3, 0);  // its outcome ends the lease
            EXPECT_EQ(dlg.m_nSuccessCount, 1);
            EXPECT_EQ(ask("LATE"), freed);
        } else {
            usleep(static_cast<useconds_t>(c.startWindowMs + 200) * 1000);
            EXPECT_EQ(dlg.HeldAddresses(), 1);  // only D7, which was heard from its address
            std::string late = ask("LATE");
            EXPECT_NE(late, "");
            EXPECT_NE(late, dlg.m_results.LentAddress("D7"));
        }
    }
}

// A host inventing devices gets its share of the range and no more; the devices beside it are
// still lent addresses, and asking alone leaves no result behind.
TEST_F(RequestIpaddrTest, AHostInventingDevicesLeavesTheRestOfTheRange) {
    auto askFrom = [&](const std::string& mac, const char* sender) {
        in_addr from{};
        inet_pton(AF_INET, sender, &from);
        m_dlg.RequestFrom(Request("IPC*A1-1.0", "1", mac).c_str(), 1, from);
        return m_dlg.m_results.LentAddress(mac.c_str());
    };
    for (int i = 0; i < LeaseBook::kSenderShare + 30; ++i) askFrom("EE" + std::to_string(i), "10.77.5.99");
    EXPECT_EQ(m_dlg.HeldAddresses(), LeaseBook::kSenderShare);
    EXPECT_NE(askFrom("D1", "10.77.5.50"), "");
    EXPECT_EQ(m_dlg.ResultsSnapshot().size(), static_cast<size_t>(LeaseBook::kSenderShare) + 1);
}

}  // namespace
