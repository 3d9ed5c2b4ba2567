#pragma once
// A UDP peer for tests: sends datagrams and collects what has arrived whenever it is asked.
#include <netinet/in.h>

#include <cstdint>
#include <string>
#include <vector>

#include "platform/udp_socket.h"

namespace testsupport {

class UdpPeer {
public:
    // Binds to `ip`:`port` (port 0: the system picks one). Broadcast is allowed, and so is
    // address reuse, so a peer can listen on the same broadcast port as another.
    explicit UdpPeer(const char* ip = "127.0.0.1", uint16_t port = 0);

    bool SendTo(const std::string& bytes, const char* ip, uint16_t port) const;
    // Waits until at least `count` datagrams have arrived; false on time-out.
    bool WaitFor(size_t count, int timeoutMs);
    // Every datagram received so far, in order of arrival.
    std::vector<std::string> Received();
    // The next datagram not yet taken, and the port it came from; empty after `timeoutMs`.
    std::string Next(int timeoutMs, uint16_t* fromPort = nullptr);

private:
    platform::UdpSocket m_socket;
    std::vector<std::string> m_received;
};

}  // namespace testsupport
