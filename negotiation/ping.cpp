#include "negotiation/ping.h"

// The kernel's errqueue.h needs struct timespec declared first.
// clang-format off
#include <time.h>
#include <linux/errqueue.h>
// clang-format on
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstring>

#include "platform/byte_reader.h"
#include "platform/local_time.h"

namespace {

constexpr uint8_t kIcmpEchoReply = 0;
constexpr uint8_t kIcmpUnreachable = 3;
constexpr uint8_t kIcmpEchoRequest = 8;
constexpr uint8_t kIcmpTimeExceeded = 11;
constexpr size_t kReceiveSize = 321;
constexpr size_t kMinIpHeaderSize = 20;

std::atomic<PingSocketMode> g_socketMode{PingSocketMode::Automatic};
// Shared by every probe of the process and never reset.
std::atomic<uint16_t> g_sequence{1};

void WriteLe16(uint8_t* p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value);
    p[1] = static_cast<uint8_t>(value >> 8);
}

bool IsDenied(int error) {
    return error == EPERM || error == EACCES;
}

class ProbeSocket {
public:
    ~ProbeSocket() { Close(); }
    ProbeSocket() = default;
    ProbeSocket(const ProbeSocket&) = delete;
    ProbeSocket& operator=(const ProbeSocket&) = delete;

    // 0, or the PingApi result for a socket that cannot be had.
    int Open(PingSocketMode mode) {
        if (mode != PingSocketMode::DatagramOnly) {
            m_fd = socket(AF_INET, SOCK_RAW | SOCK_CLOEXEC, IPPROTO_ICMP);
            if (m_fd >= 0) return 0;
            if (!IsDenied(errno) || mode == PingSocketMode::RawOnly)
                return IsDenied(errno) ? kPingSocketDenied : kPingSocketFailed;
        }
        m_fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, IPPROTO_ICMP);
        if (m_fd < 0) return IsDenied(errno) ? kPingSocketDenied : kPingSocketFailed;
        m_datagram = true;
        // ICMP errors about our probe reach a datagram socket only through its error queue.
        int on = 1;
        setsockopt(m_fd, IPPROTO_IP, IP_RECVERR, &on, sizeof on);
        return 0;
    }

    // Closes and leaves `error` in errno for the caller, as the result codes promise.
    int CloseWith(int result, int error) {
        Close();
        errno = error;
        return result;
    }

    void Close() {
        if (m_fd >= 0) close(m_fd);
        m_fd = -1;
    }

    int Fd() const { return m_fd; }
    bool Datagram() const { return m_datagram; }

private:
    int m_fd = -1;
    bool m_datagram = false;
};

// What one received datagram means for the probe under way.
enum class Seen { Nothing, Reply, Unreachable, TimeExceeded };

struct Probe {
    uint32_t dest;  // network byte order
    uint16_t sequence;
};

Seen ErrorKind(uint8_t type) {
    if (type == kIcmpUnreachable) return Seen::Unreachable;
    if (type == kIcmpTimeExceeded) return Seen::TimeExceeded;
    return Seen::Nothing;
}

// The fields of an ICMP header a probe is matched by. Identifier and sequence are read in the
// byte order the probe writes them.
struct IcmpHeader {
    uint8_t type = 0;
    uint16_t identifier = 0;
    uint16_t sequence = 0;
};

bool ReadIcmpHeader(platform::ByteReader& in, IcmpHeader* out) {
    uint8_t code = 0;
    uint16_t checksum = 0;
    return in.U8(&out->type) && in.U8(&code) && in.Le16(&checksum) && in.Le16(&out->identifier) &&
           in.Le16(&out->sequence);
}

// An IPv4 header's protocol and addresses (network byte order); leaves `in` at the payload.
struct IpHeader {
    uint8_t protocol = 0;
    uint32_t source = 0;
    uint32_t dest = 0;
};

bool ReadIpHeader(platform::ByteReader& in, IpHeader* out) {
    size_t start = in.Offset();
    uint8_t versionAndLength = 0;
    if (!in.U8(&versionAndLength)) return false;
    size_t length = static_cast<size_t>(versionAndLength & 0x0F) * 4;
    return length >= kMinIpHeaderSize && in.Skip(8) && in.U8(&out->protocol) && in.Skip(2) &&
           in.Bytes(&out->source, 4) && in.Bytes(&out->dest, 4) && in.Seek(start + length);
}

// An error sent by the target itself (a host firewall rejecting the echo) proves the address is
// taken, as a reply would; only one from elsewhere on the path leaves it free.
Seen ErrorFrom(uint32_t sender, const Probe& probe, Seen kind) { return sender == probe.dest ? Seen::Reply : kind; }

// An ICMP error quotes the IP header and the first 8 bytes of the datagram it is about; only
// one about this very probe may end it, or a stray error would make a taken address look free.
bool QuotesProbe(platform::ByteReader quoted, const Probe& probe) {
    IpHeader ip;
    IcmpHeader icmp;
    return ReadIpHeader(quoted, &ip) && ReadIcmpHeader(quoted, &icmp) && ip.protocol == IPPROTO_ICMP &&
           ip.dest == probe.dest && icmp.type == kIcmpEchoRequest && icmp.identifier == kPingIdentifier &&
           icmp.sequence == probe.sequence;
}

// A raw socket sees every ICMP datagram the host receives, IP header included.
Seen ReadRaw(const uint8_t* data, size_t size, const Probe& probe) {
    platform::ByteReader in(data, size);
    IpHeader ip;
    IcmpHeader icmp;
    if (!ReadIpHeader(in, &ip) || !ReadIcmpHeader(in, &icmp)) return Seen::Nothing;
    if (icmp.type == kIcmpEchoReply) {
        bool ours = ip.source == probe.dest && icmp.identifier == kPingIdentifier && icmp.sequence == probe.sequence;
        return ours ? Seen::Reply : Seen::Nothing;
    }
    Seen kind = ErrorKind(icmp.type);
    if (kind == Seen::Nothing) return kind;
    if (!QuotesProbe(in, probe)) return Seen::Nothing;
    return ErrorFrom(ip.source, probe, kind);
}

// A datagram socket gets only echo replies to its own identifier (which the kernel chose), without IP header.
Seen ReadDatagram(const uint8_t* data, size_t size, const Probe& probe) {
    platform::ByteReader in(data, size);
    IcmpHeader icmp;
    if (!ReadIcmpHeader(in, &icmp) || icmp.type != kIcmpEchoReply) return Seen::Nothing;
    return icmp.sequence == probe.sequence ? Seen::Reply : Seen::Nothing;
}

// Takes one queued ICMP error from a datagram socket; it counts only when it is about this probe
// (the kernel routes errors by identifier alone). False when the queue could not be read.
bool ReadErrorQueue(int fd, const Probe& probe, Seen* seen) {
    uint8_t quoted[kReceiveSize];
    alignas(cmsghdr) uint8_t control[512];
    sockaddr_in dest{};
    iovec iov{quoted, sizeof quoted};
    msghdr msg{};
    msg.msg_name = &dest;
    msg.msg_namelen = sizeof dest;
    msg.msg_iov = &iov;
    msg.msg_iovlen = 1;
    msg.msg_control = control;
    msg.msg_controllen = sizeof control;
    ssize_t got = recvmsg(fd, &msg, MSG_ERRQUEUE | MSG_DONTWAIT);
    if (got < 0) return false;
    *seen = Seen::Nothing;
    // The data is the quoted echo request, the name its destination.
    platform::ByteReader in(quoted, static_cast<size_t>(got));
    IcmpHeader icmp;
    if (!ReadIcmpHeader(in, &icmp) || dest.sin_addr.s_addr != probe.dest || icmp.sequence != probe.sequence) {
        return true;
    }
    for (cmsghdr* c = CMSG_FIRSTHDR(&msg); c != nullptr; c = CMSG_NXTHDR(&msg, c)) {
        if (c->cmsg_level != IPPROTO_IP || c->cmsg_type != IP_RECVERR) continue;
        sock_extended_err err;
        std::memcpy(&err, CMSG_DATA(c), sizeof err);
        if (err.ee_origin != SO_EE_ORIGIN_ICMP) continue;
        sockaddr_in offender;
        std::memcpy(&offender, CMSG_DATA(c) + sizeof err, sizeof offender);
        *seen = ErrorKind(err.ee_type);
        if (*seen != Seen::Nothing) *seen = ErrorFrom(offender.sin_addr.s_addr, probe, *seen);
    }
    return true;
}

int RoundTrip(uint32_t sentTick) {
    uint32_t elapsed = platform::GetTickCount() - sentTick;
    if (elapsed == 0) return 1;
    return elapsed > 0x7FFFFFFFu ? 0x7FFFFFFF : static_cast<int>(elapsed);
}

}  // namespace

void SetPingSocketMode(PingSocketMode mode) {
    g_socketMode.store(mode);
}

bool PingResultIsFree(int result) {
    return result == kPingTimedOut || result == kPingUnreachable || result == kPingTimeExceeded;
}

uint16_t PingChecksum(const uint8_t* data, size_t size) {
    uint32_t sum = 0;
    size_t i = 0;
    for (; i + 1 < size; i += 2) sum += static_cast<uint32_t>(data[i] | (data[i + 1] << 8));
    if (i < size) sum += data[i];
    while ((sum >> 16) != 0) sum = (sum & 0xFFFFu) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

void BuildPingPacket(uint8_t* packet, uint16_t sequence, uint32_t tick) {
    std::memset(packet, 0, kPingPacketSize);
    packet[0] = kIcmpEchoRequest;
    packet[1] = 0;
    WriteLe16(packet + 4, kPingIdentifier);
    WriteLe16(packet + 6, sequence);
    packet[8] = 0;
    WriteLe16(packet + 9, static_cast<uint16_t>(tick));
    WriteLe16(packet + 11, static_cast<uint16_t>(tick >> 16));
    for (size_t i = 0; i < 32; ++i) packet[13 + i] = static_cast<uint8_t>(0x20 + i);
    WriteLe16(packet + 2, PingChecksum(packet, kPingPacketSize));
}

int CheckPingSocket() {
    ProbeSocket sock;
    int opened = sock.Open(g_socketMode.load());
    return opened != 0 ? sock.CloseWith(opened, errno) : 0;
}

int PingApi(uint32_t ulDestAddr) {
    ProbeSocket sock;
    int opened = sock.Open(g_socketMode.load());
    if (opened != 0) return sock.CloseWith(opened, errno);

    Probe probe{ulDestAddr, g_sequence.fetch_add(1)};
    uint8_t packet[kPingPacketSize];
    uint32_t sentTick = platform::GetTickCount();
    BuildPingPacket(packet, probe.sequence, sentTick);
    sockaddr_in to{};
    to.sin_family = AF_INET;
    to.sin_addr.s_addr = ulDestAddr;
    ssize_t sent = sendto(sock.Fd(), packet, sizeof packet, 0, reinterpret_cast<const sockaddr*>(&to), sizeof to);
    if (sent < 0) return sock.CloseWith(errno == EACCES ? kPingSendDenied : kPingSendFailed, errno);
    if (static_cast<size_t>(sent) < sizeof packet) return sock.CloseWith(kPingSendFailed, EMSGSIZE);

    uint32_t deadline = platform::GetTickCount() + kPingWaitMs;
    for (;;) {
        // Signed difference, so a tick count wrapping during the wait does not end or stretch it.
        int32_t left = static_cast<int32_t>(deadline - platform::GetTickCount());
        if (left <= 0) return kPingTimedOut;
        pollfd pfd{sock.Fd(), POLLIN, 0};
        int ready = poll(&pfd, 1, left);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return sock.CloseWith(kPingWaitFailed, errno);
        }
        if (ready == 0) return kPingTimedOut;

        Seen seen = Seen::Nothing;
        if (sock.Datagram() && (pfd.revents & POLLERR) != 0) {
            if (!ReadErrorQueue(sock.Fd(), probe, &seen)) return sock.CloseWith(kPingReceiveFailed, errno);
        } else {
            uint8_t buffer[kReceiveSize];
            ssize_t got = recv(sock.Fd(), buffer, sizeof buffer, MSG_DONTWAIT);
            if (got < 0) {
                if (errno == EINTR || errno == EAGAIN || errno == EWOULDBLOCK) continue;
                return sock.CloseWith(kPingReceiveFailed, errno);
            }
            size_t size = static_cast<size_t>(got);
            seen = sock.Datagram() ? ReadDatagram(buffer, size, probe) : ReadRaw(buffer, size, probe);
        }
        switch (seen) {
            case Seen::Reply:
                return RoundTrip(sentTick);
            case Seen::Unreachable:
                return kPingUnreachable;
            case Seen::TimeExceeded:
                return kPingTimeExceeded;
            case Seen::Nothing:
                break;
        }
    }
}
