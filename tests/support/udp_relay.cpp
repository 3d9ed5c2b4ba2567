#include "support/udp_relay.h"

#include <arpa/inet.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

namespace testsupport {

namespace {

// A datagram held back for reordering goes out after the next one, or after this long when no
// other datagram comes.
constexpr int64_t kHoldBackMs = 20;

int64_t NowMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int BoundSocket(in_addr addr, uint16_t port) {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) return -1;
    sockaddr_in local{};
    local.sin_family = AF_INET;
    local.sin_addr = addr;
    local.sin_port = htons(port);
    if (bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
        close(fd);
        return -1;
    }
    return fd;
}

uint16_t LocalPort(int fd) {
    sockaddr_in local{};
    socklen_t length = sizeof local;
    getsockname(fd, reinterpret_cast<sockaddr*>(&local), &length);
    return ntohs(local.sin_port);
}

uint64_t ClientKey(const sockaddr_in& from) {
    return (static_cast<uint64_t>(from.sin_addr.s_addr) << 16) | from.sin_port;
}

[[noreturn]] void Fail(const char* what) {
    std::perror(what);
    std::abort();  // a relay that cannot run would make every test through it meaningless
}

}  // namespace

UdpRelay::UdpRelay(const char* listenIp, uint16_t listenPort, const char* serverIp, uint16_t serverPort,
                   RelayFaults faults)
    : m_faults(faults), m_random(faults.seed) {
    if (inet_pton(AF_INET, listenIp, &m_listenAddr) != 1) Fail("UdpRelay listen address");
    m_server.sin_family = AF_INET;
    m_server.sin_port = htons(serverPort);
    if (inet_pton(AF_INET, serverIp, &m_server.sin_addr) != 1) Fail("UdpRelay server address");
    int listenFd = BoundSocket(m_listenAddr, listenPort);
    if (listenFd < 0) Fail("UdpRelay bind");
    m_listenPort = LocalPort(listenFd);
    m_mirrorByServerPort[serverPort] = listenFd;
    m_serverPortByMirror[listenFd] = serverPort;
    m_wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (m_wakeFd < 0) Fail("UdpRelay eventfd");
    m_thread = std::thread([this] { Run(); });
}

UdpRelay::~UdpRelay() {
    m_stop = true;
    uint64_t one = 1;
    if (write(m_wakeFd, &one, sizeof one) < 0) {
        // The thread still sees the flag within its poll interval.
    }
    m_thread.join();
    for (const auto& [fd, port] : m_serverPortByMirror) close(fd);
    for (const auto& [fd, client] : m_clientByUpstream) close(fd);
    close(m_wakeFd);
}

RelayCounts UdpRelay::Counts() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_counts;
}

int UdpRelay::MirrorSocket(uint16_t serverPort) {
    auto found = m_mirrorByServerPort.find(serverPort);
    if (found != m_mirrorByServerPort.end()) return found->second;
    int fd = BoundSocket(m_listenAddr, 0);
    if (fd < 0) return -1;
    m_mirrorByServerPort[serverPort] = fd;
    m_serverPortByMirror[fd] = serverPort;
    return fd;
}

void UdpRelay::Schedule(int fromFd, const sockaddr_in& to, const unsigned char* data, size_t size) {
    std::uniform_real_distribution<double> chance(0.0, 1.0);
    std::lock_guard<std::mutex> lock(m_mutex);
    if (chance(m_random) < m_faults.loss) {
        ++m_counts.dropped;
        return;
    }
    Pending item{NowMs() + m_faults.delayMs, fromFd, to, std::vector<unsigned char>(data, data + size)};
    int copies = chance(m_random) < m_faults.duplicate ? 2 : 1;
    if (copies == 2) ++m_counts.duplicated;
    if (chance(m_random) < m_faults.reorder) {
        ++m_counts.reordered;
        item.dueMs += kHoldBackMs;
        for (int i = 0; i < copies; ++i) m_heldBack.push_back(item);
        return;
    }
    for (int i = 0; i < copies; ++i) m_pending.push_back(item);
    // What was held back goes out behind this one.
    for (Pending& held : m_heldBack) {
        held.dueMs = item.dueMs;
        m_pending.push_back(std::move(held));
    }
    m_heldBack.clear();
}

void UdpRelay::SendDue(int64_t nowMs) {
    std::vector<Pending> due;
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        for (auto* queue : {&m_pending, &m_heldBack}) {
            auto split = std::stable_partition(queue->begin(), queue->end(),
                                               [nowMs](const Pending& p) { return p.dueMs <= nowMs; });
            std::move(queue->begin(), split, std::back_inserter(due));
            queue->erase(queue->begin(), split);
        }
        m_counts.forwarded += due.size();
    }
    for (const Pending& p : due) {
        sendto(p.fromFd, p.bytes.data(), p.bytes.size(), 0, reinterpret_cast<const sockaddr*>(&p.to), sizeof p.to);
    }
}

void UdpRelay::Run() {
    unsigned char buffer[65536];
    while (!m_stop) {
        std::vector<pollfd> fds{{m_wakeFd, POLLIN, 0}};
        for (const auto& [fd, port] : m_serverPortByMirror) fds.push_back({fd, POLLIN, 0});
        for (const auto& [fd, client] : m_clientByUpstream) fds.push_back({fd, POLLIN, 0});
        int timeoutMs = 50;
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            int64_t now = NowMs();
            for (auto* queue : {&m_pending, &m_heldBack}) {
                for (const Pending& p : *queue) {
                    timeoutMs = static_cast<int>(std::clamp<int64_t>(p.dueMs - now, 0, timeoutMs));
                }
            }
        }
        poll(fds.data(), fds.size(), timeoutMs);
        for (const pollfd& ready : fds) {
            if ((ready.revents & POLLIN) == 0 || ready.fd == m_wakeFd) continue;
            sockaddr_in from{};
            socklen_t fromLength = sizeof from;
            ssize_t got =
                recvfrom(ready.fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
            if (got < 0) continue;
            auto mirror = m_serverPortByMirror.find(ready.fd);
            if (mirror != m_serverPortByMirror.end()) {
                // Client to server: through this client's own upstream socket.
                Client& client = m_clients[ClientKey(from)];
                if (client.upstreamFd <= 0) {
                    client.upstreamFd = BoundSocket(in_addr{htonl(INADDR_ANY)}, 0);
                    if (client.upstreamFd < 0) continue;
                    m_clientByUpstream[client.upstreamFd] = from;
                }
                sockaddr_in to = m_server;
                to.sin_port = htons(mirror->second);
                Schedule(client.upstreamFd, to, buffer, static_cast<size_t>(got));
            } else {
                // Server to client: from the relay port that mirrors the server's port.
                int mirrorFd = MirrorSocket(ntohs(from.sin_port));
                if (mirrorFd < 0) continue;
                Schedule(mirrorFd, m_clientByUpstream[ready.fd], buffer, static_cast<size_t>(got));
            }
        }
        SendDue(NowMs());
    }
}

}  // namespace testsupport
