#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <tuple>

#include "app/kelvane_dlg.h"
#include "log/log.h"
#include "reporting/device_table.h"
#include "support/log_capture.h"
#include "support/recording_view.h"

namespace {

std::string Report(const char* type, const char* mac, int state, const char* version = "IPC*A1-2.0.1.5-build",
                   const char* schedule = "45", const char* ip = "192.168.1.10") {
    return std::string("Msg:") + type + "\r\nIpaddr:" + ip + "\r\nIPCMac:" + mac + "\r\nSchedule:" + schedule +
           "\r\nState:" + std::to_string(state) + "\r\nVersion:" + version + "\r\n";
}

constexpr int kDownloading = 0, kFilesystem = 3, kUpdate = 11;

class ReportTest : public testing::Test {
protected:
    void SetUp() override {
        m_dlg.m_wLangID = 1033;
        m_dlg.SetView(&m_view);
    }
    int Send(int event, const std::string& text) { return m_dlg.ReportMsgProc(event, text.c_str()); }
    std::vector<DeviceListModel::Row> Rows() { return m_dlg.m_lstInfo.Rows(); }
    int IndexOf(const char* mac) {
        std::lock_guard<std::mutex> lock(m_dlg.m_csIpcInfo);
        for (const stIpcInfo& info : m_dlg.m_vecIpcInfo) {
            if (std::string(info.szMac) == mac) return info.nIndex;
        }
        return -99;  // no open record
    }
    // "successes/failures" as counted.
    std::string Counts() { return std::to_string(m_dlg.m_nSuccessCount) + "/" + std::to_string(m_dlg.m_nFailCount); }

    testsupport::LogCapture m_log{LOG_INFO};
    testsupport::RecordingView m_view;
    CKelvaneDlg m_dlg;
};

// An IPC is counted at its file system report, an NVR at its update, each once.
TEST_F(ReportTest, EachKindIsCountedOnceAtItsFinalEvent) {
    m_dlg.RegisterIpcInfo("AA", "192.168.1.10", "IPC-A1-2.0.1.6", 0);
    m_dlg.RegisterIpcInfo("NV", "192.168.1.11", "NVR-2.0", 1);
    ASSERT_EQ(Send(kDownloading, Report("Report_Downloading", "AA", 1)), 0);
    EXPECT_EQ(
        Rows(),
        (std::vector<DeviceListModel::Row>{{"1", "192.168.1.10", "Is downloading", "45%", "IPC-A1-2.0.1.5", ""}}));
    EXPECT_EQ(IndexOf("AA"), 0);
    EXPECT_EQ(Send(kUpdate, Report("Report_Update", "AA", 0)), 0);
    EXPECT_EQ(Send(kFilesystem, Report("Report_Filesystem", "NV", 0, "NVR-1.0")), 0);
    EXPECT_EQ(Counts(), "0/0");
    EXPECT_EQ(Rows()[1][kColOldVersion], "NVR-1.0");  // one "-": shown whole

    EXPECT_EQ(Send(kFilesystem, Report("Report_Filesystem", "AA", 0, "IPC*A1-2.0.1.5-b", "100")), 0);
    EXPECT_EQ(Rows()[0], (DeviceListModel::Row{"1", "192.168.1.10", "Upgrade complete", "100%", "IPC-A1-2.0.1.5",
                                               "IPC-A1-2.0.1.6"}));
    EXPECT_EQ(Counts(), "1/0");
    EXPECT_EQ(m_view.ItemText(IDC_STATIC_SUCCESS), "1");
    EXPECT_EQ(IndexOf("AA"), -99);  // closed
    Send(kUpdate, Report("Report_Update", "NV", 0, "NVR-1.0"));
    EXPECT_EQ(Counts(), "2/0");
    ASSERT_EQ(Rows().size(), 2u);
    EXPECT_EQ(Rows()[1][kColNewVersion], "NVR-2.0");

    // Later reports of a counted device show in new rows and count nothing.
    EXPECT_EQ(Send(kFilesystem, Report("Report_Filesystem", "AA", 0)), 0);
    EXPECT_EQ(Rows().size(), 3u);
    EXPECT_EQ(Rows()[2][0], "3");
    EXPECT_EQ(Counts(), "2/0");
}

TEST_F(ReportTest, FailureIsCountedOnceAndRepairStateIsNotAFailure) {
    m_dlg.RegisterIpcInfo("AA", "ip-a", "IPC-A1-2", 0);
    m_dlg.RegisterIpcInfo("BB", "ip-b", "IPC-B1-2", 0);
    Send(kDownloading, Report("Report_Downloading", "AA", 1));
    Send(1, Report("Report_Uboot", "BB", 7));
    EXPECT_EQ(Rows()[1][kColState], "Uboot Version not inconsisten, second repair");
    Send(2, Report("Report_Kernel", "BB", 1));
    EXPECT_EQ(Rows().size(), 2u);  // BB's row updated in place
    EXPECT_EQ(Rows()[1][kColState], "Is Writing the kernel");
    EXPECT_EQ(Counts(), "0/0");

    Send(kFilesystem, Report("Report_Filesystem", "AA", 6));
    EXPECT_EQ(Counts(), "0/1");
    EXPECT_EQ(m_view.ItemText(IDC_STATIC_FAIL), "1");
    EXPECT_EQ(Rows()[0][kColState], "fs brush failure");
    Send(kFilesystem, Report("Report_Filesystem", "AA", 6));
    EXPECT_EQ(Counts(), "0/1");
    EXPECT_EQ(Rows().size(), 3u);
}

TEST_F(ReportTest, UnknownDevicesAppendARowPerReportScrolledIntoView) {
    Send(kDownloading, Report("Report_Downloading", "X1", 1));
    Send(kDownloading, Report("Report_Downloading", "X1", 1));
    Send(kFilesystem, Report("Report_Filesystem", "X1", 0, "IPC*A*1-2.0-b"));
    ASSERT_EQ(Rows().size(), 3u);
    EXPECT_EQ(Rows()[2][0], "3");
    EXPECT_EQ(Rows()[2][kColOldVersion], "IPC-A-1-2.0");  // every "*" a "-", the build suffix cut
    EXPECT_EQ(Counts(), "0/0");
    std::vector<std::string> calls = m_view.Calls();  // in the order they were made
    EXPECT_NE(std::find(calls.begin(), calls.end(), "visible 2"), calls.end());
    EXPECT_EQ(std::find(calls.begin(), calls.end(), "visible 0"), calls.end());  // the first row needs none
    EXPECT_EQ(std::vector<std::string>(calls.begin(), calls.begin() + 2),
              (std::vector<std::string>{"insert 0 1", "cell 0 1 192.168.1.10"}));
}

// Whichever branch settles the device, its row shows the new version before the counter moves.
TEST_F(ReportTest, NewVersionReachesTheRowBeforeTheSuccessCount) {
    for (const char* mac : {"AA", "BB", "CC"})
        m_dlg.RegisterIpcInfo(mac, "ip", (std::string("IPC-") + mac + "-2").c_str(), 0);
    Send(kFilesystem, Report("Report_Filesystem", "AA", 0));    // empty list: new row 0
    Send(kFilesystem, Report("Report_Filesystem", "BB", 0));    // first report: appended row 1
    Send(kDownloading, Report("Report_Downloading", "CC", 1));  // row 2, then updated in place
    Send(kFilesystem, Report("Report_Filesystem", "CC", 0));
    Send(kFilesystem, Report("Report_Filesystem", "AA", 0));  // settled on a new row, so counted once
    ASSERT_EQ(m_dlg.m_nSuccessCount, 3);
    std::vector<std::string> calls = m_view.Calls();
    auto at = [&](const std::string& call) { return std::find(calls.begin(), calls.end(), call) - calls.begin(); };
    int row = 0;
    for (const char* mac : {"AA", "BB", "CC"}) {
        std::string shown = "cell " + std::to_string(row) + " 5 IPC-" + mac + "-2";
        std::string counted = "text " + std::to_string(IDC_STATIC_SUCCESS) + " " + std::to_string(++row);
        ASSERT_LT(at(shown), static_cast<long>(calls.size())) << shown;
        EXPECT_LT(at(shown), at(counted)) << mac;
    }
}

// Unregistered MACs add rows only up to the cap; a registered device still gets its row.
TEST_F(ReportTest, UnknownDevicesStopAddingRowsAtTheCap) {
    LogInit(LOG_MAJOR, nullptr);  // thousands of rows: keep the trace out of it
    for (int i = 0; i < kMaxListRows; ++i) Send(kDownloading, Report("Report_Downloading", "X", 1));
    ASSERT_EQ(Rows().size(), static_cast<size_t>(kMaxListRows));
    EXPECT_EQ(Send(kDownloading, Report("Report_Downloading", "Y", 1)), 0);
    EXPECT_EQ(Rows().size(), static_cast<size_t>(kMaxListRows));
    EXPECT_EQ(m_log.Count("report of unregistered mac=Y dropped"), 1u);
    m_dlg.RegisterIpcInfo("AA", "ip", "IPC-A-1", 0);
    Send(kDownloading, Report("Report_Downloading", "AA", 1));
    EXPECT_EQ(Rows().size(), static_cast<size_t>(kMaxListRows) + 1);
}

TEST_F(ReportTest, EmptyMacNeverMatchesAClosedRecord) {
    m_dlg.RegisterIpcInfo("AA", "ip-a", "IPC-A1-2", 0);
    Send(kFilesystem, Report("Report_Filesystem", "AA", 0));  // counted, record closed (MAC zeroed)
    ASSERT_EQ(Counts(), "1/0");
    Send(kFilesystem, Report("Report_Filesystem", "", 0));
    Send(kDownloading, Report("Report_Downloading", "", 6));
    EXPECT_EQ(Counts(), "1/0");
    EXPECT_EQ(Rows().size(), 3u);
    EXPECT_EQ(Rows()[0][kColState], "Upgrade complete");  // the closed row is left alone

    // Registering with an empty MAC does not revive the closed record either.
    m_dlg.RegisterIpcInfo("", "ip-z", "IPC-Z-1", 0);
    std::lock_guard<std::mutex> lock(m_dlg.m_csIpcInfo);
    ASSERT_EQ(m_dlg.m_vecIpcInfo.size(), 2u);
    EXPECT_STREQ(m_dlg.m_vecIpcInfo[0].szIpAddr, "ip-a");
}

TEST_F(ReportTest, BadReportsAreDroppedWithTheirCodes) {
    m_dlg.RegisterIpcInfo("AA", "ip", "IPC-A-1", 0);
    const std::string good = Report("Report_App", "AA", 1);
    auto without = [&](const std::string& key) {
        std::string t = good;
        size_t at = t.find(key);
        return t.erase(at, t.find("\r\n", at) + 2 - at);
    };
    std::string wrapsToZero = Report("Report_Filesystem", "AA", 0);  // not a success
    wrapsToZero.replace(wrapsToZero.find("State:0"), 7, "State:4294967296");
    // clang-format off
    const std::tuple<int, int, std::string> cases[] = {
        {6, -2, without("Ipaddr:")}, {6, -2, Report("Report_App", "AA", 1, "IPC-1", "45", std::string(64, '1').c_str())},
        {6, -3, without("IPCMac:")}, {6, -4, Report("Report_App", "AA", 1, "IPC-1", "1234567890123456")},
        {6, -5, without("State:")}, {6, -6, Report("Report_App", "AA", 9)}, {6, -6, Report("Report_App", "AA", -1)},
        {kFilesystem, -6, wrapsToZero}, {12, -6, good}, {-1, -6, good}, {6, -7, without("Version:")},
        {6, -8, Report("Report_App", "AA", 1, "NoDashAtAll")}, {6, -8, Report("Report_App", "AA", 1, "")}};
    // clang-format on
    for (const auto& [event, code, text] : cases) EXPECT_EQ(Send(event, text), code) << event << " " << text;
    EXPECT_EQ(m_dlg.ReportMsgProc(6, nullptr), -1);
    EXPECT_TRUE(Rows().empty());
    EXPECT_TRUE(m_view.Calls().empty());
}

TEST_F(ReportTest, TheHundredAndFirstRegistrationDropsTheTenOldest) {
    for (int i = 0; i < 100; ++i) m_dlg.RegisterIpcInfo(("M" + std::to_string(i)).c_str(), "ip", "V-1", 0);
    m_dlg.RegisterIpcInfo("M5", "new-ip", "V-2", 1);  // known: only the address changes
    EXPECT_EQ(m_dlg.m_vecIpcInfo.size(), 100u);
    EXPECT_EQ(std::string(m_dlg.m_vecIpcInfo[5].szIpAddr) + m_dlg.m_vecIpcInfo[5].szNewVersion, "new-ipV-1");
    m_dlg.RegisterIpcInfo("M100", "ip", "V-1", 0);
    ASSERT_EQ(m_dlg.m_vecIpcInfo.size(), 91u);
    EXPECT_STREQ(m_dlg.m_vecIpcInfo[0].szMac, "M10");
    Send(kFilesystem, Report("Report_Filesystem", "M3", 0));  // dropped device: shown, not counted
    Send(kFilesystem, Report("Report_Filesystem", "M50", 0));
    EXPECT_EQ(Counts(), "1/0");
}

TEST_F(ReportTest, ClearedListKeepsRecordRowNumbers) {
    for (const char* mac : {"AA", "BB", "CC"}) {
        m_dlg.RegisterIpcInfo(mac, "ip", "IPC-A-1", 0);
        Send(kDownloading, Report("Report_Downloading", mac, 1));
    }
    ASSERT_EQ(IndexOf("CC"), 2);
    m_dlg.m_lstInfo.DeleteAllItems();
    Send(kDownloading, Report("Report_Downloading", "CC", 1, "IPC-1", "10"));  // empty list: row 0
    EXPECT_EQ(IndexOf("CC"), 0);
    Send(kDownloading, Report("Report_Downloading", "BB", 1, "IPC-1", "20"));  // index 1 not below 1: new row
    EXPECT_EQ(IndexOf("BB"), 1);
    Send(kDownloading, Report("Report_Downloading", "AA", 1, "IPC-1", "30"));  // index 0 below 2: updates row 0
    ASSERT_EQ(Rows().size(), 2u);
    EXPECT_EQ(Rows()[0][kColSchedule], "30%");
    EXPECT_EQ(IndexOf("AA"), 0);
}

TEST_F(ReportTest, ChineseTextsAreShownAndCountersReset) {
    m_dlg.m_wLangID = 2052;
    Send(kDownloading, Report("Report_Downloading", "ZZ", 6));
    EXPECT_EQ(Rows()[0][kColState], "\xe4\xb8\x8b\xe8\xbd\xbd\xe5\xa4\xb1\xe8\xb4\xa5");  // 下载失败
    m_dlg.RegisterIpcInfo("AA", "ip", "IPC-A-1", 0);
    Send(kDownloading, Report("Report_Downloading", "AA", 5));
    EXPECT_EQ(m_view.ItemText(IDC_STATIC_FAIL), "1");
    m_dlg.ResetCounters();
    EXPECT_TRUE(m_dlg.m_nFailCount == 0 && m_view.ItemText(IDC_STATIC_FAIL) == "0");
}

}  // namespace
