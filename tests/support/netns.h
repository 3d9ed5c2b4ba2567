#pragma once
// Network isolation for tests: every test binary runs in a network namespace of its own, so
// nothing a test sends can leave this machine's loopback or the veth pairs a test makes.
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "platform/private_network.h"

namespace testsupport {

inline bool g_inPrivateNetwork = false;

// Enters a fresh network namespace with "lo" up, or ends the process: a test binary never falls
// back to the machine's network.
inline void EnterPrivateNetworkOrExit() {
    std::string error;
    g_inPrivateNetwork = platform::EnterPrivateNetworkNamespace(&error);
    if (g_inPrivateNetwork) return;
    std::fprintf(stderr, "FATAL: cannot enter a private network namespace (%s); refusing to run on the machine's "
                         "network.\n", error.c_str());
    std::exit(2);
}
// True when the process is inside a namespace made by EnterPrivateNetwork.
inline bool InPrivateNetwork() {
    return g_inPrivateNetwork;
}

struct CommandResult {
    int status = -1;  // the exit status, -1 when it did not exit
    std::string out;  // standard output and error together
};
// Runs a shell command (a program under test, say) and collects what it printed.
inline CommandResult RunCapture(const std::string& command) {
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
// Runs a shell command inside the test's namespace (for "ip link add ... type veth"); its exit status.
inline int RunCommand(const std::string& command) {
    return RunCapture(command).status;
}

}  // namespace testsupport
