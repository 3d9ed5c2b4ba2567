#pragma once
// A lossy UDP relay for tests, standing in for a bad link: it forwards between clients and one
// server and drops, duplicates, delays or reorders datagrams on the way.
//
// Servers such as TFTP answer from a new port per transfer. The relay mirrors every server port
// it hears from onto a port of its own, so a client that talks to the port a reply came from
// reaches the server port that sent it, and a reply from an unexpected server port still
// arrives from an unexpected relay port (nothing the server does wrong is hidden).
#include <netinet/in.h>

#include <atomic>
#include <cstdint>
#include <map>
#include <mutex>
#include <random>
#include <thread>
#include <vector>

namespace testsupport {

struct RelayFaults {
    double loss = 0.0;       // share of datagrams dropped, each direction
    double duplicate = 0.0;  // share sent twice
    double reorder = 0.0;    // share held back and sent after the next datagram
    int delayMs = 0;         // added to every datagram
    uint32_t seed = 1;       // the same seed gives the same faults for the same traffic
};

struct RelayCounts {
    uint64_t forwarded = 0;
    uint64_t dropped = 0;
    uint64_t duplicated = 0;
    uint64_t reordered = 0;
};

class UdpRelay {
public:
    // Listens on `listenIp`:`listenPort` (0: any free port) and forwards to `serverIp`:`serverPort`.
    UdpRelay(const char* listenIp, uint16_t listenPort, const char* serverIp, uint16_t serverPort,
             RelayFaults faults = {});
    ~UdpRelay();
    UdpRelay(const UdpRelay&) = delete;
    UdpRelay& operator=(const UdpRelay&) = delete;

    uint16_t Port() const { return m_listenPort; }
    RelayCounts Counts();

private:
    struct Pending {
        int64_t dueMs;
        int fromFd;
        sockaddr_in to;
        std::vector<unsigned char> bytes;
    };
    struct Client {
        int upstreamFd;
    };

    void Run();
    int MirrorSocket(uint16_t serverPort);
    void Schedule(int fromFd, const sockaddr_in& to, const unsigned char* data, size_t size);
    void SendDue(int64_t nowMs);

    sockaddr_in m_server{};
    in_addr m_listenAddr{};
    uint16_t m_listenPort = 0;
    RelayFaults m_faults;
    std::mt19937 m_random;
    int m_wakeFd = -1;
    std::atomic<bool> m_stop{false};

    std::mutex m_mutex;  // guards the counts, read by the test thread
    RelayCounts m_counts;

    // Touched by the relay thread only.
    std::map<uint16_t, int> m_mirrorByServerPort;  // server port -> relay socket facing clients
    std::map<int, uint16_t> m_serverPortByMirror;
    std::map<uint64_t, Client> m_clients;  // client address and port -> its upstream socket
    std::map<int, sockaddr_in> m_clientByUpstream;
    std::vector<Pending> m_pending;
    std::vector<Pending> m_heldBack;
    std::thread m_thread;
};

}  // namespace testsupport
