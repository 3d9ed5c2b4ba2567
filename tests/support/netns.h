#pragma once
// Network isolation for tests: every test binary runs in a network namespace of its own, so
// nothing a test sends can leave this machine's loopback or the veth pairs a test makes.
#include <string>

namespace testsupport {

// Enters a fresh network namespace and brings "lo" up. Returns an empty string on success,
// otherwise why it failed.
std::string EnterPrivateNetwork();
// True when the process is inside a namespace made by EnterPrivateNetwork.
bool InPrivateNetwork();
// Runs a shell command inside the test's namespace (for "ip link add ... type veth"); its exit status.
int RunCommand(const std::string& command);

struct CommandResult {
    int status = -1;  // the exit status, -1 when it did not exit
    std::string out;  // standard output and error together
};
// Runs a shell command (a program under test, say) and collects what it printed.
CommandResult RunCapture(const std::string& command);

}  // namespace testsupport
