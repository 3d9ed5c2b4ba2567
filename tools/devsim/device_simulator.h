#pragma once
// Simulated cameras and NVRs in upgrade mode, for labs, the demo and whole-run tests. Each device
// asks for an address, takes the lent one, downloads its firmware over TFTP, checks it and
// reports every flash step until the final event of its kind, or fails where it was told to.
//
//   devsim::SimConfig config;
//   config.serverIp = "10.77.0.1";
//   config.groups.push_back(devsim::DeviceGroup{});         // one IPC with the defaults
//   devsim::DeviceSimulator sim(config);
//   std::string error;
//   if (!sim.Start(&error)) ...;
//   sim.Wait(60000);
//   bool ok = sim.AllAsExpected();  // sim.Results() for the details, ResultsToJson for a file
#include <netinet/in.h>

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "platform/udp_socket.h"

namespace devsim {

class AddressKeeper;
struct DeviceResult;

enum class DeviceKind { Ipc, Nvr };

// How a device's run ended.
enum class Outcome {
    Pending,   // still running
    Upgraded,  // sent the final event of its kind with state 0
    UpToDate,  // got the no-upgrade reply
    Failed,    // sent a failure state (2 to 6) and stopped
    Silent,    // went silent on purpose (injected)
    TimedOut,  // the run's time limit passed first (no reply, for example)
    Stopped,   // the simulator was stopped first
    Error,     // could not act as a device here (address not taken, socket refused)
};

// Faults a device plays; all off by default.
struct Injection {
    int failEvent = -1;       // report event 0..11 at which to fail
    int failState = 6;        // state sent there: 2..6 end the device, 7 makes it repeat the step
    double drop = 0.0;        // share (0..1) of the device's datagrams lost, sent and received
    bool noLastAck = false;   // never acknowledge the last TFTP block
    uint32_t stallBlock = 0;  // stop for stallMs after this TFTP block
    int stallMs = 0;
    int silentEvent = -1;  // send the step's "in progress" report, then nothing ever again;
                           // at event 0 the device vanishes half way through its download
};

// One group of devices; every device of a group is alike but for its MAC.
struct DeviceGroup {
    int count = 1;
    DeviceKind kind = DeviceKind::Ipc;
    std::string model = "IPC2F";
    std::string version = "1.0.0.0";  // version number before the upgrade
    std::string mac;                  // first MAC of the group; empty: continue from the base
    int stepMs = -1;                  // time per flash step; -1: the config's
    int windowSize = -1;              // -1: the config's
    Injection inject;
    // What counts as expected: "upgraded", "up-to-date", "failed", "failed:STATE", "silent",
    // "timeout" or "any". Empty: derived from the injection (failed:STATE, silent, else upgraded).
    std::string expect;
    int restarts = 0;  // a failed download starts the device over from its request, this often
};

struct SimConfig {
    std::vector<DeviceGroup> groups;
    std::string macBase = "02:4B:56:00:00:01";
    std::string serverIp;  // where requests go; with broadcast they go to 255.255.255.255
    bool broadcast = false;
    std::string interfaceName;  // empty: chosen inside a private network namespace only
    std::string netnsPath;      // when given, every socket and address lives in this namespace
    int prefixLength = 24;      // of the lent addresses
    int stepMs = 300;
    int requestIntervalMs = 3000;
    int tftpTimeoutSec = 5;
    int timeUnitMs = 1000;  // length of one second of the TFTP time-outs
    int tftpRetries = 5;
    int tftpAttempts = 5;
    int blockSize = 1468;
    int windowSize = 0;
    int timeLimitMs = 600000;  // for the whole run; devices still busy then end as TimedOut
    int startSpreadMs = 0;     // devices start evenly spread over this time
    unsigned seed = 1;         // for the packet drop
    std::string keepDir;       // when set, downloads stay there as "<index>-<file name>"
    // Called on the device's own thread when it ends; keep it short.
    std::function<void(const DeviceResult&)> onResult;
};

struct DeviceResult {
    int index = 0;
    std::string mac;
    DeviceKind kind = DeviceKind::Ipc;
    std::string model;
    std::string versionBefore;  // version number
    std::string expected;
    Outcome outcome = Outcome::Pending;
    bool asExpected = false;
    std::string stage;  // where the device is or was last: "requesting", "downloading",
                        // "stalled" (an injected stall), event name
    int event = -1;     // last report event sent
    int state = -1;     // its state
    std::string lentIp;
    std::string serverIp;
    std::string filePath;        // "FilePath:" of the reply
    std::string offeredVersion;  // "Version:" of the reply
    uint64_t bytes = 0;
    int64_t tsize = -1;
    uint32_t crc32 = 0;
    int blockSize = 0;
    int windowSize = 0;
    int readRequests = 0;
    int addressRequests = 0;
    int reports = 0;  // reports sent (lost ones included)
    int64_t elapsedMs = 0;
    std::string keptFile;  // path of the kept download
    std::string detail;    // why it failed or ended early
};

class DeviceSimulator {
public:
    explicit DeviceSimulator(SimConfig config);
    ~DeviceSimulator();
    DeviceSimulator(const DeviceSimulator&) = delete;
    DeviceSimulator& operator=(const DeviceSimulator&) = delete;

    // Checks the network, opens the sockets and starts every device. False with `error` when the
    // simulator cannot or must not run here (nothing is left running then).
    bool Start(std::string* error);
    // Waits until every device has its outcome; false when `timeoutMs` passed first.
    bool Wait(int timeoutMs);
    // Ends every device still running (as Stopped), then removes the addresses it added.
    void Stop();
    std::vector<DeviceResult> Results() const;
    bool AllAsExpected() const;
    const std::string& InterfaceName() const { return m_interface; }

private:
    class Device;
    friend class Device;
    bool SetUp(std::string* error);
    void ReceiveReplies();
    void SendRequest(const std::string& text);
    bool TakeAddress(int index, const std::string& ip, std::string* error);
    void ReleaseLease(int index);
    void DeviceEnded();

    SimConfig m_config;
    std::string m_interface;
    std::vector<std::unique_ptr<Device>> m_devices;
    std::map<std::string, Device*> m_byMac;
    std::unique_ptr<AddressKeeper> m_addresses;
    platform::UdpSocket m_replySocket;    // port 10010, where the broadcast replies arrive
    platform::UdpSocket m_requestSocket;  // every device's address requests
    sockaddr_in m_requestTo{};
    std::chrono::steady_clock::time_point m_deadline;
    std::thread m_replyThread;
    std::vector<std::thread> m_threads;
    std::atomic<bool> m_stop{false};
    std::string m_workDir;
    bool m_ownWorkDir = false;
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    int m_running = 0;
    std::map<std::string, int> m_leases;  // lent address -> device index, to catch a doubly lent one
    bool m_started = false;
};

const char* OutcomeName(Outcome outcome);
const char* KindName(DeviceKind kind);
// Report event from a number 0..11 or a unique prefix of its name without "Report_" (any case);
// -1 when none fits.
int ParseEvent(const std::string& text);
// Reads a --device text: comma-separated key=value (count, kind, model, version, mac, step-ms,
// windowsize, fail=EVENT:STATE, drop, no-last-ack, stall=BLOCK:MS, silent=EVENT, expect, restarts) over
// `group`, which holds the defaults. False with `error` naming the bad part.
bool ParseDeviceGroup(const std::string& text, DeviceGroup* group, std::string* error);
// Whether `text` is one of the expectations DeviceGroup::expect takes.
bool ValidExpectation(const std::string& text);
// One line per device for people, and the machine-readable form of a whole run.
std::string FormatResult(const DeviceResult& result);
std::string ResultsToJson(const std::vector<DeviceResult>& results);
std::string Summary(const std::vector<DeviceResult>& results);

}  // namespace devsim
