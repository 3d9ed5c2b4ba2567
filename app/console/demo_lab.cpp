#include "app/console/demo_lab.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <random>
#include <thread>

#include "platform/private_network.h"
#include "tools/devsim/device_simulator.h"
#include "tools/devsim/fmw_writer.h"

namespace {

constexpr const char* kServerLink = "kdemo0";
constexpr const char* kDeviceLink = "kdemo1";
constexpr const char* kDeviceAddress = "10.77.0.2/24";

// What the folder offers and what the devices ask with.
constexpr const char* kNewVersion = "2.1.0.7";
constexpr const char* kOldVersion = "1.0.0.0";

// The interfaces this process sees; after the unshare, only its own.
std::vector<std::string> InterfaceNames() {
    std::vector<std::string> names;
    if (struct if_nameindex* list = if_nameindex()) {
        for (struct if_nameindex* i = list; i->if_index != 0; ++i) names.emplace_back(i->if_name);
        if_freenameindex(list);
    }
    return names;
}

std::string IpCommand() {
    for (const char* path : {"/usr/sbin/ip", "/sbin/ip", "/usr/bin/ip", "/bin/ip"}) {
        if (access(path, X_OK) == 0) return path;
    }
    return "";
}

// Runs `ip args...` in this process's namespace, or in `nsFd`'s; its output is kept off the screen.
bool RunIp(const std::vector<std::string>& args, int nsFd, std::string* error) {
    const std::string ip = IpCommand();
    if (ip.empty()) {
        *error = "the \"ip\" command is missing (Debian package iproute2)";
        return false;
    }
    std::vector<char*> argv{const_cast<char*>(ip.c_str())};
    std::string line = "ip";
    for (const std::string& a : args) {
        argv.push_back(const_cast<char*>(a.c_str()));
        line += " " + a;
    }
    argv.push_back(nullptr);
    pid_t child = fork();
    if (child == 0) {
        if (nsFd >= 0 && setns(nsFd, CLONE_NEWNET) != 0) _exit(126);
        int null = open("/dev/null", O_WRONLY);
        if (null >= 0) dup2(null, STDOUT_FILENO), dup2(null, STDERR_FILENO);
        execv(ip.c_str(), argv.data());
        _exit(127);
    }
    int status = 0;
    if (child < 0 || waitpid(child, &status, 0) != child || !WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        *error = "\"" + line + "\" failed";
        return false;
    }
    return true;
}

std::string RandomBytes(size_t size, unsigned seed) {
    std::mt19937 random(seed);
    std::string bytes(size, '\0');
    for (char& c : bytes) c = static_cast<char>(random() & 0xFF);
    return bytes;
}

devsim::DeviceGroup Group(const std::string& text) {
    devsim::DeviceGroup group;
    std::string error;
    devsim::ParseDeviceGroup(text, &group, &error);  // our own texts: they parse
    return group;
}

}  // namespace

DemoLab::DemoLab() = default;

DemoLab::~DemoLab() {
    TearDown();
}

bool DemoLab::EnterPrivateNetwork(std::string* error) {
    if (platform::EnterPrivateNetworkNamespace(error)) return true;
    if (geteuid() != 0) {
        *error =
            "the demo needs root or unprivileged user namespaces, and this system allows neither to this "
            "user (" +
            *error +
            "). Run it with sudo, or allow user namespaces "
            "(sysctl kernel.unprivileged_userns_clone=1, user.max_user_namespaces > 0).";
    }
    return false;
}

int DemoLab::DeviceCount() const {
    return 20;
}

bool DemoLab::SetUp(std::string* error) {
    // Nothing may leave this process's own namespace: it must hold loopback alone before we add to it.
    const std::vector<std::string> names = InterfaceNames();
    if (names != std::vector<std::string>{"lo"}) {
        *error = "refusing to set up: this process is not in a private network namespace of its own";
        return false;
    }
    const char* tmp = getenv("TMPDIR");
    std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kelvane-demo-XXXXXX";
    if (mkdtemp(pattern.data()) == nullptr) {
        *error = "cannot create a temporary folder: " + std::string(std::strerror(errno));
        return false;
    }
    m_root = pattern;
    m_firmware = m_root + "/firmware";
    m_home = m_root + "/home";
    std::error_code ec;
    std::filesystem::create_directories(m_firmware, ec);
    std::filesystem::create_directories(m_home, ec);

    // One file of each kind the catalogue knows, a few MiB each so the downloads can be watched.
    const std::pair<std::string, std::string> files[] = {
        {"IPC2F_V2.1.0.7.bin",
         devsim::LegacyFirmware("FIRMWARE", std::string("QL_IPC2F_V") + kNewVersion) + RandomBytes(3 * 1024 * 1024, 4)},
        {"IPC4K_V2.1.0.7.bin",
         devsim::ContainerWithVersion(
             std::string("QL_IPC4K_V") + kNewVersion,
             {RandomBytes(512 * 1024, 1), RandomBytes(2 * 1024 * 1024, 2), RandomBytes(1536 * 1024, 3)})},
        {"NVR8_V2.1.0.7.bin",
         devsim::LegacyFirmware("FIRMWNVR", std::string("NVR8_V") + kNewVersion) + RandomBytes(5 * 1024 * 1024, 5)},
    };
    for (const auto& [name, bytes] : files) {
        std::ofstream out(m_firmware + "/" + name, std::ios::binary);
        out.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
        if (!out.flush()) {
            *error = "cannot write the firmware folder " + m_firmware;
            return false;
        }
        m_files.push_back(name + " (" + std::to_string(bytes.size() / 1024) + " KiB)");
    }

    // The device namespace is born on a thread of its own and kept by a descriptor; a second
    // namespace is needed because the two ends of one veth pair cannot talk within one.
    std::string why;
    std::thread([&] {
        if (unshare(CLONE_NEWNET) != 0) {
            why = std::string("cannot make the device namespace: ") + std::strerror(errno);
            return;
        }
        m_deviceNs = open("/proc/thread-self/ns/net", O_RDONLY | O_CLOEXEC);
        if (m_deviceNs < 0) why = std::string("cannot keep the device namespace: ") + std::strerror(errno);
    }).join();
    if (m_deviceNs < 0) {
        *error = why;
        return false;
    }
    const std::string nsPath = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(m_deviceNs);
    m_link = RunIp({"link", "add", kServerLink, "type", "veth", "peer", "name", kDeviceLink}, -1, error);
    return m_link && RunIp({"link", "set", kDeviceLink, "netns", nsPath}, -1, error) &&
           RunIp({"addr", "add", m_serverIp + "/24", "brd", "+", "dev", kServerLink}, -1, error) &&
           RunIp({"link", "set", kServerLink, "up"}, -1, error) &&
           RunIp({"link", "set", "lo", "up"}, m_deviceNs, error) &&
           RunIp({"addr", "add", kDeviceAddress, "brd", "+", "dev", kDeviceLink}, m_deviceNs, error) &&
           RunIp({"link", "set", kDeviceLink, "up"}, m_deviceNs, error);
}

bool DemoLab::StartDevices(std::string* error) {
    devsim::SimConfig config;
    config.serverIp = m_serverIp;
    config.broadcast = true;  // as devices in upgrade mode do
    config.netnsPath = "/proc/" + std::to_string(getpid()) + "/fd/" + std::to_string(m_deviceNs);
    config.stepMs = 2000;
    config.requestIntervalMs = 2000;
    config.startSpreadMs = 8000;  // devices switched on one after another
    config.timeLimitMs = 120000;
    const std::string old = std::string("version=") + kOldVersion;
    config.groups = {
        Group("count=8,model=IPC2F," + old),
        Group("count=5,model=IPC4K," + old),
        Group("count=4,kind=nvr,step-ms=1000,model=NVR8," + old),
        Group("model=IPC4K,fail=kernel:6," + old),
        Group("kind=nvr,step-ms=1000,model=NVR8,fail=app:6," + old),
        Group("model=IPC2F,expect=up-to-date,version=" + std::string(kNewVersion)),
    };
    m_sim = std::make_unique<devsim::DeviceSimulator>(config);
    return m_sim->Start(error);
}

bool DemoLab::WaitDevices(int timeoutMs) {
    return m_sim == nullptr || m_sim->Wait(timeoutMs);
}

std::vector<std::string> DemoLab::Describe() const {
    std::vector<std::string> lines;
    std::string folder = "Firmware folder " + m_firmware + ":";
    for (const std::string& f : m_files) folder += " " + f;
    lines.push_back(folder);
    lines.push_back(
        "Devices: 20 on the simulated LAN, asking by broadcast: 15 cameras (IPC2F, IPC4K; one is already "
        "up to date) and 5 NVR8 recorders. Two fail on purpose: an IPC4K while writing its kernel, an "
        "NVR8 while writing its application.");
    return lines;
}

DemoVerdict DemoLab::Compare(const std::vector<DeviceResult>& run) const {
    DemoVerdict verdict;
    if (m_sim == nullptr) {
        verdict.problems.push_back("the devices never started");
        return verdict;
    }
    std::map<std::string, const DeviceResult*> byMac;
    for (const DeviceResult& r : run) byMac[r.mac] = &r;
    for (const devsim::DeviceResult& d : m_sim->Results()) {
        const std::string who = d.mac + " (" + d.model + ")";
        if (!d.asExpected) {
            verdict.problems.push_back(who + ": the device ended " + devsim::OutcomeName(d.outcome) + ", not " +
                                       d.expected + (d.detail.empty() ? "" : ": " + d.detail));
            continue;
        }
        auto found = byMac.find(d.mac);
        if (found == byMac.end()) {
            verdict.problems.push_back(who + ": not in the run's results");
            continue;
        }
        const DeviceResult& r = *found->second;
        DeviceOutcome want = d.outcome == devsim::Outcome::Upgraded   ? DeviceOutcome::Succeeded
                             : d.outcome == devsim::Outcome::UpToDate ? DeviceOutcome::NoUpgrade
                                                                      : DeviceOutcome::Failed;
        if (r.outcome != want || (want == DeviceOutcome::Failed && r.state != d.state)) {
            verdict.problems.push_back(who + ": the device ended " + devsim::OutcomeName(d.outcome) +
                                       ", the run counted it " + OutcomeName(r.outcome) +
                                       (r.stateText.empty() ? "" : " (" + r.stateText + ")"));
            continue;
        }
        verdict.upgraded += want == DeviceOutcome::Succeeded;
        verdict.failedAsInjected += want == DeviceOutcome::Failed;
        verdict.upToDate += want == DeviceOutcome::NoUpgrade;
    }
    if (run.size() != m_sim->Results().size()) {
        verdict.problems.push_back("the run has " + std::to_string(run.size()) + " results for " +
                                   std::to_string(m_sim->Results().size()) + " devices");
    }
    verdict.ok = verdict.problems.empty();
    return verdict;
}

void DemoLab::TearDown() {
    if (m_sim != nullptr) m_sim->Stop();  // also takes the lent addresses off the device link
    m_sim.reset();
    std::string ignored;
    if (m_link) RunIp({"link", "del", kServerLink}, -1, &ignored);  // takes its peer along
    m_link = false;
    if (m_deviceNs >= 0) close(m_deviceNs);
    m_deviceNs = -1;
    if (!m_root.empty()) {
        std::error_code ec;
        std::filesystem::remove_all(m_root, ec);
        m_root.clear();
    }
}
