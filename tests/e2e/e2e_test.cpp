// Whole upgrade runs: simulated devices in a namespace of their own behind a veth pair, against the
// real run control (CKelvaneDlg) and TFTP service in the test's namespace.
#include <gtest/gtest.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <map>
#include <set>
#include <thread>

#include "_libs/tftp/tftp.h"
#include "_libs/tftp/tftp_interface.h"
#include "log/log.h"
#include "reporting/state_text.h"
#include "support/netns.h"
#include "support/run_fixture.h"
#include "support/sim_devices.h"
#include "support/time_scale.h"
#include "support/wait_until.h"
#include "tools/devsim/fmw_writer.h"

namespace {

using devsim::Outcome;
using testsupport::Scaled;
using testsupport::WaitUntil;

class EndToEnd : public testsupport::RunFixture {
protected:
    void SetUp() override {
        RunFixture::SetUp();
        // Fifty transfers' Info lines would slow the service down under the sanitizers until the
        // devices' shortened time-outs run out.
        LogInit(LOG_MAJOR, nullptr);
        testsupport::AllowPingSockets(true);
        m_dlg.m_tftpSettings.nTimeUnitMs = Scaled(50);
        m_files = {{"IPC2F", devsim::LegacyFirmware("FIRMWARE", "QL_IPC2F_V2.1.0.7") + std::string(150000, 'x')},
                   {"IPC4K", devsim::ContainerWithVersion("QL_IPC4K_V2.1.0.7",
                                                          {std::string(90000, 'k'), std::string(40000, 'f')})},
                   {"NVR8", devsim::LegacyFirmware("FIRMWNVR", "NVR8_V2.1.0.7") + std::string(200000, 'n')}};
        for (const auto& [model, bytes] : m_files) m_folder.Write(model + ".bin", bytes);
    }
    // Starts devices from "--device" texts, asking the run by broadcast or not.
    void Devices(const std::vector<std::string>& groups, bool broadcast = false, int stepMs = 20,
                 int timeUnitMs = Scaled(50)) {
        devsim::SimConfig config = testsupport::QuickDevices(broadcast ? "" : "10.77.0.1", m_devices.Path());
        config.stepMs = stepMs;
        config.timeUnitMs = timeUnitMs;
        m_sim = testsupport::StartDevices(config, groups);
        ASSERT_NE(nullptr, m_sim);
    }
    std::pair<int, int> Counters() {
        std::lock_guard<std::mutex> lock(m_dlg.m_csCount);
        return {m_dlg.m_nSuccessCount, m_dlg.m_nFailCount};
    }
    // Waits for the devices to end as the simulator expects, and for the run to show `expected`
    // (succeeded, failed) with every device counted as it ended.
    void ExpectEveryDeviceEndedAndCounted(std::pair<int, int> expected) {
        ASSERT_TRUE(m_sim->Wait(Scaled(120000)));
        EXPECT_TRUE(m_sim->AllAsExpected()) << devsim::ResultsToJson(m_sim->Results());
        EXPECT_TRUE(WaitUntil([&] { return Counters() == expected; })) << Counters().first << "/" << Counters().second;
        EXPECT_EQ(expected, ExpectCountedAsTheDevicesEnded(true));
    }
    // Every device the run counted is counted as it ended; with `exact`, every device that ended
    // with an outcome the run can see is counted. Returns the (succeeded, failed) the run should show.
    std::pair<int, int> ExpectCountedAsTheDevicesEnded(bool exact) {
        std::map<std::string, DeviceResult> run;
        for (const DeviceResult& r : m_dlg.ResultsSnapshot()) EXPECT_TRUE(run.emplace(r.mac, r).second) << r.mac;
        std::pair<int, int> counted;
        std::set<std::string> lent;
        for (const devsim::DeviceResult& d : m_sim->Results()) {
            SCOPED_TRACE(devsim::FormatResult(d));
            EXPECT_TRUE(d.lentIp.empty() || lent.insert(d.lentIp).second) << "address lent twice";
            EXPECT_TRUE(d.outcome != Outcome::Upgraded || testsupport::Crc32(m_files.at(d.model)) == d.crc32)
                << "download differs";
            auto it = run.find(d.mac);
            const DeviceOutcome got = it == run.end() ? DeviceOutcome::Unfinished : it->second.outcome;
            DeviceOutcome want = DeviceOutcome::Unfinished;
            if (d.outcome == Outcome::Upgraded) want = DeviceOutcome::Succeeded;
            if (d.outcome == Outcome::UpToDate) want = DeviceOutcome::NoUpgrade;
            if (d.outcome == Outcome::Failed) want = DeviceOutcome::Failed;
            if (exact || got != DeviceOutcome::Unfinished) {
                EXPECT_EQ(OutcomeName(want), std::string(OutcomeName(got)));
            }
            if (got == DeviceOutcome::Failed && want == DeviceOutcome::Failed) {
                char text[256] = {};
                GetIPCStateText(1033, static_cast<uint32_t>(d.event), static_cast<uint32_t>(d.state), text);
                EXPECT_EQ(text, it->second.stateText);
            }
            counted.first += got == DeviceOutcome::Succeeded;
            counted.second += got == DeviceOutcome::Failed;
        }
        return counted;
    }

    std::map<std::string, std::string> m_files;
    std::unique_ptr<devsim::DeviceSimulator> m_sim;
};

const std::vector<std::string> kFifty = {
    "count=18,model=IPC2F",           "count=14,model=IPC4K",
    "count=13,kind=nvr,model=NVR8",   "model=IPC4K,fail=kernel:6",
    "kind=nvr,model=NVR8,fail=app:2", "model=IPC2F,version=2.1.0.7,expect=up-to-date",
    "model=IPC2F,fail=uboot:7",       "model=NVR8,kind=nvr,fail=config:4"};

TEST_F(EndToEnd, FiftyDevicesEachLentItsOwnAddressAndCountedOnce) {
    // Unicast without probing, then broadcast requests with every address probed first.
    for (const bool probe : {false, true}) {
        SCOPED_TRACE(probe ? "broadcast, probing" : "unicast, no probing");
        m_dlg.OnChkIpCheck(probe);
        Start();
        // A probed address has a failed neighbour entry on the server until the device answers an
        // ARP request (up to a second later): such devices wait longer for their first answer.
        Devices(kFifty, probe, 20, Scaled(probe ? 300 : 50));
        ExpectEveryDeviceEndedAndCounted({46, 3});  // the up-to-date one is neither
        m_sim.reset();
        m_dlg.OnBtnStart();
    }
}

// More devices than the range has addresses, starting over a few seconds: each address serves
// one device at a time, and every device is upgraded and counted once.
TEST_F(EndToEnd, ThreeHundredDevicesShareTheRangeAndAreEachCountedOnce) {
    m_files["IPCS"] = devsim::LegacyFirmware("FIRMWARE", "QL_IPCS_V2.1.0.7") + std::string(20000, 's');
    m_folder.Write("IPCS.bin", m_files["IPCS"]);
    Start();
    devsim::SimConfig config = testsupport::QuickDevices("10.77.0.1", m_devices.Path());
    // All ask within two seconds and take longer than that each: the range runs out while they work.
    config.startSpreadMs = Scaled(2000);
    config.stepMs = Scaled(1000);
    config.timeLimitMs = 30 * 60 * 1000;  // the wait below ends the test when devices stop progressing
    m_sim = testsupport::StartDevices(config, {"count=300,model=IPCS"});
    ASSERT_NE(nullptr, m_sim);
    auto ended = [&] {
        int n = 0;
        for (const devsim::DeviceResult& d : m_sim->Results()) n += d.outcome != Outcome::Pending;
        return n;
    };
    // Waits while devices keep ending; a minute without progress fails.
    for (int before = -1; !m_sim->Wait(Scaled(60000));) {
        int now = ended();
        ASSERT_GT(now, before) << devsim::Summary(m_sim->Results());
        before = now;
    }
    for (const devsim::DeviceResult& d : m_sim->Results()) {
        EXPECT_EQ(d.outcome, Outcome::Upgraded) << devsim::FormatResult(d);  // a doubly lent address is an Error
        EXPECT_EQ(testsupport::Crc32(m_files.at("IPCS")), d.crc32) << d.mac;
    }
    EXPECT_TRUE(WaitUntil([&] { return Counters() == std::make_pair(300, 0); }))
        << Counters().first << "/" << Counters().second;
    std::vector<DeviceResult> results = m_dlg.ResultsSnapshot();
    EXPECT_EQ(results.size(), 300u);
    int succeeded = 0;
    for (const DeviceResult& r : results) succeeded += r.outcome == DeviceOutcome::Succeeded;
    EXPECT_EQ(succeeded, 300);
    ResultCounts counts = m_dlg.ResultsCounts();
    EXPECT_EQ(std::make_pair(counts.succeeded, counts.failed), Counters());
    EXPECT_GT(m_dlg.RangeFullRequests(), 0);  // the late ones waited for a free address
}

TEST_F(EndToEnd, StopMidRunLeavesNothingAndTheNextRunServesTheDevicesThatAskAgain) {
    Start();
    // Each download stalls long enough that all ten are still going when the run stops, and
    // shorter than the service waits for a silent client.
    Devices({"count=10,model=IPC2F,restarts=3,stall=20:" + std::to_string(Scaled(800))});
    ASSERT_TRUE(WaitUntil([&] {
        for (const devsim::DeviceResult& d : m_sim->Results()) {
            if (d.stage != "stalled") return false;
        }
        return true;
    })) << devsim::ResultsToJson(m_sim->Results());
    m_dlg.OnBtnStart();
    TftpServiceStatus tftp{};
    EXPECT_EQ(0, GetTftpServiceStatus(&tftp));
    EXPECT_EQ(ListenerStatus::Ended, m_dlg.GetListenerStatus().state);
    // Every download was cancelled with ERROR 99. The next run starts once the devices have let go
    // of their addresses: it lends from the start of the range again.
    EXPECT_TRUE(WaitUntil([&] {
        for (const devsim::DeviceResult& d : m_sim->Results()) {
            if (d.detail.find("ERROR 99") == std::string::npos) return false;
        }
        return true;
    })) << devsim::ResultsToJson(m_sim->Results());
    Start();
    EXPECT_EQ(std::make_pair(0, 0), Counters());
    ExpectEveryDeviceEndedAndCounted({10, 0});
    EXPECT_EQ(10, m_dlg.m_lstInfo.GetItemCount());  // one row each, none left from the first run
}

TEST_F(EndToEnd, ClearingTheListMidRunNeverRenumbersARow) {
    Start();
    Devices({"count=6,model=IPC2F"}, false, 300);
    ASSERT_TRUE(WaitUntil([&] { return m_dlg.m_lstInfo.GetItemCount() == 6; }));
    m_dlg.OnBtnClearList();
    // Every device's last report came after the clear: the counters start again and count each once.
    ExpectEveryDeviceEndedAndCounted({6, 0});
    // Every row gets the number (rows before it + 1) once, and column 0 never changes.
    int rows = 0, clears = 0;
    for (const std::string& call : m_view.Calls()) {
        int row = -1, column = -1;
        if (call == "clear") {
            clears += rows == 6;
            rows = 0;
        } else if (call.rfind("insert ", 0) == 0) {
            EXPECT_EQ("insert " + std::to_string(rows) + " " + std::to_string(rows + 1), call);
            ++rows;
        } else if (std::sscanf(call.c_str(), "cell %d %d", &row, &column) == 2) {
            EXPECT_NE(0, column) << call;
        }
    }
    EXPECT_EQ(1, clears);
    EXPECT_GT(rows, 0);
}

TEST_F(EndToEnd, UnderTenPercentLossEveryDeviceEndsRightOrIsReportedUnfinished) {
    Start();
    Devices({"count=12,model=IPC2F,drop=10%,expect=any", "count=8,kind=nvr,model=NVR8,drop=10%,expect=any"});
    ASSERT_TRUE(m_sim->Wait(Scaled(120000)));
    std::this_thread::sleep_for(std::chrono::milliseconds(Scaled(500)));  // the last reports are still on their way
    const std::pair<int, int> counted = ExpectCountedAsTheDevicesEnded(false);
    EXPECT_EQ(counted, Counters());
    int upgraded = 0;
    for (const devsim::DeviceResult& d : m_sim->Results()) upgraded += d.outcome == Outcome::Upgraded;
    EXPECT_GE(upgraded, 10) << devsim::Summary(m_sim->Results());  // loss slows devices, it rarely stops them
}

// A firmware file touched after the start is no longer the one catalogued: its devices are told
// there is nothing newer, the others upgrade, and the operator hears of it once.
TEST_F(EndToEnd, DevicesOfAFileChangedUnderTheRunAreNotOfferedIt) {
    Start();
    const timespec later[2] = {{2000000000, 0}, {2000000000, 0}};
    ASSERT_EQ(0, utimensat(AT_FDCWD, m_folder.File("NVR8.bin").c_str(), later, 0));
    Devices({"count=3,model=IPC2F", "count=3,kind=nvr,model=NVR8,expect=up-to-date"});
    ExpectEveryDeviceEndedAndCounted({3, 0});
    const std::vector<std::string> calls = m_view.Calls();
    EXPECT_EQ(1, std::count_if(calls.begin(), calls.end(), [](const std::string& call) {
                  return call.rfind("message Error: The firmware file NVR8.bin changed", 0) == 0;
              }));
}

// The README's first command ends with the demo: it must pass and leave nothing behind.
TEST(Demo, UpgradesItsDevicesAndRemovesItsFiles) {
    testsupport::TempDir work;
    const auto [status, out] = testsupport::RunCapture("cd " + work.Path() + " && " KELVANE_CLI_PATH " demo");
    EXPECT_EQ(0, status) << out;
    EXPECT_NE(std::string::npos, out.find("Demo passed: every device ended as it should: 17 upgraded, 2 failed"))
        << out;
    const size_t at = out.find("Firmware folder ");
    ASSERT_NE(std::string::npos, at);
    const std::string folder = out.substr(at + 16, out.find("/firmware", at) - at - 16);
    EXPECT_NE(0, access(folder.c_str(), F_OK)) << folder << " is still there";
    EXPECT_NE(std::string::npos, work.Read("kelvane-demo-results.csv").find(",no upgrade,"));
}

}  // namespace
