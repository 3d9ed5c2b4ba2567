#include <pthread.h>
#include <signal.h>

#include <CLI/CLI.hpp>
#include <vector>

#include "app/console/console_command.h"
#include "app/crash_dump.h"
#include "app/version.h"
#include "platform/app_paths.h"
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

void SetConsoleExitCode(int code) {
    g_exitCode = code;
}

sigset_t BlockStopSignals() {
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    // A dropped SSH session and Ctrl-\ stop as cleanly as Ctrl-C, never in the middle of a write.
    sigaddset(&stopSignals, SIGHUP);
    sigaddset(&stopSignals, SIGQUIT);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
    return stopSignals;
}

int main(int argc, char** argv) {
    platform::RaiseDescriptorLimit();
    // A reader that went away (`| less` quit, `| head`) must not end a run: writes just fail.
    signal(SIGPIPE, SIG_IGN);
    // The handler creates "CrashDir" and its day folders; an XDG state folder may not exist yet.
    const std::string crashDir = platform::CrashDirPath();
    platform::MakeParentDirs(crashDir);
    InstallCrashHandler(crashDir);

    CLI::App app{"kelvane-cli: upgrade the firmware of IP cameras and NVRs on the local network"};
    app.set_version_flag("--version", "kelvane-cli " KELVANE_VERSION);
    app.require_subcommand(1);
    for (const ConsoleCommandSetup& setup : Commands()) setup(app);
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        // Help and version end with 0; every usage error with 2, as the help says.
        const int status = app.exit(e);
        return status == 0 ? 0 : 2;
    }
    return g_exitCode;
}
