#pragma once
// What the TFTP tests share: a service started on a temporary root with its log captured, and a
// raw-packet client that talks to it byte by byte.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "_libs/tftp/tftp.h"
#include "_libs/tftp/tftp_interface.h"
#include "log/log.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/wait_until.h"

namespace tftptest {

// Each string NUL-terminated, as requests and OACKs carry them.
inline std::string Bytes(std::initializer_list<std::string> parts) {
    std::string out;
    for (const std::string& p : parts) out += p + std::string(1, '\0');
    return out;
}
inline std::string Op(int opcode, int block = -1) {
    std::string out{static_cast<char>(opcode >> 8), static_cast<char>(opcode & 0xFF)};
    if (block >= 0) out += {static_cast<char>((block >> 8) & 0xFF), static_cast<char>(block & 0xFF)};
    return out;
}
inline std::string Request(int opcode, std::initializer_list<std::string> strings) {
    return Op(opcode) + Bytes(strings);
}
inline std::string Rrq(const std::string& name) {
    return Request(TFTP_RRQ, {name, "octet"});
}
inline std::string Wrq(const std::string& name) {
    return Request(TFTP_WRQ, {name, "octet"});
}
inline std::string Ack(int block) {
    return Op(TFTP_ACK, block);
}
inline std::string Data(int block, const std::string& payload) {
    return Op(TFTP_DATA, block) + payload;
}
inline std::string Error(int code, const std::string& text) {
    return Op(TFTP_ERROR, code) + Bytes({text});
}

inline int Word(const std::string& packet, size_t at) {
    return packet.size() < at + 2
               ? -1
               : (static_cast<unsigned char>(packet[at]) << 8) | static_cast<unsigned char>(packet[at + 1]);
}
inline int Opcode(const std::string& packet) {
    return Word(packet, 0);
}
inline int Block(const std::string& packet) {
    return Word(packet, 2);
}

// Reproducible bytes of any length; `seed` tells files apart.
inline std::string Pattern(size_t size, unsigned seed = 1) {
    std::string s(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& c : s) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
    return s;
}

// One client endpoint on loopback (127.0.0.1 through a v4-mapped address, as the service's
// dual-stack socket sees it): sends to port 69, then talks to whichever port answered.
class RawClient {
public:
    RawClient() {
        m_fd = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        inet_pton(AF_INET6, "::ffff:127.0.0.1", &m_address.sin6_addr);
        m_address.sin6_family = AF_INET6;
        bind(m_fd, reinterpret_cast<sockaddr*>(&m_address), sizeof m_address);
    }
    ~RawClient() { close(m_fd); }
    RawClient(const RawClient&) = delete;
    RawClient& operator=(const RawClient&) = delete;

    void SendToServer(const std::string& packet) { SendTo(packet, 69); }
    // Sends to the transfer port learned from the last packet received.
    void Send(const std::string& packet) { SendTo(packet, m_peerPort); }
    // The first answer to a request sent to port 69.
    std::string Ask(const std::string& request) {
        SendToServer(request);
        return Receive();
    }
    // The next datagram, or an empty string after `timeoutMs`.
    std::string Receive(int timeoutMs = 3000) {
        pollfd p{m_fd, POLLIN, 0};
        if (poll(&p, 1, timeoutMs) <= 0) return {};
        char buffer[70000];
        sockaddr_in6 from{};
        socklen_t length = sizeof from;
        ssize_t n = recvfrom(m_fd, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &length);
        if (n < 0) return {};
        m_peerPort = ntohs(from.sin6_port);
        return std::string(buffer, static_cast<size_t>(n));
    }
    uint16_t PeerPort() const { return m_peerPort; }

private:
    void SendTo(const std::string& packet, uint16_t port) {
        sockaddr_in6 to = m_address;
        to.sin6_port = htons(port);
        sendto(m_fd, packet.data(), packet.size(), 0, reinterpret_cast<sockaddr*>(&to), sizeof to);
    }
    sockaddr_in6 m_address{};
    int m_fd = -1;
    uint16_t m_peerPort = 0;
};

// Starts the service on all addresses over a fresh root, with the time-outs shortened so a retry
// ladder of "5 s" takes a quarter of a second; StopTftp at the end of each test.
class TftpServiceTest : public ::testing::Test {
protected:
    void SetUp() override { m_settings.nTimeUnitMs = 50; }
    void TearDown() override { StopTftp(); }

    // Starts the service with m_settings (a test changes them before, or stops first).
    void Start(const char* address = "") {
        StartTftp(address, m_root.Path().c_str(), m_settings);
        TftpServiceStatus status{};
        ASSERT_EQ(1, GetTftpServiceStatus(&status)) << status.szReason;
    }
    bool LogHas(const std::string& text) const { return m_log.Count(text) > 0; }
    // Waits until the log holds `text`, up to `timeoutMs`.
    bool WaitLog(const std::string& text, int timeoutMs = 5000) const {
        return testsupport::WaitUntil([&] { return LogHas(text); }, timeoutMs);
    }

    TftpConfig m_settings = TftpDefaultConfig();
    testsupport::TempDir m_root;
    testsupport::TempDir m_logDir;
    testsupport::LogCapture m_log{m_logDir.File("tftp.log"), LOG_ALLLOG};
};

}  // namespace tftptest
