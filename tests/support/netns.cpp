#include "support/netns.h"

#include <sys/wait.h>

#include <cstdio>

#include "platform/private_network.h"

namespace testsupport {

static bool g_inPrivateNetwork = false;

std::string EnterPrivateNetwork() {
    std::string error;
    if (platform::EnterPrivateNetworkNamespace(&error)) g_inPrivateNetwork = true;
    return error;
}

bool InPrivateNetwork() {
    return g_inPrivateNetwork;
}

CommandResult RunCapture(const std::string& command) {
    CommandResult r;
    if (!g_inPrivateNetwork) return r;  // never touch the machine's own network
    FILE* pipe = popen((command + " 2>&1").c_str(), "r");
    if (pipe == nullptr) return r;
    char buf[4096];
    for (size_t n; (n = fread(buf, 1, sizeof buf, pipe)) > 0;) r.out.append(buf, n);
    int status = pclose(pipe);
    r.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return r;
}

int RunCommand(const std::string& command) {
    return RunCapture(command).status;
}

}  // namespace testsupport
