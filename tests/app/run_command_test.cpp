// kelvane-cli run end to end: scripted devices in a namespace of their own ask for an address,
// fetch the offered file with a real TFTP client and report, and the results file and exit
// status say how each one ended.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <regex>
#include <thread>

#include "support/netns.h"
#include "support/peer_namespace.h"
#include "support/temp_dir.h"
#include "support/udp_peer.h"
#include "support/veth_link.h"
#include "support/wait_until.h"
#include "tools/devsim/fmw_writer.h"

extern char** environ;

namespace {

constexpr const char* kServerIp = "10.77.0.1";

// One scripted device: asks until a reply for its MAC comes, then reports as the test says.
class ScriptedDevice {
public:
    explicit ScriptedDevice(std::string mac) : m_mac(std::move(mac)) {}
    // The reply to an address request with `version`, empty when none came within 15 s.
    std::string Ask(const std::string& version) {
        std::string reply;
        auto answered = [&] {
            for (const std::string& got : m_peer.Received()) {
                if (got.find("IPCMac:" + m_mac + "\r\n") != std::string::npos) reply = got;
            }
            return !reply.empty();
        };
        for (int tries = 0; tries < 30 && !answered(); ++tries) {
            m_peer.SendTo("Msg:Request_ipaddr\r\nVersion:" + version + "\r\nCseq:7\r\nIPCMac:" + m_mac + "\r\n",
                          kServerIp, 10011);
            testsupport::WaitUntil(answered, 500);
        }
        return reply;
    }
    void Report(const char* type, int schedule, const std::string& state) {
        m_peer.SendTo(std::string("Msg:") + type + "\r\nIpaddr:10.77.0.10\r\nIPCMac:" + m_mac + "\r\nSchedule:" +
                          std::to_string(schedule) + "\r\nState:" + state + "\r\nVersion:IPC2F-2.0.0.1-b1\r\n",
                      kServerIp, 10011);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // reports of one device stay in order
    }

private:
    std::string m_mac;
    testsupport::UdpPeer m_peer{"0.0.0.0", 10010};  // the replies are broadcast to this port
};

class RunCommandTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_link.Ok() && m_link.AddAddress("10.77.0.1/24 brd +") && m_devices.Ok());
        m_firmware = devsim::LegacyFirmware("FIRMWARE", "QL_IPC2F_V2.1.0.7") + std::string(70000, 'x');
        m_folder.Write("ipc.bin", m_firmware);
    }
    // Starts kelvane-cli run with `options` in the work folder, its output to out.txt.
    pid_t Start(const std::string& options) {
        std::string line = "cd " + m_work.Path() + " && exec " KELVANE_CLI_PATH " run --address 10.77.0.1 --lang en " +
                           options + " >out.txt 2>&1";
        const char* argv[] = {"/bin/sh", "-c", line.c_str(), nullptr};
        pid_t pid = 0;
        EXPECT_EQ(0, posix_spawn(&pid, "/bin/sh", nullptr, nullptr, const_cast<char**>(argv), environ));
        return pid;
    }
    int Wait(pid_t pid, int ms = 60000) {
        int status = 0;
        for (int waited = 0; waitpid(pid, &status, WNOHANG) == 0; waited += 20) {
            if (waited > ms) {
                kill(pid, SIGKILL);
                waitpid(pid, &status, 0);
                return -1;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
        return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    }

    testsupport::VethLink m_link{"va"};
    testsupport::PeerNamespace m_devices{m_link.Peer(), "10.77.0.2/24 brd +"};
    testsupport::TempDir m_folder, m_work;
    std::string m_firmware;
};

TEST_F(RunCommandTest, ResultsOfEveryKindAndTheExitStatus) {
    pid_t cli = Start("--folder " + m_folder.Path() + " --results results.csv --idle 2");
    int devices = m_devices.Run([&] {
        ScriptedDevice ok("AA:00:00:00:00:01"), failing("AA:00:00:00:00:02"), silent("AA:00:00:00:00:03"),
            current("AA:00:00:00:00:04");
        std::string reply = ok.Ask("IPC2F-2.0.0.1");
        if (reply.find("\r\nServerIP:10.77.0.1\r\n") == std::string::npos ||
            reply.find("\r\nFilePath:ipc.bin\r\n") == std::string::npos) {
            return 1;
        }
        if (testsupport::RunCommand("curl -sS --max-time 30 --tftp-blksize 1468 -o " + m_work.File("got.bin") +
                                    " tftp://10.77.0.1/ipc.bin") != 0 ||
            m_work.Read("got.bin") != m_firmware) {
            return 2;
        }
        if (current.Ask("IPC2F-9.9.9.9").find("FilePath:ipc.bin") != std::string::npos) return 3;
        if (failing.Ask("IPC2F-2.0.0.1").empty() || silent.Ask("IPC2F-2.0.0.1").empty()) return 4;
        for (const char* type : {"Report_Downloading", "Report_Uboot", "Report_Kernel", "Report_Filesystem"}) {
            ok.Report(type, 50, "1");
            ok.Report(type, 100, "0");
        }
        failing.Report("Report_Downloading", 10, "1");
        failing.Report("Report_Uboot", 20, "6");
        silent.Report("Report_Downloading", 30, "1");
        return 0;
    });
    EXPECT_EQ(devices, 0);
    EXPECT_EQ(Wait(cli), 1) << m_work.Read("out.txt");
    // A device asks again when a reply is slow to come, so which address it got last may vary.
    std::string csv = m_work.Read("results.csv");
    for (const char* expected :
         {"AA:00:00:00:00:01,IPC2F,IPC2F-2.0.0.1,IPC2F-2.1.0.7,ipc.bin,10.77.0.\\d+,succeeded,0,",
          "AA:00:00:00:00:02,IPC2F,IPC2F-2.0.0.1,IPC2F-2.1.0.7,ipc.bin,10.77.0.\\d+,failed,6,",
          "AA:00:00:00:00:03,IPC2F,IPC2F-2.0.0.1,IPC2F-2.1.0.7,ipc.bin,10.77.0.\\d+,unfinished,1,",
          "AA:00:00:00:00:04,IPC2F,IPC2F-9.9.9.9,,,,no upgrade,,"}) {
        EXPECT_TRUE(std::regex_search(csv, std::regex(expected))) << expected << " not in\n" << csv;
    }
    EXPECT_NE(m_work.Read("out.txt").find("1 succeeded, 1 failed, 1 unfinished, 1 up to date"), std::string::npos);
}

// A second run on the address of a running one is refused with the reason the run control gives
// (every reason is checked there); the running one ends with 0 once every device it offered a file
// to has succeeded.
TEST_F(RunCommandTest, ARefusedRunSaysWhyAndTheRunningOneEndsWithZero) {
    pid_t first = Start("--folder " + m_folder.Path() + " --results results.json --devices 1");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const auto [status, out] =
        testsupport::RunCapture(KELVANE_CLI_PATH " run --address 10.77.0.1 --folder " + m_folder.Path());
    EXPECT_EQ(status, 2);
    EXPECT_NE(out.find("not started: Port 10011 (device messages) is held by another program"), std::string::npos)
        << out;
    EXPECT_EQ(0, m_devices.Run([&] {
        ScriptedDevice ok("AA:00:00:00:00:05");
        if (ok.Ask("IPC2F-2.0.0.1").empty()) return 1;
        for (const char* type : {"Report_Downloading", "Report_Uboot", "Report_Kernel", "Report_Filesystem"})
            ok.Report(type, 100, "0");
        return 0;
    }));
    EXPECT_EQ(Wait(first), 0) << m_work.Read("out.txt");
    EXPECT_NE(m_work.Read("results.json").find("\"outcome\": \"succeeded\""), std::string::npos);
}

TEST_F(RunCommandTest, CtrlCStopsCleanlyAndStillWritesTheResults) {
    pid_t cli = Start("--folder " + m_folder.Path() + " --results results.csv");
    EXPECT_EQ(0, m_devices.Run([&] {
        ScriptedDevice device("AA:00:00:00:00:09");
        if (device.Ask("IPC2F-2.0.0.1").empty()) return 1;
        device.Report("Report_Downloading", 40, "1");
        return 0;
    }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    kill(cli, SIGINT);
    EXPECT_EQ(Wait(cli, 20000), 1);
    EXPECT_TRUE(std::regex_search(m_work.Read("results.csv"),
                                  std::regex("AA:00:00:00:00:09,IPC2F,IPC2F-2.0.0.1,IPC2F-2.1.0.7,ipc.bin,10.77.0.\\d+,"
                                             "unfinished,1,")))
        << m_work.Read("results.csv");
    EXPECT_NE(m_work.Read("out.txt").find("Stopping the run (interrupted)"), std::string::npos);
}

}  // namespace
