// Whole upgrade runs under an address-request flood, run by bench/flood_run.sh inside a network
// namespace of its own (the devices and the flooding host live in a second one it makes):
//   - honest devices' time until every one has its outcome, without a flood and with one host
//     sending 10,000 invented address requests a second (probing on), and how many outcomes the
//     run counted;
//   - the server's memory (VmRSS, VmHWM), threads and descriptors after 100,000 invented requests.
#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "app/kelvane_dlg.h"
#include "firmware/fmw_header.h"
#include "log/log.h"
#include "platform/app_paths.h"
#include "platform/process_limits.h"
#include "platform/udp_socket.h"
#include "tools/devsim/fmw_writer.h"

namespace {

using Clock = std::chrono::steady_clock;

double Ms(Clock::time_point from) {
    return std::chrono::duration<double, std::milli>(Clock::now() - from).count();
}

// Threads of this process right now.
long ThreadCount() {
    long n = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/task")) n += entry.is_directory() ? 1 : 0;
    return n;
}

// Resident memory now and at its peak, MiB.
double RssMiB() {
    long pages = 0, resident = 0;
    std::ifstream("/proc/self/statm") >> pages >> resident;
    return static_cast<double>(resident) * static_cast<double>(sysconf(_SC_PAGESIZE)) / 1048576.0;
}
double PeakRssMiB() {
    rusage usage{};
    getrusage(RUSAGE_SELF, &usage);
    return static_cast<double>(usage.ru_maxrss) / 1024.0;
}

// Datagrams the kernel dropped for want of room in a UDP socket's receive buffer, in this namespace.
long UdpReceiveBufferErrors() {
    std::ifstream in("/proc/net/snmp");
    std::string names, values;
    while (std::getline(in, names) && std::getline(in, values)) {
        if (names.rfind("Udp:", 0) != 0) continue;
        std::istringstream n(names), v(values);
        for (std::string name, value; n >> name && v >> value;) {
            if (name == "RcvbufErrors") return std::atol(value.c_str());
        }
    }
    return -1;
}

// Local ports of this namespace's UDP sockets that dropped datagrams, with their drop counts.
std::string SocketsThatDropped() {
    std::ifstream in("/proc/net/udp");
    std::string line, out;
    std::getline(in, line);  // the heading
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, field;
        fields >> slot >> local;
        for (int i = 0; i < 10; ++i) fields >> field;  // up to the last column, the drop count
        long drops = 0;
        fields >> drops;
        if (drops > 0) {
            out += " port " + std::to_string(std::stol(local.substr(local.find(':') + 1), nullptr, 16)) + ": " +
                   std::to_string(drops);
        }
    }
    return out.empty() ? " none" : out;
}

// True when this process's network namespace holds nothing but loopback: it was made for the bench.
bool OnlyLoopback() {
    struct if_nameindex* names = if_nameindex();
    if (names == nullptr) return false;
    int count = 0;
    bool loopback = false;
    for (struct if_nameindex* n = names; n->if_index != 0; ++n, ++count) loopback |= std::strcmp(n->if_name, "lo") == 0;
    if_freenameindex(names);
    return count == 1 && loopback;
}

// One host of the device namespace sending invented address requests (a new MAC each, the model
// the folder has) at `perSecond` until told to stop or `total` are sent.
class Flooder {
public:
    Flooder(int nsFd, int perSecond, long total) {
        m_thread = std::thread([this, nsFd, perSecond, total] {
            if (setns(nsFd, CLONE_NEWNET) != 0) return;
            platform::UdpSocket sock = platform::UdpSocket::OpenIPv4();
            if (!sock.Valid() || sock.Bind("10.88.0.3", 0) != 0) return;
            in_addr server{};
            platform::ParseIPv4("10.88.0.1", &server);
            const sockaddr_in to = platform::MakeSockaddrIn(server, 10011);
            const int perTick = perSecond / 100;
            Clock::time_point next = Clock::now();
            char text[160];
            while (!m_stop && (total <= 0 || m_sent < total)) {
                for (int i = 0; i < perTick; ++i) {
                    long n = m_sent++;
                    int length = std::snprintf(text, sizeof text,
                                               "Msg:Request_ipaddr\r\nVersion:IPC2F-1.0.0.0\r\nCseq:1\r\n"
                                               "IPCMac:EE:%02lX:%02lX:%02lX:%02lX:%02lX\r\n",
                                               n >> 32 & 0xFF, n >> 24 & 0xFF, n >> 16 & 0xFF, n >> 8 & 0xFF, n & 0xFF);
                    sock.SendTo(text, static_cast<size_t>(length) + 1, to);
                }
                next += std::chrono::milliseconds(10);
                std::this_thread::sleep_until(next);
            }
        });
    }
    ~Flooder() { Stop(); }
    void Stop() {
        m_stop = true;
        if (m_thread.joinable()) m_thread.join();
    }
    bool Done() const { return m_stop; }
    long Sent() const { return m_sent; }
    void Join() {
        if (m_thread.joinable()) m_thread.join();
    }

private:
    std::atomic<bool> m_stop{false};
    std::atomic<long> m_sent{0};
    std::thread m_thread;
};

struct Outcome {
    double ms = 0;
    int counted = 0;    // devices the run counted as succeeded or failed
    int succeeded = 0;  // of those, succeeded
    long maxThreads = 0;
    int maxFds = 0;
};

// Starts `n` simulated devices and waits until the run has an outcome for each (or the devices end).
Outcome RunDevices(CKelvaneDlg& dlg, const std::string& devsim, int nsFd, int n) {
    const std::string count = std::to_string(n);
    std::vector<std::string> args = {devsim,  "--server",     "10.88.0.1", "-n",        count, "--model",
                                     "IPC2F", "--fw-version", "1.0.0.0",   "--step-ms", "50",  "--request-interval-ms",
                                     "1000",  "--time-limit", "300",       "--expect",  "any", "--json", "/dev/stderr"};
    std::vector<char*> argv;
    for (std::string& a : args) argv.push_back(a.data());
    argv.push_back(nullptr);
    Outcome out;
    const Clock::time_point start = Clock::now();
    pid_t child = fork();
    if (child == 0) {
        int null = open("/dev/null", O_WRONLY);
        dup2(null, STDOUT_FILENO);
        if (setns(nsFd, CLONE_NEWNET) != 0) _exit(3);
        execv(argv[0], argv.data());
        _exit(4);
    }
    for (bool devicesEnded = false;;) {
        int counted = 0, succeeded = 0;
        for (const DeviceResult& r : dlg.ResultsSnapshot()) {
            if (r.mac.rfind("EE:", 0) == 0) continue;  // the flood's inventions
            counted += r.outcome == DeviceOutcome::Succeeded || r.outcome == DeviceOutcome::Failed;
            succeeded += r.outcome == DeviceOutcome::Succeeded;
        }
        out.maxThreads = std::max(out.maxThreads, ThreadCount());
        out.maxFds = std::max(out.maxFds, platform::CountOpenDescriptors());
        out.counted = counted;
        out.succeeded = succeeded;
        if (counted == n || devicesEnded) break;
        // Once the devices have ended, their last reports may still be on the way: one more look.
        if (waitpid(child, nullptr, WNOHANG) == child) {
            child = -1;
            devicesEnded = true;
            std::this_thread::sleep_for(std::chrono::milliseconds(500));
            continue;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    out.ms = Ms(start);
    if (child > 0) waitpid(child, nullptr, 0);
    for (const DeviceResult& r : dlg.ResultsSnapshot()) {
        if (r.mac.rfind("EE:", 0) == 0 || r.outcome == DeviceOutcome::Succeeded || r.outcome == DeviceOutcome::Failed) {
            continue;
        }
        std::fprintf(stderr, "not counted: %s %s, %d attempts, last state %d \"%s\" %s\n", r.mac.c_str(),
                     OutcomeName(r.outcome), r.attempts, r.state, r.stateText.c_str(), r.progress.c_str());
    }
    return out;
}

void StartRun(CKelvaneDlg& dlg) {
    dlg.OnBtnStart();
    if (!dlg.IsRunning()) {
        std::fprintf(stderr, "the run did not start: %s\n", dlg.LastStartError().c_str());
        std::exit(1);
    }
}

}  // namespace

int main(int argc, char** argv) {
    std::string devsim, work = "/tmp";
    int devices = 20, rate = 10000;
    long invented = 100000;
    for (int i = 1; i + 1 < argc; i += 2) {
        std::string key = argv[i];
        if (key == "--devsim") devsim = argv[i + 1];
        if (key == "--devices") devices = std::atoi(argv[i + 1]);
        if (key == "--rate") rate = std::atoi(argv[i + 1]);
        if (key == "--invented") invented = std::atol(argv[i + 1]);
        if (key == "--work") work = argv[i + 1];
    }
    if (!OnlyLoopback() || devsim.empty()) {
        std::fprintf(stderr, "run through bench/flood_run.sh (own network namespace, --devsim PATH)\n");
        return 2;
    }
    const std::string folder = work + "/firmware";
    std::system(("mkdir -p " + folder).c_str());
    const std::string file = devsim::LegacyFirmware("FIRMWARE", "QL_IPC2F_V2.1.0.7", 1 << 20);
    std::ofstream(folder + "/IPC2F.bin", std::ios::binary)
        .write(file.data(), static_cast<std::streamsize>(file.size()));

    // The devices and the flooding host share a second namespace behind a veth pair.
    int nsFd = -1;
    std::thread([&] {
        if (unshare(CLONE_NEWNET) == 0) nsFd = open("/proc/thread-self/ns/net", O_RDONLY);
    }).join();
    const std::string devicesNs = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(nsFd);
    const std::string inDevices = "nsenter --net=" + devicesNs + " ip ";
    const std::vector<std::string> steps = {
        "ip link add kf0 type veth peer name kf1",  "ip link set kf1 netns " + devicesNs,
        "ip addr add 10.88.0.1/24 brd + dev kf0",   "ip link set kf0 up",
        inDevices + "link set lo up",               inDevices + "addr add 10.88.0.2/24 brd + dev kf1",
        inDevices + "addr add 10.88.0.3/24 dev kf1", inDevices + "link set kf1 up"};
    for (const std::string& step : steps) {
        if (nsFd < 0 || std::system(step.c_str()) != 0) {
            std::fprintf(stderr, "cannot set up the device namespace (%s)\n", step.c_str());
            return 1;
        }
    }

    platform::RaiseDescriptorLimit();
    platform::SetAppFilesDir(work);
    LogInit(LOG_MAJOR, (work + "/Upgrade.log").c_str());
    SetFmwNarrationSink([](const char*) {});
    CKelvaneDlg dlg;  // no view: the bench reads the run's results directly
    dlg.SetItemInput(IDC_EDIT_PATH, folder);
    dlg.SetItemInput(IDC_COMBO_LOCAL_IP, "10.88.0.1");
    dlg.OnChkIpCheck(true);

    std::printf("%d devices, 1 MiB file, probing on; flood %d invented requests/s from another host\n", devices, rate);
    const long threadsIdle = ThreadCount();
    StartRun(dlg);
    Outcome quiet = RunDevices(dlg, devsim, nsFd, devices);
    dlg.OnBtnStart();
    std::printf(
        "without flood: every outcome after %.0f ms; %d of %d counted, %d succeeded; peak %ld threads, %d fds\n",
        quiet.ms, quiet.counted, devices, quiet.succeeded, quiet.maxThreads, quiet.maxFds);

    const long dropsBefore = UdpReceiveBufferErrors();
    StartRun(dlg);
    Outcome flooded;
    long floodSent = 0;
    {
        Flooder flood(nsFd, rate, 0);
        const Clock::time_point floodStart = Clock::now();
        std::this_thread::sleep_for(std::chrono::seconds(1));  // the flood is in full swing first
        flooded = RunDevices(dlg, devsim, nsFd, devices);
        flood.Stop();
        floodSent = flood.Sent();
        std::fprintf(stderr, "sockets that dropped datagrams:%s\n", SocketsThatDropped().c_str());
        std::printf(
            "with flood:    every outcome after %.0f ms; %d of %d counted, %d succeeded; peak %ld threads, "
            "%d fds; %ld requests sent in %.1f s; %ld datagrams lost to a full socket buffer\n",
            flooded.ms, flooded.counted, devices, flooded.succeeded, flooded.maxThreads, flooded.maxFds, floodSent,
            Ms(floodStart) / 1000, UdpReceiveBufferErrors() - dropsBefore);
    }
    dlg.OnBtnStart();

    StartRun(dlg);
    {
        Flooder flood(nsFd, rate, invented);
        flood.Join();
        std::this_thread::sleep_for(std::chrono::seconds(1));  // the admitted ones end
        long answered = 0;
        for (const DeviceResult& r : dlg.ResultsSnapshot()) answered += r.mac.rfind("EE:", 0) == 0;
        std::printf("after %ld invented requests (%ld answered, the rest dropped): RSS %.1f MiB (peak %.1f MiB), %ld "
                    "threads (%ld before the run), %d descriptors\n",
                    flood.Sent(), answered, RssMiB(), PeakRssMiB(), ThreadCount(), threadsIdle,
                    platform::CountOpenDescriptors());
    }
    dlg.OnBtnStart();
    std::system("ip link del kf0");
    close(nsFd);
    return quiet.counted == devices && flooded.counted == devices ? 0 : 1;
}
