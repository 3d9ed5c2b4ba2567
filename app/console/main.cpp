#include <CLI/CLI.hpp>
#include <pthread.h>
#include <signal.h>

#include <vector>

#include "app/console/console_command.h"
#include "app/version.h"
#include "platform/process_limits.h"

namespace {

std::vector<ConsoleCommandSetup>& Commands() {
    static std::vector<ConsoleCommandSetup> commands;
    return commands;
}

int g_exitCode = 0;

}  // namespace

bool RegisterConsoleCommand(ConsoleCommandSetup setup) {
    Commands().push_back(std::move(setup));
    return true;
}

void SetConsoleExitCode(int code) { g_exitCode = code; }

sigset_t BlockStopSignals() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    return stopSignals;
}

int main(int argc, char** argv) {
    platform::RaiseDescriptorLimit();
    CLI::App app{"kelvane-cli: upgrade the firmware of IP cameras and NVRs on the local network"};
    app.set_version_flag("--version", "kelvane-cli " KELVANE_VERSION);
    app.require_subcommand(1);
    for (const ConsoleCommandSetup& setup : Commands()) setup(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    return g_exitCode;
}
