#include "support/peer_namespace.h"

#include <fcntl.h>
#include <poll.h>
#include <sched.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <thread>

#include "support/netns.h"

namespace testsupport {

int RunInPeerNamespace(const std::vector<std::string>& links, const std::function<int()>& body, int timeoutMs) {
    if (!InPrivateNetwork()) return -1;  // never next to the machine's own network
    int ready[2], go[2];
    if (pipe(ready) != 0) return -1;
    if (pipe(go) != 0) {
        close(ready[0]);
        close(ready[1]);
        return -1;
    }
    pid_t child = fork();
    if (child == 0) {
        char byte = unshare(CLONE_NEWNET) == 0 ? 1 : 0;
        if (write(ready[1], &byte, 1) != 1 || byte == 0 || read(go[0], &byte, 1) != 1) _exit(254);
        if (RunCommand("ip link set lo up") != 0) _exit(254);
        _exit(body() & 0xff);
    }
    close(ready[1]);
    close(go[0]);
    char byte = 0;
    bool ok = child > 0 && read(ready[0], &byte, 1) == 1 && byte == 1;
    for (const std::string& link : links) {
        ok = ok && RunCommand("ip link set " + link + " netns " + std::to_string(child)) == 0;
    }
    byte = 1;
    ok = ok && write(go[1], &byte, 1) == 1;
    close(ready[0]);
    close(go[1]);
    if (child <= 0) return -1;
    int status = 0;
    for (int waited = 0; waitpid(child, &status, WNOHANG) == 0; waited += 10) {
        if (waited >= timeoutMs) {
            kill(child, SIGKILL);
            waitpid(child, &status, 0);
            return -1;
        }
        poll(nullptr, 0, 10);
    }
    if (!ok || !WIFEXITED(status) || WEXITSTATUS(status) == 254) return -1;
    return WEXITSTATUS(status);
}

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

}  // namespace testsupport
