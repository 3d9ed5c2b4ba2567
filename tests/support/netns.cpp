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

#include "platform/private_network.h"

namespace testsupport {

namespace {

bool g_inPrivateNetwork = false;

}  // namespace

std::string EnterPrivateNetwork() {
    std::string error;
    if (platform::EnterPrivateNetworkNamespace(&error)) g_inPrivateNetwork = true;
    return error;
}

bool InPrivateNetwork() { return g_inPrivateNetwork; }

int RunCommand(const std::string& command) {
    if (!g_inPrivateNetwork) return -1;  // never touch the machine's own network
    int status = std::system(command.c_str());
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

}  // namespace testsupport
