#pragma once
// A UDP peer for tests: sends datagrams and records what it receives on its own thread.
#include <netinet/in.h>

#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/udp_socket.h"

namespace testsupport {

class UdpPeer {
public:
    // Binds to `ip`:`port` (port 0: the system picks one). Broadcast is allowed, and so is
    // address reuse, so a peer can listen on the same broadcast port as another.
    explicit UdpPeer(const char* ip = "127.0.0.1", uint16_t port = 0);
    ~UdpPeer();
    UdpPeer(const UdpPeer&) = delete;
    UdpPeer& operator=(const UdpPeer&) = delete;

    bool SendTo(const std::string& bytes, const char* ip, uint16_t port) const;
    // Waits until at least `count` datagrams have arrived; false on time-out.
    bool WaitFor(size_t count, int timeoutMs);
    std::vector<std::string> Received();

private:
    void Run();
    platform::UdpSocket m_socket;
    bool m_stop = false;
    std::mutex m_mutex;
    std::condition_variable m_cv;
    std::vector<std::string> m_received;
    std::thread m_thread;
};

}  // namespace testsupport
