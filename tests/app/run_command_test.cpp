// kelvane-cli run end to end: simulated devices in a namespace of their own ask for an address,
// fetch the offered file and report, a real TFTP client fetches it too, and the results file and
// exit status say how each one ended.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <future>
#include <regex>
#include <thread>

#include "support/netns.h"
#include "support/run_fixture.h"
#include "support/sim_devices.h"
#include "support/udp_peer.h"
#include "support/wait_until.h"
#include "tools/devsim/fmw_writer.h"

namespace {

// The lab of the run control's tests, whose run control stays idle: kelvane-cli serves instead.
class RunCommandTest : public testsupport::RunFixture {
protected:
    void SetUp() override {
        RunFixture::SetUp();
        m_firmware = devsim::LegacyFirmware("FIRMWARE", "QL_IPC2F_V2.1.0.7") + std::string(70000, 'x');
        m_folder.Write("ipc.bin", m_firmware);
    }
    // Runs kelvane-cli run with `options` in the work folder on a thread of its own, killed after a
    // minute (longer in slow builds); the file "pid" holds the pid to signal it by.
    std::future<testsupport::CommandResult> Start(const std::string& options) {
        const std::string line = "cd " + m_work.Path() +
                                 " && echo $$ >pid && exec timeout -s KILL " + std::to_string(testsupport::Scaled(60)) +
                                 " " KELVANE_CLI_PATH " run --address 10.77.0.1 --lang en " + options;
        return std::async(std::launch::async, [line] { return testsupport::RunCapture(line); });
    }
    // Devices of "--device" texts asking the run, numbered from AA:00:00:00:00:01.
    std::unique_ptr<devsim::DeviceSimulator> Devices(const std::vector<std::string>& groups) {
        devsim::SimConfig config = testsupport::QuickDevices("10.77.0.1", m_devices.Path());
        config.macBase = "AA:00:00:00:00:01";
        return testsupport::StartDevices(config, groups);
    }

    testsupport::TempDir m_work;
    std::string m_firmware;
};

TEST_F(RunCommandTest, ResultsOfEveryKindAndTheExitStatus) {
    auto cli = Start("--folder " + m_folder.Path() + " --results results.csv --idle 2");
    auto devices = Devices({"", "fail=uboot:6", "silent=download", "version=9.9.9.9,expect=up-to-date"});
    ASSERT_NE(nullptr, devices);
    // Once the run answers, curl fetches the file as a device would.
    ASSERT_TRUE(testsupport::WaitUntil([&] { return !devices->Results()[0].lentIp.empty(); }));
    EXPECT_EQ(0, m_devices.Run([&] {
        return testsupport::RunCommand("curl -sS --max-time 30 --tftp-blksize 1468 -o " + m_work.File("got.bin") +
                                       " tftp://10.77.0.1/ipc.bin");
    }));
    EXPECT_EQ(m_firmware, m_work.Read("got.bin"));
    ASSERT_TRUE(devices->Wait(testsupport::Scaled(60000)));
    EXPECT_TRUE(devices->AllAsExpected()) << devsim::Summary(devices->Results());
    const testsupport::CommandResult run = cli.get();
    EXPECT_EQ(run.status, 1) << run.out;
    // A device asks again when a reply is slow to come, so which address it got last may vary.
    std::string csv = m_work.Read("results.csv");
    for (const char* expected :
         {"AA:00:00:00:00:01,IPC2F,IPC2F-1.0.0.0,IPC2F-2.1.0.7,ipc.bin,10.77.0.\\d+,succeeded,0,",
          "AA:00:00:00:00:02,IPC2F,IPC2F-1.0.0.0,IPC2F-2.1.0.7,ipc.bin,10.77.0.\\d+,failed,6,",
          "AA:00:00:00:00:03,IPC2F,IPC2F-1.0.0.0,IPC2F-2.1.0.7,ipc.bin,10.77.0.\\d+,unfinished,1,",
          "AA:00:00:00:00:04,IPC2F,IPC2F-9.9.9.9,,,,no upgrade,,"}) {
        EXPECT_TRUE(std::regex_search(csv, std::regex(expected))) << expected << " not in\n" << csv;
    }
    EXPECT_NE(run.out.find("1 succeeded, 1 failed, 1 unfinished, 1 up to date"), std::string::npos);
}

// A second run on the address of a running one is refused with the reason the run control gives
// (every reason is checked there); the running one ends with 0 once every device it offered a file
// to has succeeded.
TEST_F(RunCommandTest, ARefusedRunSaysWhyAndTheRunningOneEndsWithZero) {
    auto first = Start("--folder " + m_folder.Path() + " --results results.json --devices 1");
    std::this_thread::sleep_for(std::chrono::milliseconds(testsupport::Scaled(1500)));
    const auto [status, out] =
        testsupport::RunCapture(KELVANE_CLI_PATH " run --address 10.77.0.1 --folder " + m_folder.Path());
    EXPECT_EQ(status, 2);
    EXPECT_NE(out.find("not started: Port 10011 (device messages) is held by another program"), std::string::npos)
        << out;
    auto device = Devices({""});
    ASSERT_TRUE(device != nullptr && device->Wait(testsupport::Scaled(60000)) && device->AllAsExpected());
    const testsupport::CommandResult run = first.get();
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(m_work.Read("results.json").find("\"outcome\": \"succeeded\""), std::string::npos);
}

TEST_F(RunCommandTest, CtrlCStopsCleanlyAndStillWritesTheResults) {
    auto cli = Start("--folder " + m_folder.Path() + " --results results.csv");
    auto device = Devices({"silent=download"});
    ASSERT_TRUE(device != nullptr && device->Wait(testsupport::Scaled(60000)) && device->AllAsExpected());
    std::this_thread::sleep_for(std::chrono::milliseconds(testsupport::Scaled(300)));  // its last report is on its way
    kill(std::stoi(m_work.Read("pid")), SIGINT);
    const testsupport::CommandResult run = cli.get();
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_TRUE(std::regex_search(m_work.Read("results.csv"),
                                  std::regex("AA:00:00:00:00:01,IPC2F,IPC2F-1.0.0.0,IPC2F-2.1.0.7,ipc.bin,10.77.0.\\d+,"
                                             "unfinished,1,")))
        << m_work.Read("results.csv");
    EXPECT_NE(run.out.find("Stopping the run (interrupted)"), std::string::npos);
}

// Only devices that asked and were answered end or prolong a run: five invented requests of a
// model the folder does not know do not end a run of --devices 2, and a junk datagram every 300 ms
// does not keep --idle alive once the one real device has its outcome.
TEST_F(RunCommandTest, InventedRequestsAndJunkNeitherEndNorProlongARun) {
    auto cli = Start("--folder " + m_folder.Path() + " --devices 2 --idle 2");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));  // listening by now
    EXPECT_EQ(0, m_devices.Run([] {
        testsupport::UdpPeer host{"10.77.0.2"};
        for (int i = 1; i <= 5; ++i) {
            host.SendTo("Msg:Request_ipaddr\r\nVersion:NOSUCH-1.0.0.0\r\nCseq:1\r\nIPCMac:EE:00:00:00:00:0" +
                            std::to_string(i) + "\r\n",
                        "10.77.0.1", 10011);
        }
        return 0;
    }));
    EXPECT_EQ(cli.wait_for(std::chrono::milliseconds(2500)), std::future_status::timeout)
        << "invented requests ended the run";

    std::atomic<bool> junkOn{true};
    auto junk = std::async(std::launch::async, [&] {
        return m_devices.Run([&] {
            testsupport::UdpPeer host{"10.77.0.2"};
            while (junkOn) {
                host.SendTo("x", "10.77.0.1", 10011);
                std::this_thread::sleep_for(std::chrono::milliseconds(300));
            }
            return 0;
        });
    });
    auto device = Devices({""});
    ASSERT_TRUE(device != nullptr && device->Wait(60000) && device->AllAsExpected());
    const auto done = std::chrono::steady_clock::now();
    EXPECT_EQ(cli.wait_for(std::chrono::seconds(15)), std::future_status::ready) << "junk kept the run alive";
    EXPECT_LT(std::chrono::steady_clock::now() - done, std::chrono::seconds(15));
    junkOn = false;
    junk.wait();
    const testsupport::CommandResult run = cli.get();
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("1 succeeded"), std::string::npos) << run.out;
}

}  // namespace
