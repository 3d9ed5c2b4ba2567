#include "support/udp_peer.h"

#include <chrono>
#include <stdexcept>

namespace testsupport {

UdpPeer::UdpPeer(const char* ip, uint16_t port) : m_socket(platform::UdpSocket::OpenIPv4()) {
    if (!m_socket.Valid() || !m_socket.SetReuseAddress(true) || !m_socket.SetBroadcast(true) ||
        m_socket.Bind(ip, port) != 0) {
        throw std::runtime_error("UdpPeer: cannot bind");
    }
    m_thread = std::thread([this] { Run(); });
}

UdpPeer::~UdpPeer() {
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_stop = true;
    }
    m_thread.join();
}

void UdpPeer::Run() {
    std::vector<char> buffer(65536);
    for (;;) {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            if (m_stop) return;
        }
        if (m_socket.WaitReadable(20) <= 0) continue;
        long n = m_socket.ReceiveFrom(buffer.data(), buffer.size(), nullptr);
        if (n < 0) continue;
        std::lock_guard<std::mutex> lock(m_mutex);
        m_received.emplace_back(buffer.data(), static_cast<size_t>(n));
        m_cv.notify_all();
    }
}

bool UdpPeer::SendTo(const std::string& bytes, const char* ip, uint16_t port) const {
    in_addr addr{};
    if (!platform::ParseIPv4(ip, &addr)) return false;
    return m_socket.SendTo(bytes.data(), bytes.size(), platform::MakeSockaddrIn(addr, port)) ==
           static_cast<long>(bytes.size());
}

bool UdpPeer::WaitFor(size_t count, int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return m_received.size() >= count; });
}

std::vector<std::string> UdpPeer::Received() {
    std::lock_guard<std::mutex> lock(m_mutex);
    return m_received;
}

}  // namespace testsupport
