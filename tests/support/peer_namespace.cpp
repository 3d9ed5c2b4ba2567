#include "support/peer_namespace.h"

#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <thread>

#include "support/netns.h"

namespace testsupport {

PeerNamespace::PeerNamespace(const std::string& peer, const std::string& cidr) {
    if (!InPrivateNetwork()) return;
    // Only the helper thread moves into the new namespace; its descriptor keeps the namespace alive.
    std::thread([&] {
        if (unshare(CLONE_NEWNET) == 0) m_fd = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
    }).join();
    if (m_fd < 0) return;
    m_path = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(m_fd);
    m_ok = RunCommand("ip link set " + peer + " netns " + m_path) == 0 && Ip("link set lo up") == 0 &&
           Ip("link set " + peer + " up") == 0 && Ip("addr add " + cidr + " dev " + peer) == 0;
}

PeerNamespace::~PeerNamespace() {
    if (m_fd >= 0) close(m_fd);
}

int PeerNamespace::Ip(const std::string& args) const {
    return m_fd < 0 ? -1 : RunCommand("nsenter --net=" + m_path + " ip " + args);
}

int PeerNamespace::Run(const std::function<int()>& body) const {
    int result = -1;
    std::thread([&] {
        if (m_fd >= 0 && setns(m_fd, CLONE_NEWNET) == 0) result = body();
    }).join();
    return result;
}

}  // namespace testsupport
