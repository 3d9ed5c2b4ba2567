#pragma once
// The device side of a test in a network namespace of its own: two ends of a veth pair in one
// namespace do not talk to each other, so the devices get a fresh namespace (inside the test's
// own), held open by a descriptor, with the peer end of the test's link moved in.
#include <fcntl.h>
#include <sched.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <thread>

#include "support/netns.h"

namespace testsupport {

class PeerNamespace {
public:
    // `peer` is moved in, brought up and given `cidr`; loopback is up too.
    PeerNamespace(const std::string& peer, const std::string& cidr) {
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
    ~PeerNamespace() {
        if (m_fd >= 0) close(m_fd);
    }
    PeerNamespace(const PeerNamespace&) = delete;
    PeerNamespace& operator=(const PeerNamespace&) = delete;

    bool Ok() const { return m_ok; }
    const std::string& Path() const { return m_path; }  // for setns and nsenter --net=
    // Runs "ip `args`" inside; its exit status.
    int Ip(const std::string& args) const {
        return m_fd < 0 ? -1 : RunCommand("nsenter --net=" + m_path + " ip " + args);
    }
    // Runs `body` on a thread inside, so the sockets it opens and the commands it runs are the
    // devices'; the body's result, or -1 when the thread could not enter.
    int Run(const std::function<int()>& body) const {
        int result = -1;
        std::thread([&] {
            if (m_fd >= 0 && setns(m_fd, CLONE_NEWNET) == 0) result = body();
        }).join();
        return result;
    }

private:
    int m_fd = -1;
    bool m_ok = false;
    std::string m_path;
};

}  // namespace testsupport
