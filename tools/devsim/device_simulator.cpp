#include "tools/devsim/device_simulator.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstring>

#include "messaging/msg_format.h"
#include "platform/udp_socket.h"
#include "tools/devsim/sim_device.h"
#include "tools/devsim/sim_network.h"

namespace devsim {

DeviceSimulator::DeviceSimulator(SimConfig config) : m_config(std::move(config)) {}

DeviceSimulator::~DeviceSimulator() {
    Stop();
}

bool DeviceSimulator::Start(std::string* error) {
    if (m_started) {
        *error = "already started";
        return false;
    }
    bool ok = false;
    // The namespace is a property of a thread: the set-up runs on a thread of its own that enters
    // it, and every thread it starts is born there.
    std::thread setup([&] {
        if (!m_config.netnsPath.empty()) {
            int fd = open(m_config.netnsPath.c_str(), O_RDONLY | O_CLOEXEC);
            if (fd < 0 || setns(fd, CLONE_NEWNET) != 0) {
                *error = "cannot enter the network namespace " + m_config.netnsPath + ": " + std::strerror(errno);
                if (fd >= 0) close(fd);
                return;
            }
            close(fd);
        }
        ok = SetUp(error);
    });
    setup.join();
    m_started = true;
    if (!ok) Stop();
    return ok;
}

bool DeviceSimulator::SetUp(std::string* error) {
    m_interface = ChooseInterface(m_config.interfaceName, error);
    if (m_interface.empty()) return false;
    std::string why;
    if (!m_config.interfaceName.empty() && !InPrivateNetwork(&why)) {
        std::fprintf(stderr,
                     "kelvane-devsim: WARNING: simulating devices on %s of a real network (%s): they will "
                     "send requests%s and add lent addresses to %s\n",
                     m_interface.c_str(), why.c_str(), m_config.broadcast ? " by broadcast" : "", m_interface.c_str());
    }
    if (!m_config.broadcast && m_config.serverIp.empty()) {
        *error = "no server address: give one, or let the devices broadcast";
        return false;
    }
    in_addr target{};
    if (!platform::ParseIPv4(m_config.broadcast ? "255.255.255.255" : m_config.serverIp.c_str(), &target)) {
        *error = "bad server address " + m_config.serverIp;
        return false;
    }
    m_requestTo = platform::MakeSockaddrIn(target, kServerPort);

    m_addresses = std::make_unique<AddressKeeper>();
    if (!m_addresses->Open(m_interface, m_config.prefixLength, error)) return false;

    platform::UdpSocket replies = platform::UdpSocket::OpenIPv4();
    platform::UdpSocket requests = platform::UdpSocket::OpenIPv4();
    if (!replies.Valid() || !requests.Valid()) {
        *error = std::string("cannot open a UDP socket: ") + std::strerror(errno);
        return false;
    }
    replies.SetReuseAddress(true);
    if (int err = replies.Bind("0.0.0.0", kReplyPort); err != 0) {
        *error = "cannot listen for replies on port 10010: " + std::string(std::strerror(err));
        return false;
    }
    requests.SetBroadcast(true);
    if (m_interface != "lo") {
        // Replies and broadcast requests stay on the devices' own link.
        setsockopt(replies.Fd(), SOL_SOCKET, SO_BINDTODEVICE, m_interface.c_str(),
                   static_cast<socklen_t>(m_interface.size()));
        setsockopt(requests.Fd(), SOL_SOCKET, SO_BINDTODEVICE, m_interface.c_str(),
                   static_cast<socklen_t>(m_interface.size()));
    }
    if (int err = requests.Bind("0.0.0.0", 0); err != 0) {
        *error = "cannot bind the request socket: " + std::string(std::strerror(err));
        return false;
    }

    if (!m_config.keepDir.empty()) {
        m_workDir = m_config.keepDir;
        if (mkdir(m_workDir.c_str(), 0755) != 0 && errno != EEXIST) {
            *error = "cannot create " + m_workDir + ": " + std::strerror(errno);
            return false;
        }
    } else {
        const char* tmp = getenv("TMPDIR");
        std::string pattern = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kelvane-devsim-XXXXXX";
        if (mkdtemp(pattern.data()) == nullptr) {
            *error = "cannot create a work folder: " + std::string(std::strerror(errno));
            return false;
        }
        m_workDir = pattern;
        m_ownWorkDir = true;
    }

    uint64_t mac = 0;
    if (!ParseMac(m_config.macBase, &mac)) {
        *error = "bad MAC base " + m_config.macBase;
        return false;
    }
    int index = 0;
    for (const DeviceGroup& group : m_config.groups) {
        if (!group.mac.empty() && !ParseMac(group.mac, &mac)) {
            *error = "bad MAC " + group.mac;
            return false;
        }
        if (!group.expect.empty() && !ValidExpectation(group.expect)) {
            *error = "unknown expectation " + group.expect;
            return false;
        }
        for (int i = 0; i < group.count; ++i, ++mac, ++index) {
            std::string text = FormatMac(mac);
            if (m_byMac.count(text) != 0) {
                *error = "two devices with MAC " + text;
                return false;
            }
            m_devices.push_back(std::make_unique<Device>(*this, index, group, text));
            m_byMac[text] = m_devices.back().get();
        }
    }
    if (m_devices.empty()) {
        *error = "no devices to simulate";
        return false;
    }

    m_replySocket = std::move(replies);
    m_requestSocket = std::move(requests);
    m_deadline = Clock::now() + std::chrono::milliseconds(m_config.timeLimitMs);
    m_running = static_cast<int>(m_devices.size());
    m_replyThread = std::thread([this] { ReceiveReplies(); });
    const size_t n = m_devices.size();
    for (size_t i = 0; i < n; ++i) {
        const int delay = n > 1 ? static_cast<int>(static_cast<int64_t>(m_config.startSpreadMs) *
                                                   static_cast<int64_t>(i) / static_cast<int64_t>(n))
                                : 0;
        Device* device = m_devices[i].get();
        m_threads.emplace_back([this, device, delay] {
            device->Run(delay);
            if (m_config.onResult) m_config.onResult(device->Snapshot());
            DeviceEnded();
        });
    }
    return true;
}

void DeviceSimulator::ReceiveReplies() {
    std::vector<char> buffer(2048);
    while (!m_stop.load()) {
        if (m_replySocket.WaitReadable(100) != 1) continue;
        long n = m_replySocket.ReceiveFrom(buffer.data(), buffer.size() - 1, nullptr);
        if (n <= 0) continue;
        std::string text(buffer.data(), static_cast<size_t>(std::min<long>(n, static_cast<long>(buffer.size()) - 1)));
        text = text.c_str();  // the first NUL ends a message
        if (!IsRequestIpaddr(text.c_str())) continue;
        auto it = m_byMac.find(ReadKey(text, kKeyIpcMac, kIpcMacSize));
        if (it != m_byMac.end()) it->second->Deliver(text);
    }
}

void DeviceSimulator::SendRequest(const std::string& text) {
    m_requestSocket.SendTo(text.data(), text.size(), m_requestTo);
}

bool DeviceSimulator::TakeAddress(int index, const std::string& ip, std::string* error) {
    in_addr addr{};
    if (!platform::ParseIPv4(ip.c_str(), &addr)) {
        *error = "the lent address \"" + ip + "\" is not an IPv4 address";
        return false;
    }
    {
        std::lock_guard<std::mutex> lock(m_mutex);
        auto [it, inserted] = m_leases.emplace(ip, index);
        if (!inserted && it->second != index) {
            *error = "lent " + ip + ", which device " + std::to_string(it->second) + " already holds";
            return false;
        }
    }
    return m_addresses->Take(addr, error);
}

void DeviceSimulator::ReleaseLease(int index) {
    std::lock_guard<std::mutex> lock(m_mutex);
    std::erase_if(m_leases, [index](const auto& lease) { return lease.second == index; });
}

void DeviceSimulator::DeviceEnded() {
    std::lock_guard<std::mutex> lock(m_mutex);
    --m_running;
    m_cv.notify_all();
}

bool DeviceSimulator::Wait(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_mutex);
    return m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_running <= 0; });
}

void DeviceSimulator::Stop() {
    m_stop = true;
    for (std::thread& t : m_threads) {
        if (t.joinable()) t.join();
    }
    m_threads.clear();
    if (m_replyThread.joinable()) m_replyThread.join();
    m_replySocket.Close();
    m_requestSocket.Close();
    if (m_addresses) m_addresses->ReleaseAll();
    if (m_ownWorkDir) {
        rmdir(m_workDir.c_str());
        m_ownWorkDir = false;
    }
}

std::vector<DeviceResult> DeviceSimulator::Results() const {
    std::vector<DeviceResult> out;
    for (const auto& device : m_devices) out.push_back(device->Snapshot());
    return out;
}

bool DeviceSimulator::AllAsExpected() const {
    for (const DeviceResult& r : Results()) {
        if (!r.asExpected) return false;
    }
    return !m_devices.empty();
}

}  // namespace devsim
