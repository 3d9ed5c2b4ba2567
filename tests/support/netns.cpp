#include "support/netns.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

namespace testsupport {

namespace {

bool g_inPrivateNetwork = false;

bool WriteFile(const char* path, const std::string& text) {
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
        error = std::string("SIOCGIFFLAGS lo: ") + std::strerror(errno);
    } else {
        ifr.ifr_flags = static_cast<short>(ifr.ifr_flags | IFF_UP | IFF_RUNNING);
        if (ioctl(fd, SIOCSIFFLAGS, &ifr) != 0) error = std::string("SIOCSIFFLAGS lo: ") + std::strerror(errno);
    }
    close(fd);
    return error;
}

}  // namespace

std::string EnterPrivateNetwork() {
    if (unshare(CLONE_NEWNET) != 0) {
        int first = errno;
        // Without root, a user namespace grants the rights to make a network namespace.
        uid_t uid = getuid();
        gid_t gid = getgid();
        if (unshare(CLONE_NEWUSER | CLONE_NEWNET) != 0) {
            return std::string("unshare(CLONE_NEWNET): ") + std::strerror(first) +
                   "; unshare(CLONE_NEWUSER|CLONE_NEWNET): " + std::strerror(errno);
        }
        WriteFile("/proc/self/setgroups", "deny");
        if (!WriteFile("/proc/self/uid_map", "0 " + std::to_string(uid) + " 1") ||
            !WriteFile("/proc/self/gid_map", "0 " + std::to_string(gid) + " 1")) {
            return "could not map the user into the new user namespace";
        }
    }
    std::string error = BringLoopbackUp();
    if (error.empty()) g_inPrivateNetwork = true;
    return error;
}

bool InPrivateNetwork() { return g_inPrivateNetwork; }

int RunCommand(const std::string& command) {
    if (!g_inPrivateNetwork) return -1;  // never touch the machine's own network
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testsupport
