#include "platform/private_network.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace platform {

namespace {

bool WriteText(const char* path, const std::string& text) {
    int fd = open(path, O_WRONLY | O_CLOEXEC);
    if (fd < 0) return false;
    bool ok = write(fd, text.data(), text.size()) == static_cast<ssize_t>(text.size());
    close(fd);
    return ok;
}

std::string BringLoopbackUp() {
    int fd = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd < 0) return std::string("socket: ") + std::strerror(errno);
    ifreq ifr{};
    std::strncpy(ifr.ifr_name, "lo", IFNAMSIZ - 1);
    std::string error;
    if (ioctl(fd, SIOCGIFFLAGS, &ifr) != 0) {
        error = std::string("cannot read the flags of lo: ") + std::strerror(errno);
    } else {
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
        if (ioctl(fd, SIOCSIFFLAGS, &ifr) != 0) error = std::string("cannot bring lo up: ") + std::strerror(errno);
    }
    close(fd);
    return error;
}

}  // namespace

bool EnterPrivateNetworkNamespace(std::string* error) {
    if (unshare(CLONE_NEWNET) != 0) {
        int first = errno;
        const uid_t uid = getuid();
        const gid_t gid = getgid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
            *error = std::string("unshare(CLONE_NEWNET): ") + std::strerror(first) +
                     "; unshare(CLONE_NEWUSER|CLONE_NEWNET): " + std::strerror(errno);
            return false;
        }
        // Root inside the user namespace only: the rights reach no further than the new namespaces.
        WriteText("/proc/self/setgroups", "deny");
        if (!WriteText("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !WriteText("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
            *error = "cannot map the user into the new user namespace";
            return false;
        }
    }
    *error = BringLoopbackUp();
    return error->empty();
}

}  // namespace platform
