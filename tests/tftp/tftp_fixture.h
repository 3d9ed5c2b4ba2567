#pragma once
// What the TFTP tests share: a service started on a temporary root with its log captured, and a
// raw-packet client that talks to it byte by byte.
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdint>
#include <string>
#include <vector>

#include "_libs/tftp/tftp.h"
#include "_libs/tftp/tftp_interface.h"
#include "log/log.h"
#include "support/log_capture.h"
#include "support/temp_dir.h"
#include "support/udp_peer.h"
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
// A packet as "opcode/block", an ERROR as "opcode/code:text".
inline std::string Summary(const std::string& packet) {
    std::string out = std::to_string(Opcode(packet)) + "/" + std::to_string(Block(packet));
    if (Opcode(packet) == TFTP_ERROR) out += ":" + packet.substr(4, packet.size() - 5);
    return out;
}

// Reproducible bytes of any length; `seed` tells files apart.
inline std::string Pattern(size_t size, unsigned seed = 1) {
    std::string s(size, '\0');
    uint32_t x = seed * 2654435761u + 1;
    for (char& c : s) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 16);
    return s;
}

// One client endpoint on loopback: sends to port 69, then talks to whichever port answered.
class RawClient : public testsupport::UdpPeer {
public:
    // `ip` tells clients apart: any 127.x.y.z is ours on loopback.
    explicit RawClient(const char* ip = "127.0.0.1") : UdpPeer(ip) {}
    void SendToServer(const std::string& packet) { SendTo(packet, "127.0.0.1", 69); }
    // Sends to the transfer port learned from the last packet received.
    void Send(const std::string& packet) { SendTo(packet, "127.0.0.1", m_peerPort); }
    // The first answer to a request sent to port 69.
    std::string Ask(const std::string& request) {
        SendToServer(request);
        return Receive();
    }
    // The next datagram, or an empty string after `timeoutMs`.
    std::string Receive(int timeoutMs = 3000) { return Next(timeoutMs, &m_peerPort); }
    uint16_t PeerPort() const { return m_peerPort; }

private:
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
    // Starts again with settings changed since the last start.
    void Restart() {
        StopTftp();
        Start();
    }
    // Waits until the log holds `text`, up to `timeoutMs`.
    bool WaitLog(const std::string& text, int timeoutMs = 5000) const {
        return testsupport::WaitUntil([&] { return m_log.Count(text) > 0; }, timeoutMs);
    }

    TftpConfig m_settings = TftpDefaultConfig();
    testsupport::TempDir m_root;
    testsupport::LogCapture m_log{LOG_ALLLOG};
};

}  // namespace tftptest
