#include "tools/devsim/sim_device.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <set>

#include "messaging/msg_format.h"
#include "tools/devsim/firmware_check.h"
#include "tools/devsim/tftp_client.h"

namespace devsim {

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

bool DeviceSimulator::Device::RunOnce() {
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

std::string DeviceSimulator::Device::AskForAddress() {
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

bool DeviceSimulator::Device::Upgrade(const std::string& lentIp, const std::string& serverIp, const std::string& file) {
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

}  // namespace devsim
