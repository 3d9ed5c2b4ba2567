#include "support/udp_peer.h"

#include <algorithm>
#include <stdexcept>

#include "support/wait_until.h"

namespace testsupport {

UdpPeer::UdpPeer(const char* ip, uint16_t port) : m_socket(platform::UdpSocket::OpenIPv4()) {
    if (!m_socket.Valid() || !m_socket.SetReuseAddress(true) || !m_socket.SetBroadcast(true) ||
        m_socket.Bind(ip, port) != 0) {
        throw std::runtime_error("UdpPeer: cannot bind");
    }
}

bool UdpPeer::SendTo(const std::string& bytes, const char* ip, uint16_t port) const {
    in_addr addr{};
    if (!platform::ParseIPv4(ip, &addr)) return false;
    return m_socket.SendTo(bytes.data(), bytes.size(), platform::MakeSockaddrIn(addr, port)) ==
           static_cast<long>(bytes.size());
}

bool UdpPeer::WaitFor(size_t count, int timeoutMs) {
    return WaitUntil([&] { return Received().size() >= count; }, timeoutMs);
}

std::vector<std::string> UdpPeer::Received() {
    // The kernel holds what arrived in the meantime; a test's traffic fits its buffer.
    while (m_socket.WaitReadable(0) == 1) m_received.push_back(Next(0));
    return m_received;
}

std::string UdpPeer::Next(int timeoutMs, uint16_t* fromPort) {
    std::string buffer(65536, '\0');
    sockaddr_in from{};
    long n = m_socket.WaitReadable(timeoutMs) == 1 ? m_socket.ReceiveFrom(buffer.data(), buffer.size(), &from) : -1;
    if (fromPort != nullptr && n >= 0) *fromPort = ntohs(from.sin_port);
    return buffer.substr(0, static_cast<size_t>(std::max(n, 0L)));
}

}  // namespace testsupport
