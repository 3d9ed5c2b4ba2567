// The device simulator against a scripted server: our real TFTP service, address replies built by
// the messaging code, reports caught on a UDP socket.
#include <gtest/gtest.h>
#include <zlib.h>

#include <map>
#include <mutex>
#include <thread>

#include "_libs/tftp/tftp.h"
#include "_libs/tftp/tftp_interface.h"
#include "firmware/fmw_header.h"
#include "messaging/msg_format.h"
#include "platform/udp_socket.h"
#include "support/peer_namespace.h"
#include "support/temp_dir.h"
#include "support/veth_link.h"
#include "tools/devsim/device_simulator.h"
#include "tools/devsim/firmware_check.h"
#include "tools/devsim/fmw_writer.h"

namespace {

using devsim::Outcome;
using Report = std::pair<std::string, std::string>;  // the text, and the address it came from

std::string Container(const std::string& versionText) {
    devsim::FmwContainer c;
    c.marks.emplace_back(FMW_VA_TAG_FS_VER, versionText + std::string(1, '\0'));
    c.images = {std::string(70000, 'k'), std::string(35007, 'f')};
    return c.Build();
}

std::string Key(const std::string& text, const char* key) {
    char value[256] = {};
    ReadFlagValue(text.c_str(), key, static_cast<int>(strlen(key)), value, sizeof value);
    return value;
}

// Answers address requests the way the upgrade server does, by model: a file of `files` to fetch,
// or nothing newer when the model has none. Lends `lentBase` + first, first + 1 ... in request
// order. Every other message is a report.
class ScriptedServer {
public:
    ScriptedServer(const char* serverIp, const char* replyTo, std::string lentBase, int first,
                   std::map<std::string, std::string> files)
        : m_serverIp(serverIp), m_lentBase(std::move(lentBase)), m_next(first), m_files(std::move(files)) {
        platform::ParseIPv4(replyTo, &m_replyTo);
        m_socket.SetReuseAddress(true);
        EXPECT_EQ(0, m_socket.Bind("0.0.0.0", 10011));
        m_replies.SetBroadcast(true);
        EXPECT_EQ(0, m_replies.Bind(serverIp, 0));
        m_thread = std::thread([this] { Run(); });
    }
    ~ScriptedServer() {
        m_stop = true;
        m_thread.join();
    }
    std::vector<Report> ReportsOf(const std::string& mac) {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<Report> out;
        for (const Report& r : m_reports) {
            if (Key(r.first, kKeyIpcMac) == mac) out.push_back(r);
        }
        return out;
    }

private:
    void Run() {
        char buffer[2048];
        while (!m_stop) {
            sockaddr_in from{};
            long n = m_socket.WaitReadable(20) == 1 ? m_socket.ReceiveFrom(buffer, sizeof buffer - 1, &from) : 0;
            if (n <= 0) continue;
            const std::string text(buffer, static_cast<size_t>(n));
            if (IsRequestIpaddr(text.c_str())) {
                Answer(text);
            } else {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_reports.emplace_back(text, platform::FormatIPv4(from.sin_addr));
            }
        }
    }
    void Answer(const std::string& request) {
        char version[256] = {}, model[64] = {}, verNum[64] = {}, reply[kReplySize];
        snprintf(version, sizeof version, "%s", Key(request, kKeyVersion).c_str());
        SplitDeviceVersion(version, model, verNum);
        const int cseq = atoi(Key(request, kKeyCseq).c_str()) + 1;
        const std::string mac = Key(request, kKeyIpcMac);
        auto file = m_files.find(model);
        int length = 0;
        if (file == m_files.end()) {
            length = BuildNoUpgradeReply(reply, sizeof reply, cseq, mac.c_str());
        } else {
            if (m_lent.count(mac) == 0) m_lent[mac] = m_lentBase + std::to_string(m_next++);
            length = BuildAddressReply(reply, sizeof reply, cseq, "02:00:00:00:00:AA", m_serverIp.c_str(),
                                       m_lent[mac].c_str(), mac.c_str(), (std::string(model) + "-9.9").c_str(),
                                       file->second.c_str());
        }
        m_replies.SendTo(reply, static_cast<size_t>(length) + 1, platform::MakeSockaddrIn(m_replyTo, 10010));
    }
    std::string m_serverIp, m_lentBase;
    int m_next;
    std::map<std::string, std::string> m_files, m_lent;  // model -> file; MAC -> address lent
    in_addr m_replyTo{};
    platform::UdpSocket m_socket = platform::UdpSocket::OpenIPv4();
    platform::UdpSocket m_replies = platform::UdpSocket::OpenIPv4();
    std::mutex m_mutex;  // guards the reports, read by the test thread
    std::vector<Report> m_reports;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

class DevsimTest : public ::testing::Test {
protected:
    void TearDown() override { StopTftp(); }
    // Serves m_root from `address`, and runs devices of `groups` against `server` until they end.
    std::vector<devsim::DeviceResult> Run(const char* address, const std::string& server, bool broadcast,
                                          const std::vector<std::string>& groups) {
        TftpConfig settings = TftpDefaultConfig();
        settings.nTimeUnitMs = 50;
        StartTftp(address, m_root.Path().c_str(), settings);
        devsim::SimConfig config;
        config.serverIp = server;
        config.broadcast = broadcast;
        config.netnsPath = m_devices ? m_devices->Path() : "";
        config.stepMs = 5;
        config.requestIntervalMs = 300;
        config.timeUnitMs = 50;
        config.timeLimitMs = 60000;
        for (const std::string& text : groups) {
            std::string error;
            EXPECT_TRUE(devsim::ParseDeviceGroup(text, &config.groups.emplace_back(), &error)) << error;
        }
        devsim::DeviceSimulator sim(config);
        std::string error;
        EXPECT_TRUE(sim.Start(&error)) << error;
        EXPECT_TRUE(sim.Wait(60000));
        EXPECT_TRUE(sim.AllAsExpected()) << devsim::Summary(sim.Results());
        m_interface = sim.InterfaceName();
        return sim.Results();
    }
    testsupport::TempDir m_root;
    std::unique_ptr<testsupport::PeerNamespace> m_devices;
    std::string m_interface;
};

TEST_F(DevsimTest, EveryKindOfDeviceEndsAsItShould) {
    const std::map<std::string, std::string> files = {{"IPC2F", Container("QL_IPC2F_V2.1.0.7")},
                                                      {"NVR8", devsim::LegacyFirmware("FIRMWNVR", "NVR8_V3.0.1")}};
    for (const auto& [model, bytes] : files) m_root.Write(model + ".bin", bytes);
    // CAM-X is offered the IPC2F file; GONE one that is not there.
    ScriptedServer server("127.0.0.1", "127.0.0.1", "127.0.0.", 20,
                          {{"IPC2F", "IPC2F.bin"}, {"CAM-X", "IPC2F.bin"}, {"NVR8", "NVR8.bin"}, {"GONE", "none.bin"}});
    struct Row {
        std::string group;
        Outcome outcome;
        int event, state, reports;
    };
    const std::vector<Row> rows = {{"", Outcome::Upgraded, 3, 0, 8},
                                   {"kind=nvr,model=NVR8", Outcome::Upgraded, 11, 0, 24},
                                   {"model=NEWEST,expect=up-to-date", Outcome::UpToDate, -1, -1, 0},
                                   {"model=CAM-X,expect=failed:5", Outcome::Failed, 0, 5, 2},
                                   {"model=GONE,expect=failed:6", Outcome::Failed, 0, 6, 2},
                                   {"fail=kernel:6", Outcome::Failed, 2, 6, 6},
                                   {"fail=uboot:7", Outcome::Upgraded, 3, 0, 10},
                                   {"drop=0.2,windowsize=4", Outcome::Upgraded, 3, 0, 8},
                                   {"no-last-ack,stall=3:400", Outcome::Upgraded, 3, 0, 8},
                                   {"silent=download", Outcome::Silent, 0, 1, 1},
                                   {"silent=filesystem", Outcome::Silent, 3, 1, 7}};
    std::vector<std::string> groups;
    for (const Row& row : rows) groups.push_back(row.group);
    const std::vector<devsim::DeviceResult> results = Run("127.0.0.1", "127.0.0.1", false, groups);
    ASSERT_EQ(rows.size(), results.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        const devsim::DeviceResult& r = results[i];
        SCOPED_TRACE("device with \"" + rows[i].group + "\": " + devsim::FormatResult(r));
        EXPECT_EQ(rows[i].outcome, r.outcome);
        EXPECT_EQ(std::make_pair(rows[i].event, rows[i].state), std::make_pair(r.event, r.state));
        EXPECT_EQ(rows[i].reports, r.reports);
        if (r.outcome == Outcome::Upgraded) {
            const std::string& file = files.at(r.model);
            EXPECT_EQ(crc32(0, reinterpret_cast<const Bytef*>(file.data()), static_cast<uInt>(file.size())), r.crc32);
        }
        // Reports may be lost on purpose by the dropping device; all others must all arrive.
        const std::vector<Report> reports = server.ReportsOf(r.mac);
        if (rows[i].group.find("drop") == std::string::npos) {
            ASSERT_EQ(static_cast<size_t>(rows[i].reports), reports.size());
        }
        for (const auto& [text, from] : reports) {
            EXPECT_EQ(r.lentIp, from);
            EXPECT_EQ(r.lentIp, Key(text, kKeyIpaddr));
            EXPECT_EQ(r.model == "CAM-X" ? "CAM*X-1.0.0.0" : r.model + "-1.0.0.0", Key(text, kKeyVersion));
        }
        if (r.outcome == Outcome::Upgraded && !reports.empty()) {
            EXPECT_EQ("100", Key(reports.back().first, kKeySchedule));
        }
    }
}

TEST(DevsimFirmwareCheck, EachFaultBecomesItsReportState) {
    testsupport::TempDir dir;
    std::string crc = Container("QL_IPC2F_V2.1");
    crc[300] ^= 0x40;
    struct Row {
        std::string content;
        int64_t tsize;
        int state;
    } rows[] = {{Container("QL_IPC2F_V2.1"), -1, 0},
                {Container("QL_IPC2F_V2.1"), 10, 4},  // not what tsize announced
                {crc, -1, 2},
                {"QLXALG22" + std::string(300, '\0'), -1, 3},
                {"FIRMWNVR", -1, 4},
                {devsim::LegacyFirmware("FIRMWARE", "QL_IPC2F_V2.1"), -1, 0},
                {devsim::LegacyFirmware("FIRMWARE", "QL_IPC3_V2.1"), -1, 5},
                {Container("QL_IPC2FX_V2.1"), -1, 5}};
    for (const Row& row : rows) {
        std::string path = dir.Write("f.bin", row.content);
        std::string detail;
        EXPECT_EQ(row.state, devsim::CheckFirmware(path, row.content.size(), row.tsize, "IPC2F", &detail))
            << row.content.substr(0, 8) << ": " << detail;
    }
}

TEST(DevsimGroups, ParsesDeviceGroupsAndRefusesBadOnes) {
    devsim::DeviceGroup g;
    std::string error;
    ASSERT_TRUE(devsim::ParseDeviceGroup("count=3,kind=NVR,model=N-1,fail=LogoUpgraded:4,drop=5%,stall=7:20,silent=app",
                                         &g, &error))
        << error;
    EXPECT_TRUE(g.count == 3 && g.kind == devsim::DeviceKind::Nvr && g.inject.failEvent == 9 &&
                g.inject.failState == 4 && g.inject.drop == 0.05 && g.inject.silentEvent == 6);
    for (const char* bad : {"count=0", "kind=dvr", "fail=logo:2", "fail=kernel:8", "drop=1", "stall=0:5", "mac=1:2",
                            "expect=failed:7", "colour=red", "silent=13"}) {
        EXPECT_FALSE(devsim::ParseDeviceGroup(bad, &g, &error)) << bad;
    }
}

// The device side in a namespace of its own behind a veth pair, as in a lab: requests by broadcast,
// the lent address added to its interface and every report sent from it, removed at the end.
TEST_F(DevsimTest, BroadcastDeviceTakesItsAddressOnItsOwnLink) {
    testsupport::VethLink link("dsv0");
    ASSERT_TRUE(link.Ok() && link.AddAddress("10.77.0.1/24"));
    m_devices = std::make_unique<testsupport::PeerNamespace>(link.Peer(), "10.77.0.2/24");
    ASSERT_TRUE(m_devices->Ok());
    m_root.Write("ipc.bin", Container("QL_IPC2F_V2.1.0.7"));
    ScriptedServer server("10.77.0.1", "255.255.255.255", "10.77.0.", 50, {{"IPC2F", "ipc.bin"}});
    const std::vector<devsim::DeviceResult> results = Run("10.77.0.1", "", true, {"count=2"});
    EXPECT_EQ(link.Peer(), m_interface);
    ASSERT_EQ(2u, results.size());
    for (const devsim::DeviceResult& r : results) {
        EXPECT_EQ(Outcome::Upgraded, r.outcome) << devsim::FormatResult(r);
        EXPECT_EQ("10.77.0.5", r.lentIp.substr(0, 9));
        for (const Report& report : server.ReportsOf(r.mac)) EXPECT_EQ(r.lentIp, report.second);
        // The simulator has ended: the address it took is gone from the interface again.
        EXPECT_NE(0, m_devices->Ip("addr show dev " + link.Peer() + " | grep -q 'inet " + r.lentIp + "/'"));
    }
}

}  // namespace
