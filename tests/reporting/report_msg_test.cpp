#include <gtest/gtest.h>

#include <arpa/inet.h>

#include <algorithm>
#include <functional>
#include <set>
#include <string>
#include <tuple>

#include "app/kelvane_dlg.h"
#include "log/log.h"
#include "platform/local_time.h"
#include "reporting/device_table.h"
#include "support/catalogue_entry.h"
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
    auto withState = [&](const char* state) {
        std::string t = Report("Report_Filesystem", "AA", 0);
        return t.replace(t.find("State:0"), 7, std::string("State:") + state);
    };
    const std::tuple<int, int, std::string> cases[] = {
        // A final report whose state cannot be read is no success.
        {kFilesystem, -5, withState("")}, {kFilesystem, -5, withState("ok")}, {kFilesystem, -5, withState("0x")},
        {kFilesystem, -5, withState(" ")}, {kFilesystem, -5, withState("0\x1b[2J")},
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

// A full table makes room with the oldest counted device, then the oldest one that holds no
// address any more; a device still upgrading is never dropped, and is counted at its end.
TEST_F(ReportTest, AFullTableNeverDropsADeviceStillUpgrading) {
    struct Case {
        const char* name;
        std::set<int> counted;   // devices that already have their outcome
        std::set<int> unleased;  // devices that hold no address
        std::vector<std::string> dropped;  // of those without outcome
        size_t size;                       // records after two more registrations
    };
    const size_t full = kMaxIpcInfo;
    const Case cases[] = {{"counted first", {300, 3}, {1}, {}, full},
                          {"then without address", {}, {200, 100}, {"M100", "M200"}, full},
                          {"all upgrading: kept", {}, {}, {}, full + 2}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        CKelvaneDlg dlg;
        dlg.m_wLangID = 1033;
        auto add = [&](const std::string& mac, bool leased) {
            if (leased) dlg.m_addressRequests.m_leases.TryHold("a-" + mac, mac, platform::SteadyMs());
            dlg.RegisterIpcInfo(mac.c_str(), "ip", "V-1", 0);
        };
        for (int i = 0; i < kMaxIpcInfo; ++i) add("M" + std::to_string(i), c.unleased.count(i) == 0);
        for (int i : c.counted) {
            dlg.ReportMsgProc(kFilesystem, Report("Report_Filesystem", ("M" + std::to_string(i)).c_str(), 0).c_str());
        }
        add("N1", true);
        add("N2", true);
        std::set<std::string> present;
        for (const stIpcInfo& info : dlg.m_vecIpcInfo) present.insert(info.szMac);
        std::vector<std::string> missing;
        for (int i = 0; i < kMaxIpcInfo; ++i) {
            std::string mac = "M" + std::to_string(i);
            if (present.count(mac) == 0 && c.counted.count(i) == 0) missing.push_back(mac);
        }
        EXPECT_EQ(missing, c.dropped);
        EXPECT_EQ(dlg.m_vecIpcInfo.size(), c.size);
        EXPECT_TRUE(present.count("N1") && present.count("N2"));
        // A device that was upgrading all along is still counted at its end.
        dlg.ReportMsgProc(kFilesystem, Report("Report_Filesystem", "M50", 0).c_str());
        EXPECT_EQ(dlg.m_nSuccessCount, static_cast<int>(c.counted.size()) + 1);
    }
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

}  // namespace

namespace {

// Reports as they arrive from the LAN, with their sender, through the run's own entry.
class ForgeryTest : public testing::Test {
protected:
    void SetUp() override {
        m_dlg.m_wLangID = 1033;
        m_entry.iDevType = 0;
        std::snprintf(m_entry.szVersion, sizeof m_entry.szVersion, "IPC-A1-2.0");
        std::snprintf(m_entry.szFileName, sizeof m_entry.szFileName, "a.bin");
    }
    void Offer(const char* mac, const char* address) {
        ASSERT_TRUE(m_dlg.m_results.OnOffered(mac, "IPC-A1", "IPC*A1-1.0", m_entry.szVersion, m_entry.szFileName,
                                              address, 0));
        m_dlg.RegisterIpcInfo(mac, address, m_entry);
    }
    int From(const char* sender, int event, const char* mac, int state) {
        in_addr from{};
        inet_pton(AF_INET, sender, &from);
        return m_dlg.ReportFrom(event, Report("Report_X", mac, state).c_str(), from);
    }
    const DeviceResult& Result(const std::vector<DeviceResult>& all, const std::string& mac) {
        return *std::find_if(all.begin(), all.end(), [&](const DeviceResult& r) { return r.mac == mac; });
    }

    testsupport::LogCapture m_log{LOG_MAJOR};
    CKelvaneDlg m_dlg;
    UpgradeFileInfo m_entry{};
};

// Before any lease a device speaks only from where it asked, after it only from its lent address;
// a MAC that never asked is shown as any stray report is, and never counted.
TEST_F(ForgeryTest, ReportsCountOnlyFromWhereTheDeviceAskedOrWasLent) {
    std::snprintf(m_dlg.m_szLocalIP, sizeof m_dlg.m_szLocalIP, "127.0.0.1");
    std::snprintf(m_dlg.m_szNextAllocIp, sizeof m_dlg.m_szNextAllocIp, "127.0.0.10");
    m_dlg.m_vecUpgradeFileInfo = {testsupport::CatalogueEntry("IPC-A1", "2.0.1.6", "a.bin", 0)};
    auto ask = [&](const char* sender, const char* mac, const char* version) {
        std::string text =
            std::string("Msg:Request_ipaddr\r\nVersion:") + version + "\r\nCseq:1\r\nIPCMac:" + mac + "\r\n";
        in_addr from{};
        inet_pton(AF_INET, sender, &from);
        m_dlg.RequestFrom(text.c_str(), 1, from);
        return 0;
    };
    auto fillRange = [&] {  // every address held by others: the next device gets none
        for (int octet = 10; octet < 250; ++octet) {
            m_dlg.m_addressRequests.m_leases.TryHold("127.0.0." + std::to_string(octet), "H" + std::to_string(octet),
                                                     platform::SteadyMs());
        }
        return 0;
    };
    const char* kOld = "IPC*A1-2.0.1.5";
    const char* kSame = "IPC*A1-2.0.1.6";
    struct Step {
        const char* what;
        std::function<int()> act;
        int result;
        const char* after;  // "successes/failures/rows"
    };
    const Step steps[] = {
        {"no upgrade: NU asks", [&] { return ask("10.0.0.5", "NU", kSame); }, 0, "0/0/0"},
        {"forged before any lease", [&] { return From("10.0.0.99", kFilesystem, "NU", 0); }, -9, "0/0/0"},
        {"NU from where it asked", [&] { return From("10.0.0.5", kFilesystem, "NU", 0); }, 0, "0/0/1"},
        {"NU asks again from elsewhere", [&] { return ask("10.0.0.7", "NU", kSame); }, 0, "0/0/1"},
        {"NU's old address", [&] { return From("10.0.0.5", kDownloading, "NU", 1); }, -9, "0/0/1"},
        {"NU's new address", [&] { return From("10.0.0.7", kDownloading, "NU", 1); }, 0, "0/0/2"},
        {"AA is lent 127.0.0.10", [&] { return ask("10.0.0.6", "AA", kOld); }, 0, "0/0/2"},
        {"BB is lent 127.0.0.11", [&] { return ask("10.0.0.6", "BB", kOld); }, 0, "0/0/2"},
        {"AA's request address after the lease", [&] { return From("10.0.0.6", kFilesystem, "AA", 0); }, -9, "0/0/2"},
        {"another device's lent address", [&] { return From("127.0.0.11", kFilesystem, "AA", 6); }, -9, "0/0/2"},
        {"forged after the lease", [&] { return From("10.0.0.99", kFilesystem, "AA", 6); }, -9, "0/0/2"},
        {"AA from its lent address", [&] { return From("127.0.0.10", kFilesystem, "AA", 0); }, 0, "1/0/3"},
        {"range full: RF asks", [&] { return fillRange() + ask("10.0.0.8", "RF", kOld); }, 0, "1/0/3"},
        {"forged for RF", [&] { return From("10.0.0.99", kDownloading, "RF", 6); }, -9, "1/0/3"},
        {"RF from where it asked", [&] { return From("10.0.0.8", kDownloading, "RF", 6); }, 0, "1/0/4"},
        {"a MAC that never asked", [&] { return From("10.0.0.99", kFilesystem, "NA", 0); }, 0, "1/0/5"},
    };
    for (const Step& step : steps) {
        EXPECT_EQ(step.act(), step.result) << step.what;
        std::string after = std::to_string(m_dlg.m_nSuccessCount) + "/" + std::to_string(m_dlg.m_nFailCount) + "/" +
                            std::to_string(m_dlg.m_lstInfo.Rows().size());
        EXPECT_EQ(after, step.after) << step.what;
    }
    EXPECT_NE(m_log.Text().find("of mac=NU from 10.0.0.99, asked from 10.0.0.5: ignored"), std::string::npos);
    // RF only asked: it has no result, and the results still equal the counters.
    EXPECT_EQ(m_dlg.ResultsSnapshot().size(), 3u);
    EXPECT_EQ(m_dlg.ResultsCounts().succeeded, 1);
    EXPECT_EQ(m_dlg.ResultsCounts().failed, 0);
}

// A device that asks again after its outcome starts a new attempt; the earlier outcome stays.
TEST_F(ForgeryTest, AnOutcomeIsKeptAcrossANewRequest) {
    Offer("AA", "10.0.0.10");
    From("10.0.0.10", kFilesystem, "AA", 0);
    Offer("AA", "10.0.0.12");  // a repeated request, as a forger could send
    From("10.0.0.10", kFilesystem, "AA", 6);  // the old address no longer speaks for it
    DeviceResult r = Result(m_dlg.ResultsSnapshot(), "AA");
    EXPECT_EQ(r.attempts, 2);
    EXPECT_EQ(r.earlierOutcome, DeviceOutcome::Succeeded);
    EXPECT_EQ(r.outcome, DeviceOutcome::Unfinished);
    EXPECT_EQ(r.succeededAttempts, 1);
    From("10.0.0.12", kDownloading, "AA", 6);
    r = Result(m_dlg.ResultsSnapshot(), "AA");
    EXPECT_EQ(r.outcome, DeviceOutcome::Failed);
    EXPECT_EQ(r.succeededAttempts + r.failedAttempts, 2);
    EXPECT_EQ(m_dlg.m_nSuccessCount + m_dlg.m_nFailCount, 2);
    std::string csv = FormatResultsCsv({r});
    EXPECT_NE(csv.find(",earlier_outcome,succeeded_attempts,failed_attempts\r\n"), std::string::npos);
    EXPECT_NE(csv.find(",succeeded,1,1\r\n"), std::string::npos);
}

// Invented MACs cannot grow the results without bound, nor keep out the devices still to come:
// asking alone takes no result, and a full store gives up the oldest device that never came back.
TEST_F(ForgeryTest, ResultsAreBoundedAndKeepRoomForDevicesToUpgrade) {
    enum class Fill { NothingNewer, OfferedAndHolding, OfferedAndGone, Counted };
    struct Case {
        const char* name;
        Fill fill;
        bool newcomerTaken;  // a new device to be offered a file, with the store full
    };
    const Case cases[] = {
        {"told nothing newer", Fill::NothingNewer, true},
        {"offered, still holding the address", Fill::OfferedAndHolding, false},
        {"offered, lease ended unheard", Fill::OfferedAndGone, true},
        {"offered and counted", Fill::Counted, false},
    };
    RunResults& results = m_dlg.m_results;
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        results.Clear();
        m_dlg.m_addressRequests.m_leases.Clear();
        for (size_t i = 0; i < kMaxRunResults; ++i) {
            const std::string mac = "F" + std::to_string(i), address = "10.1." + std::to_string(i) + ".1";
            if (c.fill == Fill::NothingNewer) {
                results.OnNoUpgrade(mac.c_str(), "m", "v");
                continue;
            }
            ASSERT_TRUE(results.OnOffered(mac.c_str(), "m", "v", "v2", "f", address.c_str(), 0));
            if (c.fill == Fill::OfferedAndHolding) {
                m_dlg.m_addressRequests.m_leases.TryHold(address, mac, platform::SteadyMs());
            }
            if (c.fill == Fill::Counted) results.OnOutcome(mac.c_str(), true);
        }
        results.OnNoUpgrade("U", "m", "v");  // nothing newer never pushes another device out
        EXPECT_EQ(results.OnOffered("NEW", "m", "v", "v2", "f", "10.0.0.10", 0), c.newcomerTaken);
        std::vector<DeviceResult> all = results.Snapshot();
        EXPECT_EQ(all.size(), kMaxRunResults);
        EXPECT_EQ(all.front().mac, c.newcomerTaken ? "F1" : "F0");
        EXPECT_EQ(all.back().mac, c.newcomerTaken ? "NEW" : "F4095");
        EXPECT_EQ(results.Counts().leftOut, 2);
    }

    // A flood of requests alone takes no result; only the newest asked-only devices are remembered.
    results.Clear();
    for (size_t i = 0; i < kMaxAskedOnly + 10; ++i) results.OnRequest(("Q" + std::to_string(i)).c_str(), "10.0.0.9");
    EXPECT_TRUE(results.Snapshot().empty());
    EXPECT_EQ(results.ReportSourceOf("Q0").requested, "");
    const std::string last = "Q" + std::to_string(kMaxAskedOnly + 9);
    EXPECT_EQ(results.ReportSourceOf(last.c_str()).requested, "10.0.0.9");
    ASSERT_TRUE(results.OnOffered(last.c_str(), "m", "v", "v2", "f", "10.0.0.10", 0));
    EXPECT_EQ(results.ReportSourceOf(last.c_str()).requested, "10.0.0.9");  // kept with its result
}

}  // namespace
