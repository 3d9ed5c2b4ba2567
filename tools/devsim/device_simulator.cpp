#include "tools/devsim/device_simulator.h"

#include <fcntl.h>
#include <net/if.h>
#include <sched.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstring>
#include <deque>
#include <random>
#include <set>

#include "messaging/msg_format.h"
#include "platform/udp_socket.h"
#include "tools/devsim/firmware_check.h"
#include "tools/devsim/sim_network.h"
#include "tools/devsim/tftp_client.h"

namespace devsim {

namespace {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kServerPort = 10011;
constexpr uint16_t kReplyPort = 10010;
constexpr int kSliceMs = 50;

// The report events a device of each kind walks through; the last one ends its upgrade.
std::vector<int> EventsOf(DeviceKind kind) {
    if (kind == DeviceKind::Ipc) return {0, 1, 2, 3};
    return {0, 1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 11};
}

std::string ReadKey(const std::string& text, const char* key, int size) {
    std::vector<char> value(static_cast<size_t>(size), '\0');
    if (ReadFlagValue(text.c_str(), key, static_cast<int>(std::strlen(key)), value.data(), size) != 0) return {};
    return value.data();
}

bool ParseMac(const std::string& text, uint64_t* value) {
    unsigned b[6];
    char tail;
    if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x%c", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5], &tail) != 6)
        return false;
    *value = 0;
    for (unsigned byte : b) {
        if (byte > 0xFF) return false;
        *value = (*value << 8) | byte;
    }
    return true;
}

std::string FormatMac(uint64_t value) {
    char text[18];
    std::snprintf(text, sizeof text, "%02X:%02X:%02X:%02X:%02X:%02X", static_cast<unsigned>((value >> 40) & 0xFF),
                  static_cast<unsigned>((value >> 32) & 0xFF), static_cast<unsigned>((value >> 24) & 0xFF),
                  static_cast<unsigned>((value >> 16) & 0xFF), static_cast<unsigned>((value >> 8) & 0xFF),
                  static_cast<unsigned>(value & 0xFF));
    return text;
}

std::string DerivedExpectation(const DeviceGroup& group) {
    if (!group.expect.empty()) return group.expect;
    if (group.inject.silentEvent >= 0) return "silent";
    if (group.inject.failEvent >= 0 && group.inject.failState >= 2 && group.inject.failState <= 6) {
        return "failed:" + std::to_string(group.inject.failState);
    }
    return "upgraded";
}

bool Matches(const std::string& expected, const DeviceResult& r) {
    if (expected == "any") return r.outcome != Outcome::Pending;
    if (expected == "upgraded") return r.outcome == Outcome::Upgraded;
    if (expected == "up-to-date") return r.outcome == Outcome::UpToDate;
    if (expected == "silent") return r.outcome == Outcome::Silent;
    if (expected == "timeout") return r.outcome == Outcome::TimedOut;
    if (expected == "failed") return r.outcome == Outcome::Failed;
    if (expected.rfind("failed:", 0) == 0)
        return r.outcome == Outcome::Failed && std::to_string(r.state) == expected.substr(7);
    return false;
}

}  // namespace

// One simulated device: its own thread, its own sockets, its own share of lost packets.
class DeviceSimulator::Device {
public:
    Device(DeviceSimulator& sim, int index, const DeviceGroup& group, const std::string& mac)
        : m_sim(sim), m_group(group), m_rng(sim.m_config.seed * 7919u + static_cast<unsigned>(index)) {
        m_result.index = index;
        m_result.mac = mac;
        m_result.kind = group.kind;
        m_result.model = group.model;
        m_result.versionBefore = group.version;
        m_result.expected = DerivedExpectation(group);
        m_result.stage = "waiting";
        std::string model = group.model;
        for (char& c : model) {
            if (c == '-') c = '*';  // a "-" of the model name travels as "*"
        }
        m_versionText = model + "-" + group.version;
        m_stepMs = group.stepMs >= 0 ? group.stepMs : sim.m_config.stepMs;
        m_windowSize = group.windowSize >= 0 ? group.windowSize : sim.m_config.windowSize;
    }

    const std::string& Mac() const { return m_result.mac; }

    void Deliver(const std::string& reply) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_mailbox.push_back(reply);
        m_cv.notify_all();
    }

    DeviceResult Snapshot() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_result;
    }

    void Run(int startDelayMs) {
        m_begin = Clock::now();
        if (startDelayMs > 0 && !Pause(startDelayMs)) return EndInterrupted();
        for (int round = 0;; ++round) {
            const bool again = RunOnce();
            if (!again || round >= m_group.restarts) return;
            // Starting over, the device lets go of its address: a server that was restarted in the
            // meantime may lend it to another device.
            m_sim.ReleaseLease(m_result.index);
            Update([](DeviceResult& r) {
                r.outcome = Outcome::Pending;
                r.detail += "; starting over";
            });
        }
    }

private:
    // One pass from the request to an outcome; true when it ended in a failed download that a
    // restart may retry.
    bool RunOnce() {
        SetStage("requesting");
        std::string reply = AskForAddress();
        if (reply.empty()) {
            EndInterrupted();
            return false;
        }
        const std::string lentIp = ReadKey(reply, kKeyIpaddr, kIpaddrSize);
        const std::string serverIp = ReadKey(reply, kKeyServerIp, kIpaddrSize);
        const std::string file = ReadKey(reply, kKeyFilePath, 256);
        if (lentIp.empty() && serverIp.empty() && file.empty()) {
            End(Outcome::UpToDate, "the server has nothing newer");
            return false;
        }
        Update([&](DeviceResult& r) {
            r.lentIp = lentIp;
            r.serverIp = serverIp;
            r.filePath = file;
            r.offeredVersion = ReadKey(reply, kKeyVersion, kVersionSize);
        });
        std::string error;
        if (lentIp.empty() || serverIp.empty() || file.empty()) {
            End(Outcome::Error, "address reply without Ipaddr, ServerIP or FilePath");
            return false;
        }
        if (!m_sim.TakeAddress(m_result.index, lentIp, &error)) {
            End(Outcome::Error, error);
            return false;
        }
        m_reportSocket = platform::UdpSocket::OpenIPv4();
        in_addr server{};
        if (!m_reportSocket.Valid() || m_reportSocket.Bind(lentIp.c_str(), 0) != 0 ||
            !platform::ParseIPv4(serverIp.c_str(), &server)) {
            End(Outcome::Error, "cannot send reports from " + lentIp + " to " + serverIp);
            return false;
        }
        m_server = platform::MakeSockaddrIn(server, kServerPort);
        m_lentIp = lentIp;
        return Upgrade(lentIp, serverIp, file);
    }

    std::string AskForAddress() {
        std::set<long> sent;
        long cseq = 100 * (m_result.index + 1) + static_cast<long>(m_rng() % 50);
        while (!Interrupted()) {
            ++cseq;
            sent.insert(cseq);
            std::string request = std::string(kKeyMsg) + MsgTypeName(MSG_TYPE_REQUEST_IPADDR) + "\r\n" + kKeyVersion +
                                  m_versionText + "\r\n" + kKeyCseq + std::to_string(cseq) + "\r\n" + kKeyIpcMac +
                                  m_result.mac + "\r\n";
            if (!Lost()) m_sim.SendRequest(request);
            Update([](DeviceResult& r) { ++r.addressRequests; });
            const auto until = Clock::now() + std::chrono::milliseconds(m_sim.m_config.requestIntervalMs);
            while (!Interrupted() && Clock::now() < until) {
                std::unique_lock<std::mutex> lock(m_mutex);
                m_cv.wait_for(lock, std::chrono::milliseconds(kSliceMs), [&] { return !m_mailbox.empty(); });
                while (!m_mailbox.empty()) {
                    std::string reply = std::move(m_mailbox.front());
                    m_mailbox.pop_front();
                    if (Lost()) continue;
                    // Replies are broadcast: only our MAC with one of our Cseq numbers plus 1 is ours.
                    if (ReadKey(reply, kKeyIpcMac, kIpcMacSize) != m_result.mac) continue;
                    std::string answered = ReadKey(reply, kKeyCseq, kCseqSize);
                    if (answered.empty() || sent.count(std::atol(answered.c_str()) - 1) == 0) continue;
                    return reply;
                }
            }
        }
        return {};
    }

    bool Upgrade(const std::string& lentIp, const std::string& serverIp, const std::string& file) {
        const std::vector<int> events = EventsOf(m_group.kind);
        const Injection& inject = m_group.inject;
        SetStage("downloading");
        Report(0, 1, 0, events.size());

        std::string name = file;
        for (char& c : name) {
            if (c == '/' || c == '\\') c = '_';
        }
        const std::string path = m_sim.m_workDir + "/" + std::to_string(m_result.index) + "-" + name;
        int fd = open(path.c_str(), O_RDWR | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
        if (fd < 0) {
            End(Outcome::Error, "cannot create " + path + ": " + std::strerror(errno));
            return false;
        }
        TftpClientOptions o;
        o.localIp = lentIp;
        o.serverIp = serverIp;
        o.fileName = file;
        o.blockSize = m_sim.m_config.blockSize;
        o.timeoutSec = m_sim.m_config.tftpTimeoutSec;
        o.windowSize = m_windowSize;
        o.timeUnitMs = m_sim.m_config.timeUnitMs;
        o.retries = m_sim.m_config.tftpRetries;
        o.attempts = m_sim.m_config.tftpAttempts;
        o.noLastAck = inject.noLastAck;
        o.stallBlock = inject.stallBlock;
        o.stallMs = inject.stallMs;
        o.abandonHalfway = inject.silentEvent == 0;
        o.drop = [this] { return Lost(); };
        o.stopped = [this] { return Interrupted(); };
        o.onStall = [this] { SetStage("stalled"); };
        TftpClientResult t = TftpDownload(o, fd);
        close(fd);
        Update([&](DeviceResult& r) {
            r.bytes = t.bytes;
            r.tsize = t.tsize;
            r.crc32 = t.crc32;
            r.blockSize = t.blockSize;
            r.windowSize = t.windowSize;
            r.readRequests += t.requests;
            if (!m_sim.m_config.keepDir.empty()) r.keptFile = path;
        });
        struct Cleanup {
            const std::string& path;
            bool keep;
            ~Cleanup() {
                if (!keep) unlink(path.c_str());
            }
        } cleanup{path, !m_sim.m_config.keepDir.empty()};

        if (Interrupted()) {
            EndInterrupted();
            return false;
        }
        if (t.abandoned) {
            End(Outcome::Silent, "went silent during the download (" + t.error + ")");
            return false;
        }
        if (!t.ok) {
            Report(0, 6, 0, events.size());
            End(Outcome::Failed, "download failed: " + t.error);
            return true;
        }
        std::string detail;
        const int state = CheckFirmware(path, t.bytes, t.tsize, m_group.model, &detail);
        if (state != 0) {
            Report(0, state, 0, events.size());
            End(Outcome::Failed, "firmware check: " + detail);
            return false;
        }
        for (size_t step = 0; step < events.size(); ++step) {
            const int event = events[step];
            if (step > 0) {
                SetStage(MsgTypeName(event + 1));
                Report(event, 1, step, events.size());
            }
            if (inject.silentEvent == event && event != 0) {
                End(Outcome::Silent, std::string("went silent at ") + MsgTypeName(event + 1));
                return false;
            }
            if (step > 0 && !Pause(m_stepMs)) {
                EndInterrupted();
                return false;
            }
            if (inject.failEvent == event) {
                Report(event, inject.failState, step, events.size());
                if (inject.failState != 7) {
                    End(Outcome::Failed, std::string("failed on purpose at ") + MsgTypeName(event + 1));
                    return false;
                }
                // State 7: the boot loader differs after writing; the step is done once more.
                Report(event, 1, step, events.size());
                if (!Pause(m_stepMs)) {
                    EndInterrupted();
                    return false;
                }
            }
            Report(event, 0, step + 1, events.size());
        }
        End(Outcome::Upgraded, "");
        return false;
    }

    // Progress in percent over the device's whole upgrade: `done` of `steps` steps finished.
    void Report(int event, int state, size_t done, size_t steps) {
        const size_t schedule = done * 100 / steps;
        std::string text = std::string(kKeyMsg) + MsgTypeName(event + 1) + "\r\n" + kKeyIpaddr + m_lentIp + "\r\n" +
                           kKeyIpcMac + m_result.mac + "\r\n" + kKeySchedule + std::to_string(schedule) + "\r\n" +
                           kKeyState + std::to_string(state) + "\r\n" + kKeyVersion + m_versionText + "\r\n";
        if (!Lost()) m_reportSocket.SendTo(text.data(), text.size(), m_server);
        Update([&](DeviceResult& r) {
            r.event = event;
            r.state = state;
            ++r.reports;
        });
    }

    bool Lost() {
        if (m_group.inject.drop <= 0.0) return false;
        std::lock_guard<std::mutex> lock(m_rngMutex);
        return std::uniform_real_distribution<double>(0.0, 1.0)(m_rng) < m_group.inject.drop;
    }
    bool Interrupted() const { return m_sim.m_stop.load() || Clock::now() >= m_sim.m_deadline; }
    // Sleeps `ms`; false when the run is stopped or out of time meanwhile.
    bool Pause(int ms) {
        const auto until = Clock::now() + std::chrono::milliseconds(ms);
        while (Clock::now() < until) {
            if (Interrupted()) return false;
            std::this_thread::sleep_for(
                std::min<Clock::duration>(until - Clock::now(), std::chrono::milliseconds(kSliceMs)));
        }
        return !Interrupted();
    }

    template <typename F>
    void Update(F change) {
        std::lock_guard<std::mutex> lock(m_mutex);
        change(m_result);
    }
    void SetStage(const std::string& stage) {
        Update([&](DeviceResult& r) { r.stage = stage; });
    }
    void EndInterrupted() {
        End(m_sim.m_stop.load() ? Outcome::Stopped : Outcome::TimedOut,
            m_sim.m_stop.load() ? "stopped" : "time limit reached while " + Snapshot().stage);
    }
    // Records how this pass ended; the device's thread reports it once Run returns (a restart
    // may still replace it).
    void End(Outcome outcome, const std::string& detail) {
        std::lock_guard<std::mutex> lock(m_mutex);
        m_result.outcome = outcome;
        if (!detail.empty()) m_result.detail = m_result.detail.empty() ? detail : m_result.detail + "; " + detail;
        m_result.elapsedMs = std::chrono::duration_cast<std::chrono::milliseconds>(Clock::now() - m_begin).count();
        m_result.asExpected = Matches(m_result.expected, m_result);
    }

    DeviceSimulator& m_sim;
    DeviceGroup m_group;
    std::mt19937 m_rng;
    std::mutex m_rngMutex;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    std::deque<std::string> m_mailbox;
    DeviceResult m_result;
    std::string m_versionText;
    std::string m_lentIp;
    int m_stepMs = 0;
    int m_windowSize = 0;
    platform::UdpSocket m_reportSocket;
    sockaddr_in m_server{};
    Clock::time_point m_begin;
};

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
