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

using devsim::FmwContainer;

std::string Container(const std::string& versionText, size_t imageBytes = 5000) {
    FmwContainer c;
    c.marks.emplace_back(FMW_VA_TAG_FS_VER, versionText + std::string(1, '\0'));
    c.images = {std::string(imageBytes, 'k'), std::string(imageBytes / 2 + 7, 'f')};
    return c.Build();
}

std::string Key(const std::string& text, const char* key) {
    char value[256] = {};
    ReadFlagValue(text.c_str(), key, static_cast<int>(strlen(key)), value, sizeof value);
    return value;
}

struct Report {
    std::string text;
    std::string from;
};

// Answers address requests the way the upgrade server does, by model: a file to fetch, or nothing
// newer when the model has no entry. Lends `lentBase` + first, first + 1 ... in request order.
class ScriptedServer {
public:
    ScriptedServer(std::string serverIp, std::string replyTo, std::string lentBase, int first)
        : m_serverIp(std::move(serverIp)),
          m_replyTo(std::move(replyTo)),
          m_lentBase(std::move(lentBase)),
          m_next(first) {
        m_socket = platform::UdpSocket::OpenIPv4();
        m_socket.SetReuseAddress(true);
        EXPECT_EQ(0, m_socket.Bind("0.0.0.0", 10011));
        m_replies = platform::UdpSocket::OpenIPv4();
        m_replies.SetBroadcast(true);
        EXPECT_EQ(0, m_replies.Bind(m_serverIp.c_str(), 0));
        m_thread = std::thread([this] { Run(); });
    }
    ~ScriptedServer() {
        m_stop = true;
        m_thread.join();
    }
    void Offer(const std::string& model, const std::string& file) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_files[model] = file;
    }
    std::vector<Report> ReportsOf(const std::string& mac) {
        std::lock_guard<std::mutex> lock(m_mutex);
        std::vector<Report> out;
        for (const Report& r : m_reports) {
            if (Key(r.text, kKeyIpcMac) == mac) out.push_back(r);
        }
        return out;
    }

private:
    void Run() {
        char buffer[2048];
        while (!m_stop) {
            if (m_socket.WaitReadable(20) != 1) continue;
            sockaddr_in from{};
            long n = m_socket.ReceiveFrom(buffer, sizeof buffer - 1, &from);
            if (n <= 0) continue;
            std::string text(buffer, static_cast<size_t>(n));
            if (!IsRequestIpaddr(text.c_str())) {
                std::lock_guard<std::mutex> lock(m_mutex);
                m_reports.push_back({text, platform::FormatIPv4(from.sin_addr)});
                continue;
            }
            char version[256] = {}, model[64] = {}, verNum[64] = {}, reply[kReplySize];
            snprintf(version, sizeof version, "%s", Key(text, kKeyVersion).c_str());
            SplitDeviceVersion(version, model, verNum);
            const int cseq = atoi(Key(text, kKeyCseq).c_str()) + 1;
            const std::string mac = Key(text, kKeyIpcMac);
            std::string file;
            {
                std::lock_guard<std::mutex> lock(m_mutex);
                auto offered = m_files.find(model);
                if (offered != m_files.end()) file = offered->second;
            }
            int length;
            if (file.empty()) {
                length = BuildNoUpgradeReply(reply, sizeof reply, cseq, mac.c_str());
            } else {
                if (m_lent.count(mac) == 0) m_lent[mac] = m_lentBase + std::to_string(m_next++);
                length = BuildAddressReply(reply, sizeof reply, cseq, "02:00:00:00:00:AA", m_serverIp.c_str(),
                                           m_lent[mac].c_str(), mac.c_str(), (std::string(model) + "-9.9").c_str(),
                                           file.c_str());
            }
            in_addr to{};
            platform::ParseIPv4(m_replyTo.c_str(), &to);
            m_replies.SendTo(reply, static_cast<size_t>(length) + 1, platform::MakeSockaddrIn(to, 10010));
        }
    }
    std::string m_serverIp, m_replyTo, m_lentBase;
    std::map<std::string, std::string> m_files, m_lent;
    int m_next;
    platform::UdpSocket m_socket, m_replies;
    std::mutex m_mutex;
    std::vector<Report> m_reports;
    std::atomic<bool> m_stop{false};
    std::thread m_thread;
};

class DevsimTest : public ::testing::Test {
protected:
    void TearDown() override { StopTftp(); }
    void ServeFrom(const char* address) {
        TftpConfig settings = TftpDefaultConfig();
        settings.nTimeUnitMs = 50;
        StartTftp(address, m_root.Path().c_str(), settings);
        TftpServiceStatus status{};
        ASSERT_EQ(1, GetTftpServiceStatus(&status)) << status.szReason;
    }
    static devsim::SimConfig Quick(const std::string& server) {
        devsim::SimConfig c;
        c.serverIp = server;
        c.stepMs = 5;
        c.requestIntervalMs = 300;
        c.timeUnitMs = 50;
        c.timeLimitMs = 60000;
        return c;
    }
    static devsim::DeviceGroup Group(const std::string& text) {
        devsim::DeviceGroup group;
        std::string error;
        EXPECT_TRUE(devsim::ParseDeviceGroup(text, &group, &error)) << error;
        return group;
    }
    static uint32_t Crc(const std::string& bytes) {
        return static_cast<uint32_t>(
            crc32(0, reinterpret_cast<const Bytef*>(bytes.data()), static_cast<uInt>(bytes.size())));
    }
    testsupport::TempDir m_root;
};

TEST_F(DevsimTest, EveryKindOfDeviceEndsAsItShould) {
    const std::string ipc = Container("QL_IPC2F_V2.1.0.7", 70000);
    const std::string nvr = devsim::LegacyFirmware("FIRMWNVR", "NVR8_V3.0.1");
    m_root.Write("ipc.bin", ipc);
    m_root.Write("nvr.bin", nvr);
    std::string broken = Container("QL_CRC1_V1.0");
    broken[broken.size() - 10] ^= 1;
    m_root.Write("broken.bin", broken);
    ServeFrom("127.0.0.1");
    ScriptedServer server("127.0.0.1", "127.0.0.1", "127.0.0.", 20);
    for (const char* model : {"IPC2F", "CAM-X"}) server.Offer(model, "ipc.bin");
    server.Offer("NVR8", "nvr.bin");
    server.Offer("CRC1", "broken.bin");
    server.Offer("GONE", "missing.bin");

    struct Row {
        const char* group;
        devsim::Outcome outcome;
        int event, state, reports;
        std::string file;
    };
    const std::vector<Row> rows = {
        {"", devsim::Outcome::Upgraded, 3, 0, 8, ipc},
        {"kind=nvr,model=NVR8", devsim::Outcome::Upgraded, 11, 0, 24, nvr},
        {"model=NEWEST,expect=up-to-date", devsim::Outcome::UpToDate, -1, -1, 0, ""},
        {"model=CRC1,expect=failed:2", devsim::Outcome::Failed, 0, 2, 2, ""},
        {"model=CAM-X,expect=failed:5", devsim::Outcome::Failed, 0, 5, 2, ""},  // the file is for IPC2F
        {"model=GONE,expect=failed:6", devsim::Outcome::Failed, 0, 6, 2, ""},
        {"fail=kernel:6", devsim::Outcome::Failed, 2, 6, 6, ""},
        {"fail=uboot:7", devsim::Outcome::Upgraded, 3, 0, 10, ipc},
        {"drop=0.2,windowsize=4", devsim::Outcome::Upgraded, 3, 0, 8, ipc},
        {"no-last-ack,stall=3:400", devsim::Outcome::Upgraded, 3, 0, 8, ipc},
        {"silent=download", devsim::Outcome::Silent, 0, 1, 1, ""},
        {"silent=filesystem", devsim::Outcome::Silent, 3, 1, 7, ""}};
    devsim::SimConfig config = Quick("127.0.0.1");
    for (const Row& row : rows) config.groups.push_back(Group(row.group));
    devsim::DeviceSimulator sim(config);
    std::string error;
    ASSERT_TRUE(sim.Start(&error)) << error;
    ASSERT_TRUE(sim.Wait(60000));
    const std::vector<devsim::DeviceResult> results = sim.Results();
    for (size_t i = 0; i < rows.size(); ++i) {
        const devsim::DeviceResult& r = results[i];
        SCOPED_TRACE(std::string("device with \"") + rows[i].group + "\": " + devsim::FormatResult(r));
        EXPECT_EQ(rows[i].outcome, r.outcome);
        EXPECT_EQ(rows[i].event, r.event);
        EXPECT_EQ(rows[i].state, r.state);
        if (!rows[i].file.empty()) {
            EXPECT_EQ(Crc(rows[i].file), r.crc32);
        }
        // Reports may be lost on purpose by the dropping device; all others must all arrive.
        const std::vector<Report> reports = server.ReportsOf(r.mac);
        if (config.groups[i].inject.drop == 0.0) {
            ASSERT_EQ(static_cast<size_t>(rows[i].reports), reports.size());
        }
        EXPECT_EQ(rows[i].reports, r.reports);
        for (const Report& report : reports) {
            EXPECT_EQ(r.lentIp, report.from);
            EXPECT_EQ(r.lentIp, Key(report.text, kKeyIpaddr));
            EXPECT_EQ(r.model == "CAM-X" ? "CAM*X-1.0.0.0" : r.model + "-1.0.0.0", Key(report.text, kKeyVersion));
        }
        if (r.outcome == devsim::Outcome::Upgraded && !reports.empty()) {
            EXPECT_EQ("100", Key(reports.back().text, kKeySchedule));
        }
    }
    EXPECT_TRUE(sim.AllAsExpected());
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
        const uint64_t size = row.content.size();
        EXPECT_EQ(row.state, devsim::CheckFirmware(path, size, row.tsize, "IPC2F", &detail))
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
    testsupport::PeerNamespace devices(link.Peer(), "10.77.0.2/24");
    ASSERT_TRUE(devices.Ok());
    m_root.Write("ipc.bin", Container("QL_IPC2F_V2.1.0.7"));
    ServeFrom("10.77.0.1");
    ScriptedServer server("10.77.0.1", "255.255.255.255", "10.77.0.", 50);
    server.Offer("IPC2F", "ipc.bin");
    std::vector<std::string> lent;
    {
        devsim::SimConfig config = Quick("");
        config.broadcast = true;
        config.netnsPath = devices.Path();
        config.groups.push_back(Group("count=2"));
        devsim::DeviceSimulator sim(config);
        std::string error;
        ASSERT_TRUE(sim.Start(&error)) << error;
        EXPECT_EQ(link.Peer(), sim.InterfaceName());
        ASSERT_TRUE(sim.Wait(60000));
        for (const devsim::DeviceResult& r : sim.Results()) {
            EXPECT_EQ(devsim::Outcome::Upgraded, r.outcome) << devsim::FormatResult(r);
            lent.push_back(r.lentIp);
            EXPECT_EQ(0, devices.Ip("addr show dev " + link.Peer() + " | grep -q 'inet " + r.lentIp + "/24'"));
            for (const Report& report : server.ReportsOf(r.mac)) EXPECT_EQ(r.lentIp, report.from);
        }
    }
    EXPECT_EQ(2u, lent.size());
    for (const std::string& ip : lent)
        EXPECT_NE(0, devices.Ip("addr show dev " + link.Peer() + " | grep -q 'inet " + ip + "/'"));
}

}  // namespace
