#pragma once
// A lossy UDP relay on loopback for tests, standing in for a bad link: it forwards between clients
// and one server and drops, duplicates or reorders datagrams on the way, as a seeded PRNG decides.
//
// Servers such as TFTP answer from a new port per transfer. The relay mirrors every server port
// it hears from onto a port of its own, so a client that talks to the port a reply came from
// reaches the server port that sent it, and a reply from an unexpected server port still
// arrives from an unexpected relay port (nothing the server does wrong is hidden).
#include <poll.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <deque>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "platform/udp_socket.h"

namespace testsupport {

struct RelayFaults {
    double loss = 0.0;       // share of datagrams dropped, each direction
    double duplicate = 0.0;  // share sent twice
    double reorder = 0.0;    // share held back and sent after the next datagram
    uint32_t seed = 1;       // the same seed gives the same faults for the same traffic
};

class UdpRelay {
public:
    // Listens on 127.0.0.1:`listenPort` and forwards to 127.0.0.1:`serverPort`.
    UdpRelay(uint16_t listenPort, uint16_t serverPort, RelayFaults faults) : m_faults(faults), m_random(faults.seed) {
        m_sockets.push_back({BoundSocket(listenPort), serverPort, 0});
        m_thread = std::thread([this] { Run(); });
    }
    ~UdpRelay() {
        m_stop = true;
        m_thread.join();
    }

    // How many datagrams were dropped, duplicated and reordered so far.
    std::atomic<uint64_t> dropped{0}, duplicated{0}, reordered{0};

private:
    // A relay socket: one facing the clients for each server port (serverPort), or one carrying a
    // client's traffic to the server (serverPort 0).
    struct Socket {
        platform::UdpSocket socket;
        uint16_t serverPort;
        uint16_t clientPort;  // every client is on loopback
    };
    struct Datagram {
        const platform::UdpSocket* from;
        sockaddr_in to;
        std::string bytes;
    };

    static sockaddr_in Loopback(uint16_t port) { return platform::MakeSockaddrIn({htonl(INADDR_LOOPBACK)}, port); }
    static platform::UdpSocket BoundSocket(uint16_t port) {
        platform::UdpSocket s = platform::UdpSocket::OpenIPv4();
        // Whole windows of large blocks arrive at once: the relay must not lose more than it is told to.
        if (!s.SetNonBlocking(true) || s.Bind(Loopback(port)) != 0 || !s.SetReceiveBuffer(4 << 20)) {
            std::perror("UdpRelay socket");
            std::abort();  // a relay that cannot run would make every test through it meaningless
        }
        return s;
    }
    static void Send(const Datagram& d) { d.from->SendTo(d.bytes.data(), d.bytes.size(), d.to); }

    // The socket facing the clients for `serverPort`, or with 0 the one carrying the traffic of
    // the client at `clientPort`; made on first use.
    const platform::UdpSocket* SocketFor(uint16_t serverPort, uint16_t clientPort) {
        for (const Socket& s : m_sockets) {
            if (s.serverPort == serverPort && (serverPort != 0 || s.clientPort == clientPort)) return &s.socket;
        }
        return &m_sockets.emplace_back(Socket{BoundSocket(0), serverPort, clientPort}).socket;
    }

    void Forward(const Datagram& datagram) {
        std::uniform_real_distribution<double> chance(0.0, 1.0);
        if (chance(m_random) < m_faults.loss) {
            ++dropped;
            return;
        }
        const int copies = chance(m_random) < m_faults.duplicate ? 2 : 1;
        duplicated += copies - 1;
        if (chance(m_random) < m_faults.reorder) {
            ++reordered;
            m_held.insert(m_held.end(), copies, datagram);
            return;
        }
        for (int i = 0; i < copies; ++i) Send(datagram);
        // What was held back goes out behind this one, or once the link has been quiet for a poll.
        for (const Datagram& held : m_held) Send(held);
        m_held.clear();
    }

    void Run() {
        std::string buffer(65536, '\0');
        while (!m_stop) {
            std::vector<pollfd> fds;
            for (const Socket& s : m_sockets) fds.push_back({s.socket.Fd(), POLLIN, 0});
            if (poll(fds.data(), fds.size(), 20) == 0) {
                for (const Datagram& held : m_held) Send(held);
                m_held.clear();
            }
            for (size_t i = 0; i < fds.size(); ++i) {
                if ((fds[i].revents & POLLIN) == 0) continue;
                const Socket& s = m_sockets[i];  // a deque: stays in place while SocketFor adds sockets
                sockaddr_in from{};
                long got = s.socket.ReceiveFrom(buffer.data(), buffer.size(), &from);
                if (got < 0) continue;
                const std::string bytes = buffer.substr(0, static_cast<size_t>(got));
                if (s.serverPort != 0) {
                    // Client to server: through this client's own socket, to the server port mirrored.
                    Forward({SocketFor(0, ntohs(from.sin_port)), Loopback(s.serverPort), bytes});
                } else {
                    // Server to client: from the relay socket that mirrors the server's port.
                    Forward({SocketFor(ntohs(from.sin_port), 0), Loopback(s.clientPort), bytes});
                }
            }
        }
    }

    RelayFaults m_faults;
    std::mt19937 m_random;
    std::atomic<bool> m_stop{false};
    std::deque<Socket> m_sockets;  // the relay thread's own once it runs
    std::vector<Datagram> m_held;
    std::thread m_thread;
};

}  // namespace testsupport
