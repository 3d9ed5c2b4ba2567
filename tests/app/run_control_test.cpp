// Run control: a start that cannot serve is refused with its reason and leaves everything idle;
// a run starts, stops and starts again clean; the listener hears what a Windows socket bound to
// the address would. The window's other handlers are driven through the window (tests/qt).
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <thread>
#include <tuple>

#include "_libs/tftp/tftp_interface.h"
#include "platform/ini_file.h"
#include "platform/system_error_text.h"
#include "platform/system_lang.h"
#include "support/netns.h"
#include "support/run_fixture.h"
#include "support/udp_peer.h"
#include "support/wait_until.h"
#include "tools/devsim/fmw_writer.h"

namespace {

constexpr const char* kServerIp = "10.77.0.1";

std::string Request(const std::string& version, const std::string& mac) {
    return "Msg:Request_ipaddr\r\nVersion:" + version + "\r\nCseq:1\r\nIPCMac:" + mac + "\r\n";
}

using testsupport::WaitUntil;

class RunControlTest : public testsupport::RunFixture {
protected:
    void SetUp() override {
        RunFixture::SetUp();
        m_folder.Write("ipc.bin", devsim::LegacyFirmware("FIRMWARE", "QL_IPC2F_V2.1.0.7"));
    }
    // Starts, expecting a refusal whose message contains `reason`; nothing may be left running.
    void ExpectRefused(const std::string& reason) {
        const size_t before = m_view.Calls().size();
        m_dlg.OnBtnStart();
        EXPECT_FALSE(m_dlg.IsRunning());
        const std::vector<std::string> calls = m_view.Calls();
        EXPECT_EQ(1, std::count_if(calls.begin() + static_cast<long>(before), calls.end(),
                                   [](const std::string& call) { return call.rfind("message ", 0) == 0; }));
        EXPECT_NE(m_view.Last("message ").find(reason), std::string::npos) << m_view.Last("message ");
        EXPECT_NE(m_dlg.LastStartError().find(reason), std::string::npos);
        EXPECT_NE(m_view.ItemText(IDC_BTN_START), "停止升级");
        TftpServiceStatus status{};
        EXPECT_EQ(GetTftpServiceStatus(&status), 0);
    }
};

TEST_F(RunControlTest, StartsThatCannotServeAreRefusedWithTheirReason) {
    testsupport::TempDir empty;
    const std::string ok = m_folder.Path();
    // A port held by another program is named with the program, so the operator knows what to stop.
    const std::string pid = "(pid " + std::to_string(getpid());
    struct Case {
        std::string folder, address, english, chinese;
        uint16_t heldPort;
    } cases[] = {{"", kServerIp, "请选择升级文件目录", "请选择升级文件目录", 0},
                 {m_folder.File("gone"), kServerIp, "Cannot read the upgrade folder", "无法读取升级文件目录", 0},
                 {empty.Path(), kServerIp, "kelvane-cli scan " + empty.Path(), "kelvane-cli scan " + empty.Path(), 0},
                 {ok, "", "is not an IPv4 address", "不是IPv4地址", 0},
                 {ok, "10.99.0.1", "is not on this computer", "不属于本机", 0},
                 {ok, kServerIp, "Port 69 (TFTP) on 10.77.0.1 is held by another program " + pid,
                  "10.77.0.1的69端口（TFTP）已被其他程序占用 " + pid, 69},
                 {ok, kServerIp, "Port 10011 (device messages) is held by another program",
                  "10011端口（设备消息）已被其他程序占用", 10011}};
    // One language per message: no English system error inside a Chinese one, no Chinese in an English one
    // (the dialog's own prompt "请选择升级文件目录" is the same in both).
    std::vector<std::string> englishErrors;
    for (int error = 1; error < 134; ++error) englishErrors.push_back(platform::SystemErrorText(error, true));
    auto oneLanguage = [&](const std::string& message, bool english) {
        if (english) return std::all_of(message.begin(), message.end(), [](char c) { return c > 0; });
        return std::none_of(englishErrors.begin(), englishErrors.end(),
                            [&](const std::string& e) { return message.find(e) != std::string::npos; });
    };
    for (uint16_t lang : {platform::kLangEnglishUS, platform::kLangChineseSimplified}) {
        m_dlg.m_wLangID = lang;
        const bool english = lang == platform::kLangEnglishUS;
        for (const Case& c : cases) {
            SCOPED_TRACE(english ? c.english : c.chinese);
            platform::UdpSocket holder = platform::UdpSocket::OpenIPv4();
            ASSERT_TRUE(c.heldPort == 0 || holder.Bind(kServerIp, c.heldPort) == 0);
            m_dlg.SetItemInput(IDC_EDIT_PATH, c.folder);
            m_dlg.SetItemInput(IDC_COMBO_LOCAL_IP, c.address);
            ExpectRefused(english ? c.english : c.chinese);
            if (!c.folder.empty()) {
                EXPECT_TRUE(oneLanguage(m_view.Last("message "), english)) << m_view.Last("message ");
            }
        }
    }
    m_dlg.m_wLangID = platform::kLangEnglishUS;
    EXPECT_FALSE(platform::IniReadString(platform::ConfigIniPath(), "CNFINFO", "Path", "").size());
    // Nothing was left behind: the same start now works.
    Start();
    m_dlg.OnBtnStart();

    // Without an interface that has a hardware address there is no MAC to tell the devices.
    ASSERT_EQ(0, testsupport::RunCommand("ip link del va"));
    m_dlg.SetItemInput(IDC_COMBO_LOCAL_IP, "127.0.0.1");
    ExpectRefused("获取本机MAC失败!!!");
}

TEST_F(RunControlTest, StartStopStartResetsAndServesTheNewFolder) {
    testsupport::UdpPeer device(kServerIp, 0);
    testsupport::UdpPeer replies("0.0.0.0", 10010);
    EXPECT_TRUE(m_dlg.OnClose());  // idle: closes at once, nothing asked
    // The start button's caption, the pause button's caption, shown, and the folder editable.
    auto controls = [&] {
        return std::make_tuple(m_view.ItemText(IDC_BTN_START), m_view.ItemText(IDC_BTN_PAUSE),
                               m_view.Last("show " + std::to_string(IDC_BTN_PAUSE)),
                               m_view.Last("enable " + std::to_string(IDC_EDIT_PATH)));
    };
    Start();
    EXPECT_EQ(controls(), std::make_tuple("停止升级", "暂停升级", " 1", " 0"));
    EXPECT_EQ(platform::IniReadString(platform::ConfigIniPath(), "CNFINFO", "Path", ""), m_folder.Path());
    // Pause sets what the dispatcher drops device messages by; continue clears it.
    m_dlg.OnBtnPause();
    EXPECT_EQ(1, m_dlg.m_bPauseTest.load());
    m_dlg.OnBtnPause();
    EXPECT_EQ(0, m_dlg.m_bPauseTest.load());

    ASSERT_TRUE(device.SendTo(Request("IPC2F-2.0.0.1", "AA:01"), kServerIp, 10011));
    ASSERT_TRUE(replies.WaitFor(1, testsupport::Scaled(5000)));
    EXPECT_NE(replies.Received()[0].find(
                  "Ipaddr:10.77.0.10\r\nIPCMac:AA:01\r\nVersion:IPC2F-2.1.0.7\r\nFilePath:ipc.bin\r\n"),
              std::string::npos);
    // A device reports from the address it was lent; reports from elsewhere do not count.
    ASSERT_TRUE(m_link.AddAddress("10.77.0.10/24"));
    testsupport::UdpPeer lent("10.77.0.10", 0);
    ASSERT_TRUE(
        lent.SendTo("Msg:Report_Downloading\r\nIpaddr:10.77.0.10\r\nIPCMac:AA:01\r\nSchedule:5\r\n"
                    "State:1\r\nVersion:IPC2F-2.0.0.1-b1\r\n",
                    kServerIp, 10011));
    ASSERT_TRUE(WaitUntil([&] {
        auto results = m_dlg.ResultsSnapshot();
        return results.size() == 1 && results[0].progress == "5%";
    }));

    m_dlg.OnBtnStart();  // stop: the rows stay
    EXPECT_FALSE(m_dlg.IsRunning());
    EXPECT_EQ(controls(), std::make_tuple("开始升级", "暂停升级", " 0", " 1"));
    EXPECT_EQ(m_dlg.m_lstInfo.GetItemCount(), 1);
    ASSERT_EQ(m_dlg.ResultsSnapshot().size(), 1u);
    EXPECT_TRUE(m_dlg.ResultsSnapshot()[0].outcome == DeviceOutcome::Unfinished &&
                m_dlg.ResultsSnapshot()[0].progress == "5%");

    testsupport::TempDir second;
    second.Write("newer.bin", devsim::LegacyFirmware("FIRMWARE", "QL_IPC2F_V2.2.0.0"));
    m_dlg.SetItemInput(IDC_EDIT_PATH, second.Path());
    Start();
    EXPECT_EQ(m_dlg.m_lstInfo.GetItemCount(), 0);
    EXPECT_TRUE(m_dlg.ResultsSnapshot().empty());
    EXPECT_EQ(m_view.ItemText(IDC_STATIC_SUCCESS), "0");
    ASSERT_TRUE(device.SendTo(Request("IPC2F-2.0.0.1", "AA:01"), kServerIp, 10011));
    ASSERT_TRUE(replies.WaitFor(2, testsupport::Scaled(5000)));  // the cursor starts again
    EXPECT_NE(replies.Received()[1].find(
                  "Ipaddr:10.77.0.10\r\nIPCMac:AA:01\r\nVersion:IPC2F-2.2.0.0\r\nFilePath:newer.bin\r\n"),
              std::string::npos);

    // Closing during a run asks once, then stops the run.
    EXPECT_TRUE(m_dlg.OnClose());
    EXPECT_FALSE(m_dlg.IsRunning());
    const std::vector<std::string> calls = m_view.Calls();
    EXPECT_EQ(1, std::count(calls.begin(), calls.end(), "confirm app_tests: 升级服务还未停止，确定退出？"));
}

// A request still probing when the run stops and the next one starts: the start waits for it,
// so nothing it reads is rewritten under it (ThreadSanitizer checks this in CI).
TEST_F(RunControlTest, RestartWhileARequestIsProbing) {
    testsupport::UdpPeer device(kServerIp, 0);
    m_dlg.OnChkIpCheck(true);
    Start();
    ASSERT_TRUE(device.SendTo(Request("IPC2F-2.0.0.1", "AA:02"), kServerIp, 10011));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));  // inside the first probes
    m_dlg.OnBtnStart();
    Start();
    EXPECT_TRUE(m_dlg.ResultsSnapshot().empty());
}

TEST_F(RunControlTest, ListenerHearsTheChosenInterfaceOnly) {
    testsupport::VethLink other("vb");
    ASSERT_TRUE(other.Ok() && other.AddAddress("10.88.0.1/24 brd +") &&
                testsupport::RunCommand("ip link set vbp netns " + m_devices.Path()) == 0 &&
                m_devices.Ip("link set vbp up") == 0 && m_devices.Ip("addr add 10.88.0.2/24 brd + dev vbp") == 0);
    Start();
    auto send = [](const char* from, const char* to, const std::string& mac) {
        return testsupport::UdpPeer(from).SendTo(Request("IPC2F-9.0", mac), to, 10011);
    };
    int rc = m_devices.Run([&] {
        // A link sends nothing until the kernel has made it operational, which is not at once.
        if (testsupport::RunCommand("for i in $(seq 100); do ip link show vap | grep -q 'state UP' && "
                                    "ip link show vbp | grep -q 'state UP' && exit 0; sleep 0.05; done; exit 1") != 0)
            return 1;
        bool sent = send("10.77.0.2", "10.77.0.1", "U") && send("10.77.0.2", "10.77.0.255", "S") &&
                    send("10.77.0.2", "255.255.255.255", "L") && send("10.88.0.2", "255.255.255.255", "X") &&
                    testsupport::RunCommand("ip route add 10.77.0.1/32 dev vbp") == 0 &&
                    send("10.88.0.2", "10.77.0.1", "Y");  // the chosen address, but from another link
        return sent ? 0 : 2;
    });
    ASSERT_EQ(rc, 0);
    ASSERT_TRUE(WaitUntil([&] { return m_dlg.ResultsSnapshot().size() >= 3; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(300));  // what was wrongly heard would show by now
    std::string macs;
    for (const DeviceResult& r : m_dlg.ResultsSnapshot()) macs += r.mac;
    std::sort(macs.begin(), macs.end());
    EXPECT_EQ(macs, "LSU");
}

}  // namespace
