#pragma once
// A UDP peer for tests: sends datagrams and collects what has arrived whenever it is asked.
#include <netinet/in.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <vector>

#include "platform/udp_socket.h"
#include "support/wait_until.h"

namespace testsupport {

class UdpPeer {
public:
    // Binds to `ip`:`port` (port 0: the system picks one). Broadcast is allowed, and so is
    // address reuse, so a peer can listen on the same broadcast port as another.
    explicit UdpPeer(const char* ip = "127.0.0.1", uint16_t port = 0) {
        if (!m_socket.Valid() || !m_socket.SetReuseAddress(true) || !m_socket.SetBroadcast(true) ||
            m_socket.Bind(ip, port) != 0) {
            throw std::runtime_error("UdpPeer: cannot bind");
        }
    }

    bool SendTo(const std::string& bytes, const char* ip, uint16_t port) const {
        in_addr addr{};
        return platform::ParseIPv4(ip, &addr) &&
               m_socket.SendTo(bytes.data(), bytes.size(), platform::MakeSockaddrIn(addr, port)) ==
                   static_cast<long>(bytes.size());
    }
    // Waits until at least `count` datagrams have arrived; false on time-out.
    bool WaitFor(size_t count, int timeoutMs) {
        return WaitUntil([&] { return Received().size() >= count; }, timeoutMs);
    }
    // Every datagram received so far, in order of arrival.
    std::vector<std::string> Received() {
        // The kernel holds what arrived in the meantime; a test's traffic fits its buffer.
        while (m_socket.WaitReadable(0) == 1) m_received.push_back(Next(0));
        return m_received;
    }
    // The next datagram not yet taken, and the port it came from; empty after `timeoutMs`.
    std::string Next(int timeoutMs, uint16_t* fromPort = nullptr) {
        std::string buffer(65536, '\0');
        sockaddr_in from{};
        long n = m_socket.WaitReadable(timeoutMs) == 1 ? m_socket.ReceiveFrom(buffer.data(), buffer.size(), &from) : -1;
        if (fromPort != nullptr && n >= 0) *fromPort = ntohs(from.sin_port);
        return buffer.substr(0, static_cast<size_t>(std::max(n, 0L)));
    }

private:
    platform::UdpSocket m_socket = platform::UdpSocket::OpenIPv4();
    std::vector<std::string> m_received;
};

}  // namespace testsupport
