#pragma once
// A lossy UDP relay on loopback for tests, standing in for a bad link: it forwards between clients
// and one server and drops, duplicates or reorders datagrams on the way, as a seeded PRNG decides.
//
// Servers such as TFTP answer from a new port per transfer. The relay mirrors every server port
// it hears from onto a port of its own, so a client that talks to the port a reply came from
// reaches the server port that sent it, and a reply from an unexpected server port still
// arrives from an unexpected relay port (nothing the server does wrong is hidden).
#include <arpa/inet.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <random>
#include <string>
#include <thread>
#include <vector>

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
        m_sockets.push_back({BoundSocket(listenPort), serverPort, {}});
        m_thread = std::thread([this] { Run(); });
    }
    ~UdpRelay() {
        m_stop = true;
        m_thread.join();
        for (const Socket& s : m_sockets) close(s.fd);
    }

    // How many datagrams were dropped, duplicated and reordered so far.
    std::atomic<uint64_t> dropped{0}, duplicated{0}, reordered{0};

private:
    // A relay socket: one facing the clients for each server port (serverPort), or one carrying a
    // client's traffic to the server (serverPort 0).
    struct Socket {
        int fd;
        uint16_t serverPort;
        sockaddr_in client;
    };
    struct Datagram {
        int fd;
        sockaddr_in to;
        std::string bytes;
    };

    static sockaddr_in Loopback(uint16_t port) {
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        address.sin_port = htons(port);
        return address;
    }
    static int BoundSocket(uint16_t port) {
        int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
        sockaddr_in local = Loopback(port);
        if (fd < 0 || bind(fd, reinterpret_cast<sockaddr*>(&local), sizeof local) != 0) {
            std::perror("UdpRelay socket");
            std::abort();  // a relay that cannot run would make every test through it meaningless
        }
        // Whole windows of large blocks arrive at once: the relay must not lose more than it is told to.
        const int bytes = 4 << 20;
        for (int option : {SO_RCVBUF, SO_SNDBUF}) {
            if (setsockopt(fd, SOL_SOCKET, option == SO_RCVBUF ? SO_RCVBUFFORCE : SO_SNDBUFFORCE, &bytes,
                           sizeof bytes) != 0) {
                setsockopt(fd, SOL_SOCKET, option, &bytes, sizeof bytes);
            }
        }
        return fd;
    }
    static void Send(const Datagram& d) {
        sendto(d.fd, d.bytes.data(), d.bytes.size(), 0, reinterpret_cast<const sockaddr*>(&d.to), sizeof d.to);
    }

    // The socket facing the clients for `serverPort`, or with 0 the one carrying `client`'s
    // traffic; made on first use.
    int SocketFor(uint16_t serverPort, const sockaddr_in& client) {
        for (const Socket& s : m_sockets) {
            bool same = serverPort != 0 ? s.serverPort == serverPort
                                        : s.serverPort == 0 && s.client.sin_addr.s_addr == client.sin_addr.s_addr &&
                                              s.client.sin_port == client.sin_port;
            if (same) return s.fd;
        }
        m_sockets.push_back({BoundSocket(0), serverPort, client});
        return m_sockets.back().fd;
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
            for (const Socket& s : m_sockets) fds.push_back({s.fd, POLLIN, 0});
            if (poll(fds.data(), fds.size(), 20) == 0) {
                for (const Datagram& held : m_held) Send(held);
                m_held.clear();
            }
            for (size_t i = 0; i < fds.size(); ++i) {
                if ((fds[i].revents & POLLIN) == 0) continue;
                sockaddr_in from{};
                socklen_t length = sizeof from;
                ssize_t got =
                    recvfrom(fds[i].fd, buffer.data(), buffer.size(), 0, reinterpret_cast<sockaddr*>(&from), &length);
                if (got < 0) continue;
                const Socket s = m_sockets[i];  // a copy: SocketFor may add sockets
                const std::string bytes = buffer.substr(0, static_cast<size_t>(got));
                if (s.serverPort != 0) {
                    // Client to server: through this client's own socket, to the server port mirrored.
                    Forward({SocketFor(0, from), Loopback(s.serverPort), bytes});
                } else {
                    // Server to client: from the relay socket that mirrors the server's port.
                    Forward({SocketFor(ntohs(from.sin_port), {}), s.client, bytes});
                }
            }
        }
    }

    RelayFaults m_faults;
    std::mt19937 m_random;
    std::atomic<bool> m_stop{false};
    std::vector<Socket> m_sockets;  // the relay thread's own once it runs
    std::vector<Datagram> m_held;
    std::thread m_thread;
};

}  // namespace testsupport
