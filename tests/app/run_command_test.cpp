// kelvane-cli run end to end: simulated devices in a namespace of their own ask for an address,
// fetch the offered file and report, a real TFTP client fetches it too, and the results file and
// exit status say how each one ended.
#include <gtest/gtest.h>
#include <signal.h>

#include <atomic>
#include <chrono>
#include <fstream>
#include <future>
#include <map>
#include <nlohmann/json.hpp>
#include <regex>
#include <sstream>
#include <thread>

#include "support/netns.h"
#include "support/run_fixture.h"
#include "support/sim_devices.h"
#include "support/udp_peer.h"
#include "support/wait_until.h"
#include "tools/devsim/fmw_writer.h"

namespace {

// Any character of the CJK blocks (UTF-8 lead bytes E2 BA..E9, EA..ED for Hangul, EF BC for full width).
bool HasCjk(const std::string& text) {
    return std::regex_search(text, std::regex("[\xE3-\xE9][\x80-\xBF][\x80-\xBF]|\xEF\xBC[\x80-\xBF]"));
}

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
    std::future<testsupport::CommandResult> Start(const std::string& options, const std::string& after = "") {
        const std::string line = "cd " + m_work.Path() + " && bash -c 'echo $$ >pid && exec timeout -s KILL " +
                                 std::to_string(testsupport::Scaled(60)) + " " + std::string(KELVANE_CLI_PATH) +
                                 " run --address 10.77.0.1 --lang en " + options + "'" + after;
        return std::async(std::launch::async, [line] { return testsupport::RunCapture(line); });
    }
    // The pid of kelvane-cli itself, under `timeout`, to signal it as a terminal or a service manager would.
    int CliPid() {
        const std::string timeoutPid = m_work.Read("pid");
        std::string children;
        testsupport::WaitUntil([&] {
            std::ifstream in("/proc/" + timeoutPid.substr(0, timeoutPid.find('\n')) + "/task/" +
                             timeoutPid.substr(0, timeoutPid.find('\n')) + "/children");
            return static_cast<bool>(in >> children);
        });
        return children.empty() ? -1 : std::stoi(children);
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
    auto cli = Start("--folder " + m_folder.Path() + " --results results.csv --events events.jsonl --idle 2");
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
    EXPECT_NE(run.out.find("asked 4 | downloading 1 | writing flash 0 | succeeded 1 | failed 1 | unfinished 1 | "
                           "up to date 1"),
              std::string::npos)
        << run.out;
    EXPECT_NE(csv.find(",run_state\r\n"), std::string::npos);
    EXPECT_EQ(std::regex_search(csv, std::regex(",running\r\n")), false) << csv;
    EXPECT_FALSE(HasCjk(run.out)) << run.out;

    // The event stream tells the same story: each device's last event has its outcome in the file.
    std::istringstream events(m_work.Read("events.jsonl"));
    std::map<std::string, nlohmann::json> last;
    int lines = 0;
    for (std::string line; std::getline(events, line); ++lines) {
        const nlohmann::json one = nlohmann::json::parse(line, nullptr, false);
        ASSERT_TRUE(one.is_object()) << line;
        for (const char* key : {"time", "mac", "address", "event", "state", "state_text", "progress", "outcome"}) {
            EXPECT_TRUE(one.contains(key)) << key << " missing in " << line;
        }
        last[one.value("mac", "")] = one;
    }
    EXPECT_GT(lines, 8);
    ASSERT_EQ(last.size(), 4u);
    for (const auto& [mac, one] : last) {
        EXPECT_TRUE(std::regex_search(csv, std::regex(mac + ",.*," + one.value("outcome", "?") + ",")))
            << mac << " ends " << one.dump() << " in the events but not in\n"
            << csv;
    }
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

// Devices writing flash: the first Ctrl-C only warns, a second one within seconds stops.
TEST_F(RunCommandTest, CtrlCWhileWritingFlashAsksForASecond) {
    auto cli = Start("--folder " + m_folder.Path() + " --events events.jsonl --ip-check");
    auto devices = Devices({"count=2,silent=2"});
    ASSERT_TRUE(devices != nullptr && devices->Wait(testsupport::Scaled(60000)) && devices->AllAsExpected());
    ASSERT_TRUE(testsupport::WaitUntil([&] {
        const std::string events = m_work.Read("events.jsonl");
        return std::regex_search(events, std::regex("\"event\":2[^]*\"event\":2"));
    }));
    const int pid = CliPid();
    ASSERT_GT(pid, 0);
    kill(pid, SIGINT);
    std::this_thread::sleep_for(std::chrono::milliseconds(1000));
    EXPECT_EQ(cli.wait_for(std::chrono::seconds(0)), std::future_status::timeout);
    kill(pid, SIGINT);
    const testsupport::CommandResult run = cli.get();
    EXPECT_EQ(run.status, 1) << run.out;
    EXPECT_NE(run.out.find("2 device(s) are writing flash: stopping now may leave them unbootable"), std::string::npos)
        << run.out;
    EXPECT_NE(run.out.find("Stopping the run (Ctrl-C)"), std::string::npos) << run.out;
    EXPECT_NE(run.out.find("--ip-check probes every address"), std::string::npos) << run.out;
    EXPECT_FALSE(HasCjk(run.out)) << run.out;
}

// However the run is ended, the results file holds every device; only a killed run leaves it
// marked as running. Piped output shows each change once, and nothing again after the stop.
TEST_F(RunCommandTest, ResultsSurviveEveryEnd) {
    struct Case {
        const char* name;
        int signal;         // 0: the run ends by --devices, its output into a closed pipe
        const char* state;  // run_state in the file afterwards
        const char* outcome;
    };
    const Case cases[] = {{"Ctrl-C", SIGINT, "finished", "unfinished"},
                          {"SIGHUP", SIGHUP, "finished", "unfinished"},
                          {"SIGQUIT", SIGQUIT, "finished", "unfinished"},
                          {"SIGKILL", SIGKILL, "running", "unfinished"},
                          {"closed pipe", 0, "finished", "succeeded"}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        m_work.Write("results.csv", "an older run's file\n");
        auto cli = c.signal != 0 ? Start("--folder " + m_folder.Path() + " --results results.csv")
                                 : Start("--folder " + m_folder.Path() + " --results results.csv --devices 1",
                                         " | head -c 1 >/dev/null");
        EXPECT_TRUE(testsupport::WaitUntil([&] { return m_work.Read("results.csv").rfind("mac,", 0) == 0; }))
            << "the older file is replaced at the start";
        {
            auto device = Devices({c.signal != 0 ? "silent=0" : ""});
            ASSERT_TRUE(device != nullptr && device->Wait(testsupport::Scaled(60000)) && device->AllAsExpected());
        }
        if (c.signal != 0) {
            ASSERT_TRUE(testsupport::WaitUntil(
                [&] { return m_work.Read("results.csv").find("AA:00:00:00:00:01") != std::string::npos; }));
            const int pid = CliPid();
            ASSERT_GT(pid, 0);
            kill(pid, c.signal);
        }
        const testsupport::CommandResult run = cli.get();
        if (c.signal == SIGINT) {
            const size_t stopping = run.out.find("Stopping the run (Ctrl-C)...");
            ASSERT_NE(stopping, std::string::npos) << run.out;
            EXPECT_EQ(run.out.find("AA:00:00:00:00:01", stopping), std::string::npos) << run.out;
        }
        const std::string csv = m_work.Read("results.csv");
        EXPECT_TRUE(std::regex_search(
            csv, std::regex(std::string("AA:00:00:00:00:01,.*,") + c.outcome + ",.*," + c.state + "\r\n")))
            << csv;
    }
}

// Mistakes cost nothing: each is refused before the run starts, with the option that mends it.
TEST_F(RunCommandTest, MistakesAreRefusedBeforeTheStart) {
    m_work.Write("file", "x");
    ASSERT_EQ(0,
              testsupport::RunCommand("ip link add kvdown0 type veth peer name kvdown1 && ip addr add 10.78.0.1/24 "
                                      "dev kvdown0 && ip link set kvdown0 up && ip addr add 10.79.0.1/24 dev kvdown1"));
    struct Case {
        std::string options;
        const char* said;
    };
    const std::string folder = " --folder " + m_folder.Path();
    const Case cases[] = {
        {folder + " --results /no/dir/r.csv", "--results /no/dir/r.csv: the folder /no/dir cannot be used"},
        {folder + " --results " + m_work.File("file") + "/r.csv", "is a file, not a folder. Give another --results"},
        {folder + " --results " + m_work.Path(), "is a folder. Give a file name"},
        {folder + " --events /no/dir/e.jsonl", "--events /no/dir/e.jsonl: the folder /no/dir cannot be used"},
        {" --folder " + m_work.File("file"), "is a file, not a folder"},
        {" --folder /no/such/folder", "--folder /no/such/folder cannot be used: No such file or directory"},
        {folder + " --address 10.99.0.1",
         "--address 10.99.0.1 is not an address of this computer. Its IPv4 "
         "addresses: lo 127.0.0.1 (up), va 10.77.0.1 (up)"},
        {folder + " --address 10.78.0.1", "--address 10.78.0.1 is on kvdown0, which has no link"},
        {folder + " --address 10.79.0.1", "--address 10.79.0.1 is on kvdown1, which is down"},
        {folder + " --address nowhere", "--address nowhere is not an IPv4 address"},
        {folder + " --lang fr", "--lang: fr not in {en,zh}"},
        {folder + " --no-such-option", "The following argument was not expected: --no-such-option"},
    };
    for (const Case& c : cases) {
        // The command line's own --address comes first; a second one wins.
        const auto [status, out] = testsupport::RunCapture(
            "cd " + m_work.Path() + " && " KELVANE_CLI_PATH " run --lang en" +
            (c.options.find("--address") == std::string::npos ? " --address 10.77.0.1" : "") + c.options);
        EXPECT_EQ(status, 2) << c.options << "\n" << out;
        EXPECT_NE(out.find(c.said), std::string::npos) << c.options << "\n" << out;
        EXPECT_EQ(out.find("Kelvane run on"), std::string::npos) << "started anyway: " << out;
        EXPECT_FALSE(HasCjk(out)) << out;
    }
    testsupport::RunCommand("ip link del kvdown0");
}

// In a real terminal (tmux, 80x24, then resized) the table stays in place: one copy in the whole
// scrollback, no line wider than the terminal, and a single summary at the end.
TEST_F(RunCommandTest, TheLiveTableStaysInPlaceInATerminal) {
    const std::string tmux = "tmux -L kelvane-test-" + std::to_string(getpid()) + " ";
    // The screen with its scrollback; joined (-J), a line the terminal had to wrap shows at its full width.
    auto screen = [&] { return testsupport::RunCapture(tmux + "capture-pane -p -J -S - -E -").out; };
    auto count = [](const std::string& text, const std::string& what) {
        size_t n = 0;
        for (size_t at = text.find(what); at != std::string::npos; at = text.find(what, at + 1)) ++n;
        return n;
    };
    auto check = [&](const std::string& text, int width) {
        std::istringstream lines(text);
        for (std::string line; std::getline(lines, line);) {
            if (line.rfind("Kelvane run on", 0) != 0) {
                EXPECT_LE(static_cast<int>(line.size()), width) << line;
            }
        }
        EXPECT_LE(count(text, "Kelvane on 10.77.0.1"), 1u) << text;
        EXPECT_LE(count(text, "MAC               IP address"), 1u) << text;
    };
    ASSERT_EQ(0, testsupport::RunCommand(tmux + "-f /dev/null new-session -d -x 80 -y 24 \"cd " + m_work.Path() +
                                         " && " KELVANE_CLI_PATH " run --address 10.77.0.1 --lang en --folder " +
                                         m_folder.Path() + " --devices 30; sleep 120\""));
    auto devices = Devices({"count=30,step-ms=400"});
    ASSERT_NE(devices, nullptr);
    ASSERT_TRUE(testsupport::WaitUntil([&] { return screen().find(" more") != std::string::npos; }));
    check(screen(), 80);
    ASSERT_EQ(0, testsupport::RunCommand(tmux + "resize-window -x 60 -y 20"));
    std::this_thread::sleep_for(std::chrono::milliseconds(600));  // the next tick draws at the new size
    check(screen(), 60);
    ASSERT_TRUE(devices->Wait(testsupport::Scaled(60000)));
    ASSERT_TRUE(testsupport::WaitUntil([&] { return screen().find("Run ended:") != std::string::npos; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));
    // The operator's own screen again: the run's lines, one final table and the summary.
    const std::string last = screen();
    check(last, 60);
    EXPECT_EQ(count(last, "Kelvane run on 10.77.0.1"), 1u) << last;
    EXPECT_EQ(count(last, "Kelvane on 10.77.0.1"), 0u) << last;
    EXPECT_EQ(count(last, "Run ended:"), 1u) << last;
    EXPECT_NE(last.find("succeeded 30"), std::string::npos) << last;
    testsupport::RunCommand(tmux + "kill-server");
}

// With nobody asking, the run ends with a warning and its own status.
TEST_F(RunCommandTest, ARunNoDeviceAskedEndsWithAWarning) {
    auto cli = Start("--folder " + m_folder.Path() + " --results results.csv");
    ASSERT_TRUE(testsupport::WaitUntil([&] { return m_work.Read("results.csv").rfind("mac,", 0) == 0; }));
    kill(CliPid(), SIGTERM);
    const testsupport::CommandResult run = cli.get();
    EXPECT_EQ(run.status, 3) << run.out;
    EXPECT_NE(run.out.find("Warning: no device asked for an address during the run"), std::string::npos) << run.out;
}

// Only devices that asked and were answered end or prolong a run: five invented requests of a
// model the folder does not know do not end a run of --devices 2, and a junk datagram every 300 ms
// does not keep --idle alive once the one real device has its outcome.
TEST_F(RunCommandTest, InventedRequestsAndJunkNeitherEndNorProlongARun) {
    auto cli = Start("--folder " + m_folder.Path() + " --devices 2 --idle 2");
    std::this_thread::sleep_for(std::chrono::milliseconds(testsupport::Scaled(1500)));  // listening by now
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
    ASSERT_TRUE(device != nullptr && device->Wait(testsupport::Scaled(60000)) && device->AllAsExpected());
    const auto done = std::chrono::steady_clock::now();
    EXPECT_EQ(cli.wait_for(std::chrono::seconds(testsupport::Scaled(15))), std::future_status::ready)
        << "junk kept the run alive";
    junkOn = false;
    junk.wait();
    const testsupport::CommandResult run = cli.get();
    EXPECT_EQ(run.status, 0) << run.out;
    EXPECT_NE(run.out.find("| succeeded 1 |"), std::string::npos) << run.out;
    EXPECT_LT(std::chrono::steady_clock::now() - done, std::chrono::seconds(testsupport::Scaled(15)));
}

}  // namespace
