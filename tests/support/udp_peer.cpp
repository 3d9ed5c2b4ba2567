#include "support/udp_peer.h"

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
    std::vector<char> buffer(65536);
    while (m_socket.WaitReadable(0) == 1) {
        long n = m_socket.ReceiveFrom(buffer.data(), buffer.size(), nullptr);
        if (n < 0) break;
        m_received.emplace_back(buffer.data(), static_cast<size_t>(n));
    }
    return m_received;
}

}  // namespace testsupport
