#pragma once
// What the TFTP tests share: a service started on a temporary root with its log captured, and a
// raw-packet client that talks to it byte by byte.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <chrono>
#include <cstdint>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

#include "_libs/tftp/tftp.h"
#include "_libs/tftp/tftp_interface.h"
#include "log/log.h"
#include "support/temp_dir.h"

namespace tftptest {

inline std::string Bytes(std::initializer_list<std::string> parts) {
    std::string out;
    for (const std::string& p : parts) {
        out += p;
        out.push_back('\0');
    }
    return out;
}

inline std::string Op(int opcode, int block = -1) {
    std::string out;
    out.push_back(static_cast<char>(opcode >> 8));
    out.push_back(static_cast<char>(opcode & 0xFF));
    if (block >= 0) {
        out.push_back(static_cast<char>((block >> 8) & 0xFF));
        out.push_back(static_cast<char>(block & 0xFF));
    }
    return out;
}

// A request: opcode, then each string NUL-terminated.
inline std::string Request(int opcode, std::initializer_list<std::string> strings) { return Op(opcode) + Bytes(strings); }
inline std::string Ack(int block) { return Op(TFTP_ACK, block); }
inline std::string Data(int block, const std::string& payload) { return Op(TFTP_DATA, block) + payload; }
inline std::string Error(int code, const std::string& text) { return Op(TFTP_ERROR, code) + text + std::string(1, '\0'); }

inline int Opcode(const std::string& packet) {
    return packet.size() < 2 ? -1 : (static_cast<unsigned char>(packet[0]) << 8) | static_cast<unsigned char>(packet[1]);
}
inline int Block(const std::string& packet) {
    return packet.size() < 4 ? -1 : (static_cast<unsigned char>(packet[2]) << 8) | static_cast<unsigned char>(packet[3]);
}

// One client endpoint: sends to the service's port 69, then talks to whichever port answered.
class RawClient {
public:
    explicit RawClient(bool v6 = false) : m_v6(v6) {
        m_fd = socket(v6 ? AF_INET6 : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        if (v6) {
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_addr = in6addr_loopback;
            bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        } else {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            bind(m_fd, reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
    }
    ~RawClient() { close(m_fd); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    void SendToServer(const std::string& packet, uint16_t port = 69) { SendTo(packet, port); }
    // Sends to the transfer port learned from the last packet received.
    void Send(const std::string& packet) { SendTo(packet, m_peerPort); }
    // The next datagram, or an empty string after `timeoutMs`.
    std::string Receive(int timeoutMs = 3000) {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return {};
        char buffer[70000];
        sockaddr_storage from{};
        socklen_t length = sizeof from;
        ssize_t n = recvfrom(m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) return {};
        m_peerPort = ntohs(from.ss_family == AF_INET6 ? reinterpret_cast<sockaddr_in6*>(&from)->sin6_port
                                                      : reinterpret_cast<sockaddr_in*>(&from)->sin_port);
        return std::string(buffer, static_cast<size_t>(n));
    }
    uint16_t PeerPort() const { return m_peerPort; }

private:
    void SendTo(const std::string& packet, uint16_t port) {
        if (m_v6) {
            sockaddr_in6 a{};
            a.sin6_family = AF_INET6;
            a.sin6_addr = in6addr_loopback;
            a.sin6_port = htons(port);
            sendto(m_fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
        } else {
            sockaddr_in a{};
            a.sin_family = AF_INET;
            a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
            a.sin_port = htons(port);
            sendto(m_fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&a), sizeof a);
        }
    }
    bool m_v6;
    int m_fd = -1;
    uint16_t m_peerPort = 0;
};

// Starts the service on all addresses over a fresh root, with the time-outs shortened so a retry
// ladder of "5 s" takes a quarter of a second; StopTftp at the end of each test.
class TftpServiceTest : public ::testing::Test {
protected:
    void SetUp() override {
        m_logPath = m_logDir.File("tftp.log");
        LogInit(LOG_ALLLOG, m_logPath.c_str());
        g_TftpConfig = TftpDefaultConfig();
        g_TftpConfig.nTimeUnitMs = 50;
    }
    void TearDown() override {
        StopTftp();
        if (getenv("TFTP_TEST_LOG")) std::fprintf(stderr, "%s", Log().c_str());
    }

    void Start(const char* address = "") {
        StartTftp(address, m_root.Path().c_str());
        TftpServiceStatus status{};
        ASSERT_EQ(1, GetTftpServiceStatus(&status)) << status.szReason;
    }
    std::string Log() const { return m_logDir.Read("tftp.log"); }
    bool LogHas(const std::string& text) const { return Log().find(text) != std::string::npos; }
    int LogCount(const std::string& text) const {
        std::string log = Log();
        int count = 0;
        for (size_t at = log.find(text); at != std::string::npos; at = log.find(text, at + 1)) ++count;
        return count;
    }
    // Waits until the log holds `text`, up to `timeoutMs`.
    bool WaitLog(const std::string& text, int timeoutMs = 5000) const {
        auto end = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (std::chrono::steady_clock::now() < end) {
            if (LogHas(text)) return true;
            usleep(10000);
        }
        return LogHas(text);
    }
    std::string Pattern(size_t size, unsigned seed = 1) const {
        std::string s(size, '\0');
        uint32_t x = seed * 2654435761u + 1;
        for (size_t i = 0; i < size; ++i) {
            x = x * 1103515245u + 12345u;
            s[i] = static_cast<char>(x >> 16);
        }
        return s;
    }

    testsupport::TempDir m_root;
    testsupport::TempDir m_logDir;
    std::string m_logPath;
};

}  // namespace tftptest
