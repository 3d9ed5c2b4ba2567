// The device simulator against a scripted server: our real TFTP service, address replies built by
// the messaging code, reports caught on a UDP socket.
#include <gtest/gtest.h>

#include <algorithm>
#include <map>

#include "_libs/tftp/tftp.h"
#include "_libs/tftp/tftp_interface.h"
#include "messaging/msg_format.h"
#include "platform/udp_socket.h"
#include "support/peer_namespace.h"
#include "support/sim_devices.h"
#include "support/temp_dir.h"
#include "support/veth_link.h"
#include "tools/devsim/firmware_check.h"
#include "tools/devsim/fmw_writer.h"

namespace {

using devsim::Outcome;
using Report = std::pair<std::string, std::string>;  // the text, and the address it came from

std::string Container(const std::string& versionText) {
    return devsim::ContainerWithVersion(versionText, {std::string(70000, 'k'), std::string(35007, 'f')});
}

std::string Key(const std::string& text, const char* key) {
    char value[256] = {};
    ReadFlagValue(text.c_str(), key, static_cast<int>(strlen(key)), value, sizeof value);
    return value;
}

// Answers address requests the way the upgrade server does, by model: a file of `files` (put in
// `root`, which our TFTP service serves) to fetch, or nothing newer when the model has none. Lends
// addresses of its own network from .50 on in request order. Every other message is a report.
// With `broadcast` the devices ask, and are answered, by broadcast.
class ScriptedServer {
public:
    ScriptedServer(const std::string& serverIp, bool broadcast, std::map<std::string, std::string> files)
        : m_serverIp(serverIp), m_broadcast(broadcast), m_files(std::move(files)) {
        platform::ParseIPv4(broadcast ? "255.255.255.255" : serverIp.c_str(), &m_replyTo);
        m_socket.SetReuseAddress(true);
        EXPECT_EQ(0, m_socket.Bind("0.0.0.0", 10011));
        m_replies.SetBroadcast(true);
        EXPECT_EQ(0, m_replies.Bind(serverIp.c_str(), 0));
        TftpConfig settings = TftpDefaultConfig();
        settings.nTimeUnitMs = testsupport::Scaled(50);
        StartTftp(serverIp.c_str(), root.Path().c_str(), settings);
    }
    ~ScriptedServer() { StopTftp(); }
    // Runs devices of `groups` (in the namespace at `netnsPath`) against this server until they
    // have ended (the time limit ends every one), taking in what they sent before.
    std::vector<devsim::DeviceResult> Serve(const std::vector<std::string>& groups, const std::string& netnsPath = "") {
        auto sim =
            testsupport::StartDevices(testsupport::QuickDevices(m_broadcast ? "" : m_serverIp, netnsPath), groups);
        if (sim == nullptr) return {};
        for (bool ended = false; !ended;) {
            ended = sim->Wait(0);
            while (m_socket.WaitReadable(ended ? 0 : 20) == 1) {
                char buffer[2048];
                sockaddr_in from{};
                const long n = m_socket.ReceiveFrom(buffer, sizeof buffer, &from);
                const std::string text(buffer, static_cast<size_t>(std::max(n, 0L)));
                if (IsRequestIpaddr(text.c_str())) {
                    Answer(text);
                } else {
                    reports[Key(text, kKeyIpcMac)].emplace_back(text, platform::FormatIPv4(from.sin_addr));
                }
            }
        }
        EXPECT_TRUE(sim->AllAsExpected()) << devsim::Summary(sim->Results());
        interfaceName = sim->InterfaceName();
        return sim->Results();
    }

    testsupport::TempDir root;
    std::string interfaceName;                           // where the devices were
    std::map<std::string, std::vector<Report>> reports;  // by MAC

private:
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
            if (m_lent.count(mac) == 0) {
                m_lent[mac] = m_serverIp.substr(0, m_serverIp.rfind('.') + 1) + std::to_string(50 + m_lent.size());
            }
            length = BuildAddressReply(reply, sizeof reply, cseq, "02:00:00:00:00:AA", m_serverIp.c_str(),
                                       m_lent[mac].c_str(), mac.c_str(), (std::string(model) + "-9.9").c_str(),
                                       file->second.c_str());
        }
        m_replies.SendTo(reply, static_cast<size_t>(length) + 1, platform::MakeSockaddrIn(m_replyTo, 10010));
    }
    std::string m_serverIp;
    bool m_broadcast;
    std::map<std::string, std::string> m_files, m_lent;  // model -> file; MAC -> address lent
    in_addr m_replyTo{};
    platform::UdpSocket m_socket = platform::UdpSocket::OpenIPv4();
    platform::UdpSocket m_replies = platform::UdpSocket::OpenIPv4();
};

TEST(DevsimTest, EveryKindOfDeviceEndsAsItShould) {
    // CAM-X is offered the IPC2F file; GONE one that is not there.
    ScriptedServer server("127.0.0.1", false,
                          {{"IPC2F", "IPC2F.bin"}, {"CAM-X", "IPC2F.bin"}, {"NVR8", "NVR8.bin"}, {"GONE", "none.bin"}});
    const std::map<std::string, std::string> files = {{"IPC2F", Container("QL_IPC2F_V2.1.0.7")},
                                                      {"NVR8", devsim::LegacyFirmware("FIRMWNVR", "NVR8_V3.0.1")}};
    for (const auto& [model, bytes] : files) server.root.Write(model + ".bin", bytes);
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
    const std::vector<devsim::DeviceResult> results = server.Serve(groups);
    ASSERT_EQ(rows.size(), results.size());
    for (size_t i = 0; i < rows.size(); ++i) {
        const devsim::DeviceResult& r = results[i];
        SCOPED_TRACE("device with \"" + rows[i].group + "\": " + devsim::FormatResult(r));
        EXPECT_EQ(rows[i].outcome, r.outcome);
        EXPECT_EQ(std::make_pair(rows[i].event, rows[i].state), std::make_pair(r.event, r.state));
        EXPECT_EQ(rows[i].reports, r.reports);
        EXPECT_TRUE(r.outcome != Outcome::Upgraded || testsupport::Crc32(files.at(r.model)) == r.crc32);
        // Reports may be lost on purpose by the dropping device; all others must all arrive.
        const std::vector<Report>& reports = server.reports[r.mac];
        if (rows[i].group.find("drop") == std::string::npos) {
            ASSERT_EQ(static_cast<size_t>(rows[i].reports), reports.size());
        }
        for (const auto& [text, from] : reports) {
            EXPECT_EQ(r.lentIp, from);
            EXPECT_EQ(r.lentIp, Key(text, kKeyIpaddr));
            EXPECT_EQ(r.model == "CAM-X" ? "CAM*X-1.0.0.0" : r.model + "-1.0.0.0", Key(text, kKeyVersion));
        }
        // The dropping device may lose its last report too.
        if (r.outcome == Outcome::Upgraded && rows[i].group.find("drop") == std::string::npos) {
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
TEST(DevsimTest, BroadcastDeviceTakesItsAddressOnItsOwnLink) {
    testsupport::VethLink link("dsv0");
    ASSERT_TRUE(link.Ok() && link.AddAddress("10.77.0.1/24"));
    testsupport::PeerNamespace devices(link.Peer(), "10.77.0.2/24");
    ASSERT_TRUE(devices.Ok());
    ScriptedServer server("10.77.0.1", true, {{"IPC2F", "ipc.bin"}});
    server.root.Write("ipc.bin", Container("QL_IPC2F_V2.1.0.7"));
    const std::vector<devsim::DeviceResult> results = server.Serve({"count=2"}, devices.Path());
    EXPECT_EQ(link.Peer(), server.interfaceName);
    ASSERT_EQ(2u, results.size());
    for (const devsim::DeviceResult& r : results) {
        EXPECT_EQ(Outcome::Upgraded, r.outcome) << devsim::FormatResult(r);
        EXPECT_EQ("10.77.0.5", r.lentIp.substr(0, 9));
        for (const Report& report : server.reports[r.mac]) EXPECT_EQ(r.lentIp, report.second);
        // The simulator has ended: the address it took is gone from the interface again.
        EXPECT_NE(0, devices.Ip("addr show dev " + link.Peer() + " | grep -q 'inet " + r.lentIp + "/'"));
    }
}

}  // namespace
