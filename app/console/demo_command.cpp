// kelvane-cli demo: a complete upgrade of simulated cameras and NVRs on a private network that the
// command builds and removes itself, through the same run as `kelvane-cli run`, or shown in the
// window program (`--window`).
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <climits>
#include <cstdio>
#include <fstream>
#include <memory>
#include <nlohmann/json.hpp>
#include <thread>

#include "app/console/console_command.h"
#include "app/console/demo_lab.h"
#include "app/console/run_console.h"
#include "app/console/window_launch.h"
#include "firmware/fmw_header.h"
#include "platform/app_paths.h"
#include "platform/thread.h"

namespace {

struct DemoOptions {
    std::string results = "kelvane-demo-results.csv";
    std::string lang;
    bool window = false;
    int closeAfter = -1;  // with the window: seconds after the devices ended; -1: the operator closes it
};

// How the run went, from whichever front end showed it.
struct DemoRun {
    int status = 0;            // as RunUpgrade's: 2 when no run started
    bool timedOut = false;     // the devices took too long
    bool resultsLost = false;  // the operator's results file could not be written
    std::vector<DeviceResult> results;
};

// Devices still busy this long after the run started are not waited for.
constexpr int kDeviceLimitMs = 150000;
// Once every device has ended, the run gets this long to take in their last messages.
constexpr int kRunGraceMs = 10000;
// A window asked to close stops its run first (joins of up to 10 s each); past this it is killed.
constexpr int kWindowCloseMs = 45000;

bool StopRequested(const sigset_t& stopSignals) {
    sigset_t pending;
    sigpending(&pending);
    for (int sig : {SIGINT, SIGTERM, SIGHUP, SIGQUIT}) {
        if (sigismember(&stopSignals, sig) && sigismember(&pending, sig)) return true;
    }
    return false;
}

std::string Absolute(const std::string& path) {
    if (path.empty() || path[0] == '/') return path;
    char cwd[PATH_MAX];
    return getcwd(cwd, sizeof cwd) != nullptr ? std::string(cwd) + "/" + path : path;
}

// The console table, as `kelvane-cli run` draws it; the run ends once every device has ended.
DemoRun RunInConsole(DemoLab& lab, const DemoOptions& options, const std::string& results) {
    // The run's settings and log stay in the lab's folder, not in the operator's.
    platform::SetAppFilesDir(lab.WorkFolder());
    char cwd[PATH_MAX] = "/";
    if (getcwd(cwd, sizeof cwd) == nullptr || chdir(lab.WorkFolder().c_str()) != 0) cwd[0] = '\0';

    std::atomic<bool> runEnded{false}, timedOut{false};
    std::thread watchdog([&] {
        platform::SetCurrentThreadName("kv-demo-watch");
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
    DemoRun demo;
    run.finalResults = &demo.results;
    demo.status = RunUpgrade(run);
    runEnded = true;
    watchdog.join();
    if (cwd[0] != '\0' && chdir(cwd) != 0) cwd[0] = '\0';
    platform::SetAppFilesDir("");

    demo.timedOut = timedOut;
    return demo;
}

// The window's results file: what the verdict needs of each device.
bool ReadWindowResults(const std::string& path, std::vector<DeviceResult>* results) {
    std::ifstream in(path);
    const nlohmann::json all = nlohmann::json::parse(in, nullptr, false);
    if (!in.is_open() || all.is_discarded() || !all.is_array()) return false;
    for (const nlohmann::json& one : all) {
        if (!one.is_object()) return false;
        DeviceResult r;
        r.mac = one.value("mac", "");
        r.model = one.value("model", "");
        const std::string outcome = one.value("outcome", "");
        for (DeviceOutcome o : {DeviceOutcome::Succeeded, DeviceOutcome::Failed, DeviceOutcome::NoUpgrade}) {
            if (outcome == OutcomeName(o)) r.outcome = o;
        }
        r.state = one.contains("state") && one["state"].is_number_integer() ? one["state"].get<int>() : -1;
        r.stateText = one.value("state_text", "");
        results->push_back(std::move(r));
    }
    return true;
}

// The window program in the lab's namespace, with the lab's folder and address and the run
// started. It stays until the operator closes it (or `--close-after`); Ctrl-C closes it too.
DemoRun RunInWindow(DemoLab& lab, const std::string& program, const DemoOptions& options, const std::string& results,
                    const sigset_t& stopSignals) {
    DemoRun demo;
    const std::string windowResults = lab.WorkFolder() + "/window-results.json";
    std::vector<std::string> args{"--settings-dir",    lab.WorkFolder(), "--folder",  lab.FirmwareFolder(), "--address",
                                  lab.ServerAddress(), "--start",        "--results", windowResults};
    if (!results.empty()) args.insert(args.end(), {"--results", results});
    // The window takes its language from the locale, as the state texts do.
    std::vector<std::string> environment;
    if (!options.lang.empty())
        environment.push_back(options.lang == "en" ? "LC_ALL=en_US.UTF-8" : "LC_ALL=zh_CN.UTF-8");
    std::string error;
    const pid_t window = StartProgram(program, args, lab.WorkFolder(), environment, &error);
    if (window < 0) {
        std::fprintf(stderr, "kelvane-cli demo: %s\n", error.c_str());
        demo.status = 2;
        return demo;
    }
    std::printf("The run is shown in the window (%s); closing it ends the demo.\n", program.c_str());
    std::fflush(stdout);
    SetFmwNarrationSink([](const char*) {});  // the devices' own container checks

    using Clock = std::chrono::steady_clock;
    const Clock::time_point start = Clock::now();
    Clock::time_point ended{}, asked{};
    bool devicesEnded = false, closeAsked = false, killed = false;
    int status = 0;
    while (waitpid(window, &status, WNOHANG) == 0) {
        if (!devicesEnded && lab.WaitDevices(0)) {
            devicesEnded = true;
            ended = Clock::now();
            if (options.closeAfter < 0) std::printf("Every device has ended; close the window to see the verdict.\n");
            std::fflush(stdout);
        }
        const bool tooLong = !devicesEnded && Clock::now() - start > std::chrono::milliseconds(kDeviceLimitMs);
        const bool closeNow =
            options.closeAfter >= 0 &&
            ((devicesEnded && Clock::now() - ended > std::chrono::seconds(options.closeAfter)) || tooLong);
        if (!closeAsked && (StopRequested(stopSignals) || closeNow)) {
            demo.timedOut = tooLong;
            kill(window, SIGTERM);  // the window stops its run, writes the results and ends
            closeAsked = true;
            asked = Clock::now();
        }
        if (closeAsked && !killed && Clock::now() - asked > std::chrono::milliseconds(kWindowCloseMs)) {
            std::fprintf(stderr, "kelvane-cli demo: the window did not close within %d s; ending it\n",
                         kWindowCloseMs / 1000);
            kill(window, SIGKILL);
            killed = true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    SetFmwNarrationSink(nullptr);
    if (!ReadWindowResults(windowResults, &demo.results)) {
        std::fprintf(stderr, "kelvane-cli demo: the window ended (%s %d) without its results (see above)\n",
                     WIFSIGNALED(status) ? "signal" : "status",
                     WIFSIGNALED(status) ? WTERMSIG(status) : WEXITSTATUS(status));
        demo.status = 2;
    } else {
        demo.resultsLost = WIFEXITED(status) && WEXITSTATUS(status) != 0;  // it said why
    }
    return demo;
}

int RunDemo(const DemoOptions& options) {
    // Every thread started from here on leaves Ctrl-C and SIGTERM to the run's loop, and the lab
    // is torn down whatever happens after it is set up.
    const sigset_t stopSignals = BlockStopSignals();

    const std::string results = Absolute(options.results);
    std::string error;
    std::string windowProgram;
    if (options.window) {
        // Before anything is set up: without a display there is nothing to show the demo in.
        if (!DisplayReachable(&error)) {
            std::fprintf(stderr, "kelvane-cli demo --window: %s\n", error.c_str());
            return 2;
        }
        windowProgram = FindWindowProgram();
        if (windowProgram.empty()) {
            std::fprintf(stderr,
                         "kelvane-cli demo --window: the window program \"kelvane\" is neither beside kelvane-cli, "
                         "in its build tree nor on PATH (build with -DKELVANE_BUILD_QT=ON, or leave out --window)\n");
            return 2;
        }
    }
    if (!DemoLab::EnterPrivateNetwork(&error)) {
        std::fprintf(stderr, "kelvane-cli demo: %s\n", error.c_str());
        return 2;
    }
    DemoLab lab;
    std::printf(
        "Kelvane demo: an upgrade of %d simulated devices on a private network of this process "
        "(the machine's own interfaces are not used).\n",
        lab.DeviceCount());
    if (!lab.SetUp(&error) || StopRequested(stopSignals) || !lab.StartDevices(&error)) {
        std::fprintf(stderr, "kelvane-cli demo: %s\n", error.empty() ? "interrupted" : error.c_str());
        return 2;
    }
    for (const std::string& line : lab.Describe()) std::printf("%s\n", line.c_str());
    std::fflush(stdout);

    DemoRun run = options.window ? RunInWindow(lab, windowProgram, options, results, stopSignals)
                                 : RunInConsole(lab, options, results);
    int exitStatus = 0;
    if (run.status == 2) {
        std::fprintf(stderr, "kelvane-cli demo: the run could not start (see above)\n");
        exitStatus = 2;
    } else if (!lab.WaitDevices(0)) {
        std::printf("Demo stopped before every device had ended%s.\n", run.timedOut ? " (they took too long)" : "");
        exitStatus = 1;
    } else {
        const DemoVerdict verdict = lab.Compare(run.results);
        if (verdict.ok) {
            std::printf(
                "Demo passed: every device ended as it should: %d upgraded, %d failed where they were told "
                "to, %d already up to date.\n",
                verdict.upgraded, verdict.failedAsInjected, verdict.upToDate);
        } else {
            std::printf("Demo FAILED: %zu device%s did not end as expected:\n", verdict.problems.size(),
                        verdict.problems.size() == 1 ? "" : "s");
            for (const std::string& p : verdict.problems) std::printf("  %s\n", p.c_str());
        }
        exitStatus = verdict.ok && !run.resultsLost ? 0 : 1;
    }
    lab.TearDown();
    std::printf("Private network and temporary files removed.\n");
    return exitStatus;
}

const bool registered = RegisterConsoleCommand([](CLI::App& app) {
    auto options = std::make_shared<DemoOptions>();
    CLI::App* command = app.add_subcommand(
        "demo",
        "Upgrade 20 simulated devices on a private network made for the purpose (needs root or user namespaces)");
    command->add_option("--results", options->results, "Where to write every device's result (CSV, or JSON for *.json)")
        ->capture_default_str();
    command->add_option("--lang", options->lang, "Language of the state texts (default: from the locale)")
        ->check(CLI::IsMember({"en", "zh"}));
    command->add_flag("--window", options->window,
                      "Show the run in the window program kelvane instead of the console table (needs a display)");
    command
        ->add_option("--close-after", options->closeAfter,
                     "With --window: close the window this many seconds after every device has ended "
                     "(default: it stays until you close it)")
        ->check(CLI::NonNegativeNumber);
    command->callback([options] { SetConsoleExitCode(RunDemo(*options)); });
});

}  // namespace
