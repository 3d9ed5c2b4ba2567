#pragma once
// One simulated device: its own thread, its own sockets, its own share of lost packets. Private
// to the simulator, which drives many of them in one process.
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <mutex>
#include <random>
#include <string>
#include <vector>

#include "messaging/msg_format.h"
#include "platform/udp_socket.h"
#include "tools/devsim/device_simulator.h"

namespace devsim {

using Clock = std::chrono::steady_clock;

constexpr uint16_t kServerPort = 10011;
constexpr uint16_t kReplyPort = 10010;
constexpr int kSliceMs = 50;

// The report events a device of each kind walks through; the last one ends its upgrade.
std::vector<int> EventsOf(DeviceKind kind);
// The value of `key` in a device message, empty when it cannot be read into `size` bytes.
std::string ReadKey(const std::string& text, const char* key, int size);
bool ParseMac(const std::string& text, uint64_t* value);
std::string FormatMac(uint64_t value);
// The expectation of a group: given, or derived from its injection.
std::string DerivedExpectation(const DeviceGroup& group);
bool Matches(const std::string& expected, const DeviceResult& r);

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
    bool RunOnce();
    std::string AskForAddress();
    bool Upgrade(const std::string& lentIp, const std::string& serverIp, const std::string& file);
    // Progress in percent over the device's whole upgrade: `done` of `steps` steps finished.
    void Report(int event, int state, size_t done, size_t steps) {
        // A device that reports its outcome leaves its address (it reboots): the server may lend
        // it to the next device as soon as it has the report.
        const std::vector<int> events = EventsOf(m_group.kind);
        if ((event == events.back() && state == 0) || (state >= 2 && state <= 6)) m_sim.ReleaseLease(m_result.index);
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

}  // namespace devsim
