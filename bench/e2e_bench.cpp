// Whole runs at scale, run by bench/e2e_bench.sh inside a namespace of its own:
//   - one device, then N at once, fetch the same container: time until every device has its
//     outcome, aggregate throughput, and that time against N single transfers back to back;
//   - the server's peak memory (VmHWM; the devices are a separate kelvane-devsim process);
//   - how long a start takes until the run listens, and a stop with N downloads in flight (each
//     client should be told ERROR 99);
//   - `--results-memory K`: the heap a run's results take for K devices (no network).
#include <fcntl.h>
#include <malloc.h>
#include <net/if.h>
#include <sched.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <nlohmann/json.hpp>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "_libs/tftp/tftp_interface.h"
#include "app/kelvane_dlg.h"
#include "firmware/fmw_header.h"
#include "log/log.h"
#include "platform/app_paths.h"
#include "tools/devsim/fmw_writer.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point from) { return std::chrono::duration<double, std::milli>(Clock::now() - from).count(); }

long StatusKiB(const char* key) {
    std::ifstream in("/proc/self/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.rfind(key, 0) == 0) return std::atol(line.c_str() + std::strlen(key));
    }
    return -1;
}

class NullView : public IKelvaneView {
public:
    void SetItemText(int, const std::string&) override {}
    void EnableItem(int, bool) override {}
    void ShowItem(int, bool) override {}
    void SetComboItems(int, const std::vector<std::string>&, int) override {}
    void ShowMessage(const std::string& text, const std::string&, MessageIcon) override {
        std::fprintf(stderr, "message: %s\n", text.c_str());
    }
    bool Confirm(const std::string&, const std::string&) override { return true; }
    void OnRowInserted(int, const std::string&) override {}
    void OnCellChanged(int, int, const std::string&) override {}
    void OnEnsureVisible(int) override {}
    void OnAllRowsDeleted() override {}
};

int ResultsMemory(int count) {
    const size_t before = mallinfo2().uordblks;
    {
        RunResults results;
        char mac[32], address[32];
        for (int i = 0; i < count; ++i) {
            std::snprintf(mac, sizeof mac, "02:4B:56:%02X:%02X:%02X", i >> 16 & 0xFF, i >> 8 & 0xFF, i & 0xFF);
            std::snprintf(address, sizeof address, "10.88.%d.%d", i / 240, 10 + i % 240);
            results.OnOffered(mac, "IPC4K", "IPC4K-1.0.0.0", "IPC4K-2.1.0.7", "IPC4K_V2.1.0.7.bin", address, 0);
            results.OnReport(mac, 3, 0, "Upgrade complete", "100%", i % 100);
            results.OnOutcome(mac, true);
        }
        const size_t after = mallinfo2().uordblks;
        std::printf("run results: %d devices take %.2f MiB of heap (%.0f bytes each)\n", count,
                    static_cast<double>(after - before) / 1048576.0, static_cast<double>(after - before) / count);
    }
    return 0;
}

struct Phase {
    double ms = 0;        // until every device had its outcome (or until the stop began)
    int succeeded = 0;    // as the run counted
    int error99 = 0;      // devices whose download ended with ERROR 99
    double singleMs = 0;  // the first device's own time from request to its last report
    int rows = 0;         // results rows
    bool countersEqual = false;  // the on-screen counters equal the results' counts
};

class Bench {
public:
    Bench(std::string devsim, int nsFd, std::string work) : m_devsim(std::move(devsim)), m_nsFd(nsFd), m_work(std::move(work)) {}

    // Starts `n` devices in the device namespace; with `stopWhileDownloading`, stops the run 800 ms
    // after every device has reported downloading (stopMs: the whole stop, its TFTP part).
    Phase Run(int n, bool stopWhileDownloading, double* stopMs, const std::string& model = "IPC4K",
              int spreadMs = 0, int stepMs = 0) {
        const std::string json = m_work + "/devices.json";
        const std::string count = std::to_string(n);
        std::vector<std::string> args = {m_devsim, "--server", "10.88.0.1", "-n", count, "--model", model,
                                         "--fw-version", "1.0.0.0", "--step-ms", std::to_string(stepMs), "--request-interval-ms", "1000",
                                         "--time-limit", "3600", "--expect", "any", "--json", json,
                                         "--spread-ms", std::to_string(spreadMs)};
        std::vector<char*> argv;
        for (std::string& a : args) argv.push_back(a.data());
        argv.push_back(nullptr);
        Phase phase;
        const Clock::time_point start = Clock::now();
        pid_t child = fork();
        if (child == 0) {
            int null = open("/dev/null", O_WRONLY);
            dup2(null, STDOUT_FILENO);
            if (setns(m_nsFd, CLONE_NEWNET) != 0) _exit(3);
            execv(argv[0], argv.data());
            _exit(4);
        }
        for (;;) {
            const std::vector<DeviceResult> results = m_dlg.ResultsSnapshot();
            int settled = 0, reported = 0;
            for (const DeviceResult& r : results) {
                settled += r.outcome != DeviceOutcome::Unfinished;
                reported += r.state >= 0;
            }
            // A device reports "downloading" just before it sends its read request, so the stop
            // waits for every device's report rather than only its offer. On a busy machine a few
            // devices still send their request later than the stop: they are not told ERROR 99.
            if (stopWhileDownloading && reported == n) {
                std::this_thread::sleep_for(std::chrono::milliseconds(800));
                phase.ms = Ms(start);
                const Clock::time_point stop = Clock::now();
                // The TFTP service's share of the stop first, then the rest of the run's stop.
                StopTftp();
                stopMs[1] = Ms(stop);
                m_dlg.OnBtnStart();
                stopMs[0] = Ms(stop);
                break;
            }
            if (!stopWhileDownloading && settled == n) {
                phase.ms = Ms(start);
                for (const DeviceResult& r : results) phase.succeeded += r.outcome == DeviceOutcome::Succeeded;
                phase.rows = static_cast<int>(results.size());
                // The last count reaches the counters just after the results: give it a moment.
                for (int tries = 0; tries < 200 && !phase.countersEqual; ++tries) {
                    ResultCounts counts = m_dlg.ResultsCounts();
                    std::lock_guard<std::mutex> lock(m_dlg.m_csCount);
                    phase.countersEqual = counts.succeeded == m_dlg.m_nSuccessCount &&
                                          counts.failed == m_dlg.m_nFailCount && counts.succeeded == phase.succeeded;
                    if (!phase.countersEqual) std::this_thread::sleep_for(std::chrono::milliseconds(10));
                }
                break;
            }
            if (waitpid(child, nullptr, WNOHANG) == child) {
                std::fprintf(stderr, "the devices ended before the run saw them all\n");
                child = -1;
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        if (child > 0) waitpid(child, nullptr, 0);
        std::ifstream in(json);
        const nlohmann::json devices = nlohmann::json::parse(in, nullptr, false);
        if (devices.is_object() && devices.contains("devices")) {
            for (const auto& d : devices["devices"]) {
                phase.error99 += d.value("detail", "").find("ERROR 99") != std::string::npos;
            }
            if (!devices["devices"].empty()) phase.singleMs = devices["devices"][0].value("elapsed_ms", 0.0);
            // Why devices did not upgrade, most frequent first, so a failed run says what to look at.
            std::map<std::string, int> why;
            for (const auto& d : devices["devices"]) {
                if (d.value("outcome", "") != "upgraded") ++why[d.value("detail", "?").substr(0, 90)];
            }
            for (const auto& [detail, count] : why) std::printf("  not upgraded: %d x %s\n", count, detail.c_str());
        }
        return phase;
    }
    double Start() {
        const Clock::time_point start = Clock::now();
        m_dlg.OnBtnStart();
        if (!m_dlg.IsRunning()) {
            std::fprintf(stderr, "the run did not start: %s\n", m_dlg.LastStartError().c_str());
            std::exit(1);
        }
        return Ms(start);
    }
    void Stop() {
        if (m_dlg.IsRunning()) m_dlg.OnBtnStart();
    }
    CKelvaneDlg m_dlg;

private:
    std::string m_devsim;
    int m_nsFd;
    std::string m_work;
};

bool Ip(const std::string& args) { return std::system(("ip " + args).c_str()) == 0; }

}  // namespace

int main(int argc, char** argv) {
    std::string devsim, work = "/tmp";
    int devices = 100, mib = 16, waveDevices = 0, maxTransfers = 0;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string key = argv[i];
        if (key == "--results-memory") return ResultsMemory(std::atoi(argv[i + 1]));
        if (key == "--devsim") devsim = argv[i + 1];
        if (key == "--devices") devices = std::atoi(argv[i + 1]);
        if (key == "--mib") mib = std::atoi(argv[i + 1]);
        if (key == "--work") work = argv[i + 1];
        if (key == "--wave-devices") waveDevices = std::atoi(argv[i + 1]);
        if (key == "--max-transfers") maxTransfers = std::atoi(argv[i + 1]);
    }
    // Only inside a namespace of our own, which holds loopback alone until we add to it.
    struct if_nameindex* names = if_nameindex();
    const bool alone = names != nullptr && names[0].if_index != 0 && std::strcmp(names[0].if_name, "lo") == 0 &&
                       names[1].if_index == 0;
    if (names != nullptr) if_freenameindex(names);
    if (!alone || devsim.empty()) {
        std::fprintf(stderr, "run through bench/e2e_bench.sh (own network namespace, --devsim PATH)\n");
        return 2;
    }
    const std::string folder = work + "/firmware";
    std::system(("mkdir -p " + folder).c_str());
    // Built in a child, so the 16 MiB of the generator never count as the server's memory.
    if (pid_t child = fork(); child == 0) {
        std::vector<std::string> images;
        std::mt19937 random(7);
        const size_t image = static_cast<size_t>(mib) * 1048576 / 2 - 1024;
        for (int i = 0; i < 2; ++i) {
            std::string bytes(image, '\0');
            for (char& b : bytes) b = static_cast<char>(random() & 0xFF);
            images.push_back(std::move(bytes));
        }
        const std::string bytes = devsim::ContainerWithVersion("QL_IPC4K_V2.1.0.7", std::move(images));
        std::ofstream(folder + "/IPC4K.bin", std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        // The waves' devices fetch a small file: what they measure is the run's bookkeeping.
        const std::string small = devsim::ContainerWithVersion("QL_IPCW_V2.1.0.7", {std::string(60000, 'w')});
        std::ofstream(folder + "/IPCW.bin", std::ios::binary).write(small.data(), static_cast<std::streamsize>(small.size()));
        _exit(0);
    } else {
        waitpid(child, nullptr, 0);
    }
    const double fileBytes = static_cast<double>(std::ifstream(folder + "/IPC4K.bin", std::ios::ate | std::ios::binary).tellg());

    int nsFd = -1;
    std::thread([&] {
        if (unshare(CLONE_NEWNET) == 0) nsFd = open("/proc/thread-self/ns/net", O_RDONLY);
    }).join();
    const std::string ns = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(nsFd);
    if (nsFd < 0 || !Ip("link add kb0 type veth peer name kb1") || !Ip("link set kb1 netns " + ns) ||
        !Ip("addr add 10.88.0.1/24 dev kb0") || !Ip("link set kb0 up") ||
        std::system(("nsenter --net=" + ns + " sh -c 'ip link set lo up && ip addr add 10.88.0.2/24 dev kb1 && "
                     "ip link set kb1 up'").c_str()) != 0) {
        std::fprintf(stderr, "cannot set up the device namespace\n");
        return 1;
    }

    platform::SetAppFilesDir(work);
    LogInit(LOG_MAJOR, (work + "/Upgrade.log").c_str());
    SetFmwNarrationSink([](const char*) {});
    NullView view;
    Bench bench(devsim, nsFd, work);
    bench.m_dlg.SetView(&view);
    bench.m_dlg.SetItemInput(IDC_EDIT_PATH, folder);
    bench.m_dlg.SetItemInput(IDC_COMBO_LOCAL_IP, "10.88.0.1");
    if (maxTransfers > 0) bench.m_dlg.m_tftpSettings.nMaxTransfers = maxTransfers;

    std::printf("container %.1f MiB, %d devices, %d TFTP transfer records\n", fileBytes / 1048576, devices,
                std::max(bench.m_dlg.m_tftpSettings.nMaxTransfers, CKelvaneDlg::kRunTftpTransfers));
    const double startMs = bench.Start();
    std::printf("start until listening: %.0f ms\n", startMs);
    Phase one = bench.Run(1, false, nullptr);
    bench.Stop();
    const long hwmBefore = StatusKiB("VmHWM:");
    bench.Start();
    Phase many = bench.Run(devices, false, nullptr);
    bench.Stop();
    const long hwm = StatusKiB("VmHWM:");
    const double singleRate = fileBytes / (one.singleMs / 1000);
    const double ideal = devices * fileBytes / singleRate * 1000;
    std::printf("1 device: %.0f ms (its own request-to-last-report time %.0f ms), %.1f MiB/s\n", one.ms, one.singleMs,
                singleRate / 1048576);
    std::printf("%d devices: every outcome after %.0f ms, %d succeeded, %d results rows, counters %s; aggregate %.1f MiB/s; ideal (%d x single) "
                "%.0f ms; ratio %.2f\n",
                devices, many.ms, many.succeeded, many.rows, many.countersEqual ? "equal to them" : "DIFFER",
                devices * fileBytes / 1048576 / (many.ms / 1000), devices, ideal,
                many.ms / ideal);
    std::printf("server peak memory (VmHWM): %.1f MiB after one device, %.1f MiB after %d at once\n", hwmBefore / 1024.0,
                hwm / 1024.0, devices);

    bool wavesOk = true;
    if (waveDevices > 0) {
        // More devices than the range has addresses, asking over five seconds and flashing for four:
        // the range runs out, devices repeat their requests, and each is counted once.
        bench.Start();
        Phase waves = bench.Run(waveDevices, false, nullptr, "IPCW", 5000, 1000);
        bench.Stop();
        const long hwmWaves = StatusKiB("VmHWM:");
        std::printf("%d devices in waves: every outcome after %.0f ms, %d succeeded, %d results rows, counters %s; "
                    "%d requests found every address held; server peak memory %.1f MiB\n",
                    waveDevices, waves.ms, waves.succeeded, waves.rows,
                    waves.countersEqual ? "equal to them" : "DIFFER", bench.m_dlg.RangeFullRequests(),
                    hwmWaves / 1024.0);
        wavesOk = waves.succeeded == waveDevices && waves.rows == waveDevices && waves.countersEqual;
    }

    bench.Start();
    double stopMs[2] = {};
    Phase stopped = bench.Run(devices, true, stopMs);
    std::printf("stop with %d downloads in flight: %.0f ms (TFTP service %.0f ms); %d of %d devices were told "
                "ERROR 99\n",
                devices, stopMs[0], stopMs[1], stopped.error99, devices);
    bench.m_dlg.SetView(nullptr);
    Ip("link del kb0");
    close(nsFd);
    return many.succeeded == devices && many.countersEqual && wavesOk ? 0 : 1;
}
