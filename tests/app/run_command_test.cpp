// kelvane-cli run end to end: scripted devices in a namespace of their own ask for an address,
// fetch the offered file with a real TFTP client and report, and the results file and exit
// status say how each one ended.
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>

#include <chrono>
#include <cstring>
#include <regex>
#include <thread>

#include "platform/udp_socket.h"
#include "support/netns.h"
#include "support/peer_namespace.h"
#include "support/temp_dir.h"
#include "tools/devsim/fmw_writer.h"

extern char** environ;

namespace {

constexpr const char* kServerIp = "10.77.0.1";
constexpr const char* kDeviceIp = "10.77.0.2";

// One scripted device: asks until a reply for its MAC comes, then does what the test says.
class ScriptedDevice {
public:
    explicit ScriptedDevice(std::string mac) : m_mac(std::move(mac)) {
        m_replies = platform::UdpSocket::OpenIPv4();
        m_replies.SetReuseAddress(true);
        m_replies.Bind("0.0.0.0", 10010);
        m_send = platform::UdpSocket::OpenIPv4();
        m_send.Bind(kDeviceIp, 0);
    }
    // The reply to an address request with `version`, empty when none came within `ms`.
    std::string Ask(const std::string& version, int ms = 15000) {
        std::string request = "Msg:Request_ipaddr\r\nVersion:" + version + "\r\nCseq:7\r\nIPCMac:" + m_mac + "\r\n";
        for (int waited = 0; waited < ms; waited += 500) {
            Send(request);
            char buffer[2048];
            while (m_replies.WaitReadable(500) == 1) {
                long got = m_replies.ReceiveFrom(buffer, sizeof buffer - 1, nullptr);
                if (got <= 0) continue;
                buffer[got] = '\0';
                if (std::strstr(buffer, ("IPCMac:" + m_mac + "\r\n").c_str()) != nullptr) return buffer;
            }
        }
        return "";
    }
    void Report(const char* type, int schedule, const std::string& state) {
        Send(std::string("Msg:") + type + "\r\nIpaddr:10.77.0.10\r\nIPCMac:" + m_mac +
             "\r\nSchedule:" + std::to_string(schedule) + "\r\nState:" + state + "\r\nVersion:IPC2F-2.0.0.1-b1\r\n");
        std::this_thread::sleep_for(std::chrono::milliseconds(20));  // reports of one device stay in order
    }

private:
    void Send(const std::string& text) {
        in_addr server{};
        platform::ParseIPv4(kServerIp, &server);
        m_send.SendTo(text.c_str(), text.size() + 1, platform::MakeSockaddrIn(server, 10011));
    }
    std::string m_mac;
    platform::UdpSocket m_replies, m_send;
};

std::string Field(const std::string& reply, const std::string& key) {
    size_t at = reply.find(key + ":");
    if (at == std::string::npos) return "";
    at += key.size() + 1;
    return reply.substr(at, reply.find("\r\n", at) - at);
}

class RunCommandTest : public testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(0, testsupport::RunCommand("ip link add va type veth peer name vap && ip link set va up && "
                                             "ip addr add 10.77.0.1/24 brd + dev va"));
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
    // Runs `body` as the device side, with the link's peer end and the device address.
    int Devices(const std::function<int()>& body) {
        return testsupport::RunInPeerNamespace(
            {"vap"},
            [&] {
                if (testsupport::RunCommand("ip link set vap up && ip addr add 10.77.0.2/24 brd + dev vap") != 0)
                    return 100;
                return body();
            },
            90000);
    }
    int Download(const std::string& file) {
        return testsupport::RunCommand("curl -sS --tftp-blksize 1468 -o " + m_work.File("got.bin") + " tftp://" +
                                       kServerIp + "/" + file);
    }

    testsupport::TempDir m_folder, m_work;
    std::string m_firmware;
};

TEST_F(RunCommandTest, ResultsOfEveryKindAndTheExitStatus) {
    pid_t cli = Start("--folder " + m_folder.Path() + " --results results.csv --idle 2");
    int devices = Devices([&] {
        ScriptedDevice ok("AA:00:00:00:00:01"), failing("AA:00:00:00:00:02"), silent("AA:00:00:00:00:03"),
            current("AA:00:00:00:00:04");
        std::string reply = ok.Ask("IPC2F-2.0.0.1");
        if (Field(reply, "FilePath") != "ipc.bin" || Field(reply, "ServerIP") != kServerIp) return 1;
        if (Download("ipc.bin") != 0 || m_work.Read("got.bin") != m_firmware) return 2;
        if (Field(current.Ask("IPC2F-9.9.9.9"), "FilePath") != "") return 3;
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

TEST_F(RunCommandTest, EndsWithZeroOnceEveryOfferedDeviceSucceeded) {
    pid_t cli = Start("--folder " + m_folder.Path() + " --results results.json --devices 1");
    EXPECT_EQ(0, Devices([&] {
                  ScriptedDevice ok("AA:00:00:00:00:01");
                  if (ok.Ask("IPC2F-2.0.0.1").empty()) return 1;
                  for (const char* type : {"Report_Downloading", "Report_Uboot", "Report_Kernel", "Report_Filesystem"})
                      ok.Report(type, 100, "0");
                  return 0;
              }));
    EXPECT_EQ(Wait(cli), 0) << m_work.Read("out.txt");
    EXPECT_NE(m_work.Read("results.json").find("\"outcome\": \"succeeded\""), std::string::npos);
}

TEST_F(RunCommandTest, CtrlCStopsCleanlyAndStillWritesTheResults) {
    pid_t cli = Start("--folder " + m_folder.Path() + " --results results.csv");
    EXPECT_EQ(0, Devices([&] {
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

TEST_F(RunCommandTest, ARunThatCannotStartSaysWhyAndLeavesTheFirstAlone) {
    testsupport::TempDir empty;
    EXPECT_EQ(Wait(Start("--folder " + empty.Path())), 2);
    EXPECT_NE(m_work.Read("out.txt").find("not started: The upgrade folder " + empty.Path() + " holds no usable"),
              std::string::npos)
        << m_work.Read("out.txt");

    // A second run on the same address is refused; the first goes on serving.
    pid_t first = Start("--folder " + m_folder.Path() + " --devices 1");
    std::this_thread::sleep_for(std::chrono::milliseconds(1500));
    const auto [status, out] =
        testsupport::RunCapture(KELVANE_CLI_PATH " run --address 10.77.0.1 --folder " + m_folder.Path());
    EXPECT_EQ(status, 2);
    EXPECT_NE(out.find("is held by another program"), std::string::npos) << out;
    EXPECT_EQ(0, Devices([&] {
                  ScriptedDevice device("AA:00:00:00:00:05");
                  return Field(device.Ask("IPC2F-9.9"), "IPCMac") == "AA:00:00:00:00:05" ? 0 : 1;
              }));
    EXPECT_EQ(Wait(first), 0) << m_work.Read("out.txt");
}

}  // namespace
