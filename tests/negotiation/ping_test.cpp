#include "negotiation/ping.h"

#include <arpa/inet.h>
#include <grp.h>
#include <gtest/gtest.h>
#include <linux/capability.h>
#include <net/ethernet.h>
#include <net/if.h>
#include <netpacket/packet.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/local_time.h"
#include "platform/udp_socket.h"
#include "support/netns.h"
#include "support/veth_link.h"

namespace {

using Bytes = std::vector<uint8_t>;

// The one's-complement sum in network order, independent of the code under test.
uint16_t OnesSum(const uint8_t* p, size_t n) {
    uint32_t sum = 0;
    for (size_t i = 0; i + 1 < n; i += 2) sum += static_cast<uint32_t>(p[i] << 8 | p[i + 1]);
    if (n % 2 != 0) sum += static_cast<uint32_t>(p[n - 1] << 8);
    while (sum >> 16) sum = (sum & 0xFFFF) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

// A link whose far end holds no host; a fixed neighbour entry lets probes to kAbsent leave
// the host, where the far end sees them and nobody answers.
constexpr const char* kLocal = "10.77.0.1";
constexpr const char* kAbsent = "10.77.0.99";

// The far end of the link: sees the IP datagrams that arrive there, as a sniffer on the wire
// would, and answers a probe as a router on the path would.
class FarEnd {
public:
    explicit FarEnd(const std::string& device) {
        sockaddr_ll where{};
        where.sll_family = AF_PACKET;
        where.sll_protocol = htons(ETH_P_IP);
        where.sll_ifindex = static_cast<int>(if_nametoindex(device.c_str()));
        EXPECT_EQ(bind(m_fd, reinterpret_cast<sockaddr*>(&where), sizeof where), 0) << device;
    }
    ~FarEnd() { close(m_fd); }

    // Takes the next probe to kAbsent off the wire and returns its ICMP bytes (empty after a
    // second). With a `type`, it answers with an ICMP error of that type quoting the probe, sent
    // to our own address as a router would, or, with `fromTarget`, as the target's own firewall.
    // With `otherDest` the quote names another target.
    Bytes Answer(uint8_t type, bool otherDest, bool fromTarget) {
        Bytes probe = NextProbe();
        if (probe.empty()) return {};
        size_t ihl = static_cast<size_t>(probe[0] & 0x0F) * 4;
        if (type != 0) {
            // Code 1 means host unreachable; a time exceeded one must be code 0 (TTL), as the kernel
            // ignores reassembly time-outs.
            Bytes message = {type, static_cast<uint8_t>(type == 3 ? 1 : 0), 0, 0, 0, 0, 0, 0};
            message.insert(message.end(), probe.begin(), probe.begin() + static_cast<long>(ihl + 8));
            if (otherDest) message[8 + 19] ^= 0x01;
            uint16_t sum = static_cast<uint16_t>(~OnesSum(message.data(), message.size()));
            message[2] = static_cast<uint8_t>(sum >> 8);
            message[3] = static_cast<uint8_t>(sum);
            if (fromTarget) {
                // The probe's own IP header turned round, so the error carries the target's address as its sender.
                Bytes ip(probe.begin(), probe.begin() + static_cast<long>(ihl));
                std::swap_ranges(ip.begin() + 12, ip.begin() + 16, ip.begin() + 16);
                message.insert(message.begin(), ip.begin(), ip.end());
            }
            int fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, fromTarget ? IPPROTO_RAW : IPPROTO_ICMP);
            sockaddr_in to = platform::MakeSockaddrIn({inet_addr(kLocal)}, 0);
            sendto(fd, message.data(), message.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
            close(fd);
        }
        return Bytes(probe.begin() + static_cast<long>(ihl), probe.end());
    }

private:
    Bytes NextProbe() {
        uint8_t buffer[2048];
        for (auto end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
             std::chrono::steady_clock::now() < end;) {
            pollfd pfd{m_fd, POLLIN, 0};
            ssize_t n = poll(&pfd, 1, 20) > 0 ? recv(m_fd, buffer, sizeof buffer, 0) : 0;
            if (n < 28) continue;
            uint32_t to;
            std::memcpy(&to, buffer + 16, 4);
            if (buffer[9] == IPPROTO_ICMP && to == inet_addr(kAbsent) && buffer[(buffer[0] & 0x0F) * 4] == 8)
                return Bytes(buffer, buffer + n);
        }
        return {};
    }

    int m_fd = socket(AF_PACKET, SOCK_DGRAM | SOCK_CLOEXEC, htons(ETH_P_IP));
};

class PingTest : public testing::TestWithParam<PingSocketMode> {
protected:
    void SetUp() override {
        ASSERT_TRUE(m_link.Ok() && m_link.AddAddress("10.77.0.1/24") && testsupport::AllowPingSockets(true));
        ASSERT_EQ(testsupport::RunCommand(std::string("ip neigh replace ") + kAbsent +
                                          " lladdr 02:00:00:00:00:99 dev " + m_link.Name()),
                  0);
        SetPingSocketMode(GetParam());
    }
    void TearDown() override { SetPingSocketMode(PingSocketMode::Automatic); }

    testsupport::VethLink m_link{"kvping0"};
};

// Every probe's bytes on the wire, and what ends it: nobody answering (about 100 ms, free), an ICMP
// error about this very probe (free, unless the target itself sent it), or an answer.
TEST_P(PingTest, ProbesOnTheWireAndWhatEndsThem) {
    FarEnd farEnd(m_link.Peer());
    constexpr int kAnswered = 1;  // any round-trip time: in use
    const struct {
        uint8_t type;
        bool otherDest;
        bool fromTarget;
        int expected;
    } cases[] = {{0, false, false, kPingTimedOut},    {0, false, false, kPingTimedOut},
                 {3, false, false, kPingUnreachable}, {11, false, false, kPingTimeExceeded},
                 {3, true, false, kPingTimedOut},     {3, false, true, kAnswered}};
    int sequence = -1;
    for (const auto& c : cases) {
        SCOPED_TRACE(testing::Message() << int{c.type} << " " << c.otherDest << " " << c.fromTarget);
        Bytes icmp;
        std::thread router([&] { icmp = farEnd.Answer(c.type, c.otherDest, c.fromTarget); });
        auto start = std::chrono::steady_clock::now();
        uint32_t before = platform::GetTickCount();
        int result = PingApi(inet_addr(kAbsent));
        uint32_t after = platform::GetTickCount();
        auto waited = std::chrono::steady_clock::now() - start;
        router.join();
        EXPECT_EQ(c.expected == kAnswered && result >= 1 ? kAnswered : result, c.expected);
        EXPECT_TRUE(c.type != 0 || (waited >= std::chrono::milliseconds(95) && waited < std::chrono::seconds(1)));
        ASSERT_EQ(icmp.size(), kPingPacketSize);
        EXPECT_TRUE(icmp[0] == 8 && icmp[1] == 0 && icmp[8] == 0);
        EXPECT_EQ(OnesSum(icmp.data(), icmp.size()), 0xFFFF);
        EXPECT_TRUE(GetParam() != PingSocketMode::RawOnly || (icmp[4] == 0xD8 && icmp[5] == 0x00));  // identifier 216
        int next = icmp[6] | icmp[7] << 8;  // one counter for the whole process
        EXPECT_TRUE(sequence < 0 || next == ((sequence + 1) & 0xFFFF)) << sequence << " then " << next;
        sequence = next;
        uint32_t stamp =
            static_cast<uint32_t>(icmp[9] | icmp[10] << 8 | icmp[11] << 16) | static_cast<uint32_t>(icmp[12]) << 24;
        EXPECT_TRUE(stamp >= before && stamp <= after) << before << " " << stamp << " " << after;
        for (size_t i = 0; i < 32; ++i) EXPECT_EQ(icmp[13 + i], 0x20 + i);
    }
    // A present address answers; a send that fails keeps its error.
    EXPECT_GE(PingApi(inet_addr(kLocal)), 1);
    EXPECT_GE(PingApi(inet_addr("127.0.0.1")), 1);
    errno = 0;
    EXPECT_EQ(PingApi(inet_addr("10.200.0.1")), kPingSendFailed);  // no route
    EXPECT_EQ(errno, ENETUNREACH);
    errno = 0;
    EXPECT_EQ(PingApi(inet_addr("10.77.0.255")), kPingSendDenied);  // broadcast without permission
    EXPECT_EQ(errno, EACCES);
}

INSTANTIATE_TEST_SUITE_P(Sockets, PingTest, testing::Values(PingSocketMode::RawOnly, PingSocketMode::DatagramOnly),
                         [](const testing::TestParamInfo<PingSocketMode>& info) {
                             return info.param == PingSocketMode::RawOnly ? "Raw" : "Datagram";
                         });

// Probes 127.0.0.1 with `mode` as user nobody without capabilities, in a child: 1 answered (a
// round trip within the wait), 2 denied (500), 3 anything else.
int PingAsNobody(PingSocketMode mode) {
    pid_t child = fork();
    if (child == 0) {
        gid_t nobody = 65534;
        if (setgroups(1, &nobody) != 0 || setresgid(nobody, nobody, nobody) != 0 ||
            setresuid(nobody, nobody, nobody) != 0) {
            _exit(255);
        }
        // Some hosts keep capabilities across the uid change; drop them outright.
        __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
        __user_cap_data_struct none[2] = {};
        if (syscall(SYS_capset, &header, none) != 0) _exit(254);
        SetPingSocketMode(mode);
        int rc = PingApi(htonl(INADDR_LOOPBACK));
        _exit(rc == kPingSocketDenied ? 2 : rc >= 1 && rc <= kPingWaitMs ? 1 : 3);
    }
    int status = 0;
    waitpid(child, &status, 0);
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

TEST(PingRights, FallsBackToDatagramSocketOnlyWhenRawIsDenied) {
    ASSERT_TRUE(testsupport::AllowPingSockets(true));
    EXPECT_EQ(PingAsNobody(PingSocketMode::Automatic), 1);  // answered through the fallback
    EXPECT_EQ(PingAsNobody(PingSocketMode::RawOnly), 2);
    ASSERT_TRUE(testsupport::AllowPingSockets(false));
    EXPECT_EQ(PingAsNobody(PingSocketMode::Automatic), 2);  // both denied: 500
    ASSERT_TRUE(testsupport::AllowPingSockets(true));
}

}  // namespace
