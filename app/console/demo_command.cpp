// kelvane-cli demo: a complete upgrade of simulated cameras and NVRs on a private network that the
// command builds and removes itself, through the same run as `kelvane-cli run`.
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <memory>
#include <thread>

#include "app/console/console_command.h"
#include "app/console/demo_lab.h"
#include "app/console/run_console.h"
#include "platform/app_paths.h"

namespace {

struct DemoOptions {
    std::string results = "kelvane-demo-results.csv";
    std::string lang;
};

// Devices still busy this long after the run started are not waited for.
constexpr int kDeviceLimitMs = 150000;
// Once every device has ended, the run gets this long to take in their last messages.
constexpr int kRunGraceMs = 10000;

bool StopRequested(const sigset_t& stopSignals) {
    sigset_t pending;
    sigpending(&pending);
    for (int sig : {SIGINT, SIGTERM}) {
        if (sigismember(&stopSignals, sig) && sigismember(&pending, sig)) return true;
    }
    return false;
}

std::string Absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    char cwd[PATH_MAX];
    return getcwd(cwd, sizeof cwd) != nullptr ? std::string(cwd) + "/" + path : path;
}

int RunDemo(const DemoOptions& options) {
    // Every thread started from here on leaves Ctrl-C and SIGTERM to the run's loop, and the lab
    // is torn down whatever happens after it is set up.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    const std::string results = Absolute(options.results);
    std::string error;
    if (!DemoLab::EnterPrivateNetwork(&error)) {
        std::fprintf(stderr, "kelvane-cli demo: %s\n", error.c_str());
        return 2;
    }
    DemoLab lab;
    std::printf("Kelvane demo: an upgrade of %d simulated devices on a private network of this process "
                "(the machine's own interfaces are not used).\n",
                lab.DeviceCount());
    if (!lab.SetUp(&error) || StopRequested(stopSignals) || !lab.StartDevices(&error)) {
        std::fprintf(stderr, "kelvane-cli demo: %s\n", error.empty() ? "interrupted" : error.c_str());
        return 2;
    }
    for (const std::string& line : lab.Describe()) std::printf("%s\n", line.c_str());
    std::fflush(stdout);

    // The run's settings and log stay in the lab's folder, not in the operator's.
    platform::SetAppFilesDir(lab.WorkFolder());
    char cwd[PATH_MAX] = "/";
    if (getcwd(cwd, sizeof cwd) == nullptr || chdir(lab.WorkFolder().c_str()) != 0) cwd[0] = '\0';

    std::atomic<bool> runEnded{false}, timedOut{false};
    std::thread watchdog([&] {
        const auto start = std::chrono::steady_clock::now();
        while (!runEnded && !lab.WaitDevices(200)) {
            if (std::chrono::steady_clock::now() - start > std::chrono::milliseconds(kDeviceLimitMs)) break;
        }
        for (int waited = 0; !runEnded && waited < kRunGraceMs; waited += 100) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
        if (!runEnded) {
            timedOut = true;
            kill(getpid(), SIGTERM);  // the run's loop takes it and stops the run
        }
    });
    RunOptions run;
    run.folder = lab.FirmwareFolder();
    run.address = lab.ServerAddress();
    run.results = results;
    run.lang = options.lang;
    run.devices = lab.DeviceCount();
    std::vector<DeviceResult> finalResults;
    run.finalResults = &finalResults;
    const int status = RunUpgrade(run);
    runEnded = true;
    watchdog.join();
    if (cwd[0] != '\0' && chdir(cwd) != 0) cwd[0] = '\0';
    platform::SetAppFilesDir("");

    int exitStatus = 0;
    if (status == 2) {
        std::fprintf(stderr, "kelvane-cli demo: the run could not start (see above)\n");
        exitStatus = 2;
    } else if (!lab.WaitDevices(0)) {
        std::printf("Demo stopped before every device had ended%s.\n",
                    timedOut ? " (they took too long)" : "");
        exitStatus = 1;
    } else {
        const DemoVerdict verdict = lab.Compare(finalResults);
        if (verdict.ok) {
            std::printf("Demo passed: every device ended as it should: %d upgraded, %d failed where they were told "
                        "to, %d already up to date.\n",
                        verdict.upgraded, verdict.failedAsInjected, verdict.upToDate);
        } else {
            std::printf("Demo FAILED: %zu device%s did not end as expected:\n", verdict.problems.size(),
                        verdict.problems.size() == 1 ? "" : "s");
            for (const std::string& p : verdict.problems) std::printf("  %s\n", p.c_str());
        }
        exitStatus = verdict.ok ? 0 : 1;
    }
    lab.TearDown();
    std::printf("Private network and temporary files removed.\n");
    return exitStatus;
}

const bool registered = RegisterConsoleCommand([](CLI::App& app) {
    auto options = std::make_shared<DemoOptions>();
    CLI::App* command = app.add_subcommand(
        "demo", "Upgrade 20 simulated devices on a private network made for the purpose (needs root or user namespaces)");
    command->add_option("--results", options->results, "Where to write every device's result (CSV, or JSON for *.json)")
        ->capture_default_str();
    command->add_option("--lang", options->lang, "Language of the state texts (default: from the locale)")
        ->check(CLI::IsMember({"en", "zh"}));
    command->callback([options] { SetConsoleExitCode(RunDemo(*options)); });
});

}  // namespace
