// kelvane-devsim: simulated cameras and NVRs in upgrade mode, for labs, the demo and tests.
#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

#include <CLI/CLI.hpp>
#include <csignal>
#include <cstdio>
#include <fstream>
#include <mutex>

#include "app/version.h"
#include "tools/devsim/device_simulator.h"

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void OnSignal(int) {
    g_interrupted = 1;
}

struct Options {
    int count = 1;
    std::string kind = "ipc";
    std::string model = "IPC2F";
    std::string version = "1.0.0.0";
    std::string fail, stall, silent, expect, drop;
    bool noLastAck = false;
    int restarts = 0;
    int timeLimitSec = 600;
    std::vector<std::string> devices;
    std::string json;
    bool verbose = false;
};

// The per-device options of the command line, as one device group.
std::string DefaultGroup(const Options& o) {
    std::string group = "kind=" + o.kind + ",model=" + o.model + ",version=" + o.version;
    if (!o.fail.empty()) group += ",fail=" + o.fail;
    if (!o.stall.empty()) group += ",stall=" + o.stall;
    if (!o.silent.empty()) group += ",silent=" + o.silent;
    if (!o.expect.empty()) group += ",expect=" + o.expect;
    if (!o.drop.empty()) group += ",drop=" + o.drop;
    if (o.noLastAck) group += ",no-last-ack";
    if (o.restarts > 0) group += ",restarts=" + std::to_string(o.restarts);
    return group;
}

}  // namespace

int main(int argc, char** argv) {
    devsim::SimConfig config;
    Options o;
    CLI::App app{
        "kelvane-devsim: cameras and NVRs in upgrade mode, simulated. Each device asks for an address "
        "(port 10011), takes the lent one, downloads its firmware over TFTP, checks it and reports every "
        "flash step. Runs only inside a private network namespace unless --interface names a lab interface."};
    app.set_version_flag("--version", "kelvane-devsim " KELVANE_VERSION);
    app.add_option("-n,--count", o.count, "Devices of the kind given by the options below (0: only --device groups)")
        ->check(CLI::Range(0, 100000));
    app.add_option("--kind", o.kind, "ipc or nvr")->check(CLI::IsMember({"ipc", "nvr", "IPC", "NVR"}));
    app.add_option("--model", o.model, "Model the devices report (a '-' travels as '*')");
    app.add_option("--fw-version", o.version, "Firmware version number before the upgrade");
    app.add_option("--mac-base", config.macBase, "MAC of the first device; the others count up from it");
    app.add_option("--device", o.devices,
                   "Add devices: comma-separated key=value over the options above: count, kind, model, version, "
                   "mac, step-ms, windowsize, fail=EVENT:STATE, drop, no-last-ack, stall=BLOCK:MS, silent=EVENT, "
                   "expect, restarts (repeatable)");
    auto* server = app.add_option("--server", config.serverIp, "Server address the requests go to");
    app.add_flag("--broadcast", config.broadcast, "Send requests to 255.255.255.255 instead")->excludes(server);
    app.add_option("--interface", config.interfaceName,
                   "Interface the devices live on; required outside a private network namespace");
    app.add_option("--netns", config.netnsPath, "Run in this network namespace (a /run/netns or /proc path)");
    app.add_option("--prefix", config.prefixLength, "Prefix length of the lent addresses")->check(CLI::Range(8, 32));
    app.add_option("--step-ms", config.stepMs, "Time per flash step")->check(CLI::Range(0, 3600000));
    app.add_option("--request-interval-ms", config.requestIntervalMs, "Time between repeated address requests")
        ->check(CLI::Range(10, 600000));
    app.add_option("--tftp-timeout", config.tftpTimeoutSec, "TFTP \"timeout\" option, seconds")
        ->check(CLI::Range(1, 255));
    app.add_option("--time-unit-ms", config.timeUnitMs, "Length of one second of the TFTP time-outs (tests shorten it)")
        ->check(CLI::Range(1, 1000));
    app.add_option("--tftp-retries", config.tftpRetries, "ACK repeats before a download starts over")
        ->check(CLI::Range(0, 100));
    app.add_option("--tftp-attempts", config.tftpAttempts, "Read requests before a download fails")
        ->check(CLI::Range(1, 100));
    app.add_option("--blksize", config.blockSize, "TFTP \"blksize\" option")->check(CLI::Range(8, 65464));
    app.add_option("--windowsize", config.windowSize, "Send TFTP \"windowsize\" W and acknowledge every W blocks")
        ->check(CLI::Range(0, 65535));
    app.add_option("--time-limit", o.timeLimitSec, "Seconds the whole run may take")->check(CLI::Range(1, 864000));
    app.add_option("--spread-ms", config.startSpreadMs, "Start the devices evenly over this time")
        ->check(CLI::Range(0, 3600000));
    app.add_option("--seed", config.seed, "Seed of the packet drop");
    app.add_option("--fail", o.fail, "Fail at EVENT (number or name: download, uboot, kernel, ...) with STATE 2..7");
    app.add_option("--drop", o.drop, "Share of each device's packets lost, both ways (0.1 or 10%)");
    app.add_flag("--no-last-ack", o.noLastAck, "Never acknowledge the last TFTP block");
    app.add_option("--stall", o.stall, "BLOCK:MS: stop for MS after TFTP block BLOCK");
    app.add_option("--silent", o.silent, "Go silent at EVENT (at download: half way through the file)");
    app.add_option("--expect", o.expect, "upgraded, up-to-date, failed[:STATE], silent, timeout or any");
    app.add_option("--restarts", o.restarts, "Start over after a failed download, this often")
        ->check(CLI::Range(0, 1000));
    app.add_option("--keep", config.keepDir, "Keep every download in this folder");
    app.add_option("--json", o.json, "Write the outcome as JSON to this file ('-': standard output)");
    app.add_flag("-v,--verbose", o.verbose, "Show the firmware container checks on standard error");
    try {
        app.parse(argc, argv);
    } catch (const CLI::ParseError& e) {
        return app.exit(e);
    }
    if (!config.broadcast && config.serverIp.empty()) {
        std::fprintf(stderr, "kelvane-devsim: give --server IP or --broadcast\n");
        return 2;
    }
    config.timeLimitMs = o.timeLimitSec * 1000;

    devsim::DeviceGroup base;
    std::string error;
    if (!devsim::ParseDeviceGroup(DefaultGroup(o), &base, &error)) {
        std::fprintf(stderr, "kelvane-devsim: %s\n", error.c_str());
        return 2;
    }
    if (o.count > 0) {
        config.groups.push_back(base);
        config.groups.back().count = o.count;
    }
    for (const std::string& text : o.devices) {
        devsim::DeviceGroup group = base;
        group.count = 1;
        group.mac.clear();
        if (!devsim::ParseDeviceGroup(text, &group, &error)) {
            std::fprintf(stderr, "kelvane-devsim: --device %s\n", error.c_str());
            return 2;
        }
        config.groups.push_back(group);
    }

    // The container reader speaks on standard output; our own lines go to the real one.
    FILE* out = fdopen(dup(STDOUT_FILENO), "w");
    int sink = o.verbose ? dup(STDERR_FILENO) : open("/dev/null", O_WRONLY | O_CLOEXEC);
    if (out == nullptr || sink < 0 || dup2(sink, STDOUT_FILENO) < 0) {
        std::fprintf(stderr, "kelvane-devsim: cannot set up the output\n");
        return 2;
    }
    close(sink);
    FILE* lines = o.json == "-" ? stderr : out;
    std::mutex printing;
    config.onResult = [&](const devsim::DeviceResult& r) {
        std::lock_guard<std::mutex> lock(printing);
        std::fprintf(lines, "%s\n", devsim::FormatResult(r).c_str());
        std::fflush(lines);
    };

    struct sigaction action {};
    action.sa_handler = OnSignal;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);

    devsim::DeviceSimulator sim(config);
    if (!sim.Start(&error)) {
        std::fprintf(stderr, "kelvane-devsim: %s\n", error.c_str());
        return 2;
    }
    size_t total = 0;
    for (const devsim::DeviceGroup& g : config.groups) total += static_cast<size_t>(g.count);
    std::fprintf(lines, "kelvane-devsim: %zu device%s on %s, requests %s\n", total, total == 1 ? "" : "s",
                 sim.InterfaceName().c_str(), config.broadcast ? "by broadcast" : ("to " + config.serverIp).c_str());
    std::fflush(lines);
    while (!sim.Wait(200)) {
        if (g_interrupted) {
            std::fprintf(stderr, "kelvane-devsim: interrupted, stopping the devices\n");
            break;
        }
    }
    sim.Stop();
    std::vector<devsim::DeviceResult> results = sim.Results();
    std::fprintf(lines, "\n");
    for (const devsim::DeviceResult& r : results) std::fprintf(lines, "%s\n", devsim::FormatResult(r).c_str());
    std::fprintf(lines, "%s\n", devsim::Summary(results).c_str());
    std::fflush(lines);
    if (!o.json.empty()) {
        const std::string json = devsim::ResultsToJson(results);
        if (o.json == "-") {
            std::fputs(json.c_str(), out);
            std::fflush(out);
        } else {
            std::ofstream file(o.json, std::ios::trunc);
            file << json;
            if (!file.flush()) {
                std::fprintf(stderr, "kelvane-devsim: cannot write %s\n", o.json.c_str());
                return 2;
            }
        }
    }
    return sim.AllAsExpected() ? 0 : 1;
}
