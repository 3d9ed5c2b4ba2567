#include "tools/devsim/tftp_client.h"

#include <arpa/inet.h>
#include <strings.h>
#include <unistd.h>
#include <zlib.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <thread>
#include <vector>

#include "platform/byte_reader.h"
#include "platform/udp_socket.h"

namespace devsim {

namespace {

constexpr int kOpRrq = 1;
constexpr int kOpData = 3;
constexpr int kOpAck = 4;
constexpr int kOpError = 5;
constexpr int kOpOack = 6;
constexpr int kSliceMs = 50;  // how often a wait looks at the stop flag

using Clock = std::chrono::steady_clock;

std::string Word(int value) {
    return {static_cast<char>((value >> 8) & 0xFF), static_cast<char>(value & 0xFF)};
}
int Word(const std::string& packet, size_t at) {
    platform::ByteReader reader(packet.data(), packet.size());
    uint16_t value = 0;
    return reader.Seek(at) && reader.Be16(&value) ? value : -1;
}
void AddString(std::string& packet, const std::string& text) {
    packet += text + std::string(1, '\0');
}

std::string ReadRequest(const TftpClientOptions& o) {
    std::string rrq = Word(kOpRrq);
    AddString(rrq, o.fileName);
    AddString(rrq, "octet");
    AddString(rrq, "timeout");
    AddString(rrq, std::to_string(o.timeoutSec));
    AddString(rrq, "tsize");
    AddString(rrq, "0");
    AddString(rrq, "blksize");
    AddString(rrq, std::to_string(o.blockSize));
    if (o.windowSize > 0) {
        AddString(rrq, "windowsize");
        AddString(rrq, std::to_string(o.windowSize));
    }
    return rrq;
}

std::string ErrorPacket(int code, const char* text) {
    std::string packet = Word(kOpError) + Word(code);
    AddString(packet, text);
    return packet;
}

class Session {
public:
    Session(const TftpClientOptions& o) : m_o(o) {}

    std::string Open() {
        m_socket = platform::UdpSocket::OpenIPv4();
        if (!m_socket.Valid()) return std::string("socket: ") + std::strerror(errno);
        if (int err = m_socket.Bind(m_o.localIp.c_str(), 0); err != 0) {
            return "cannot bind to " + m_o.localIp + ": " + std::strerror(err);
        }
        if (!platform::ParseIPv4(m_o.serverIp.c_str(), &m_server)) return "bad server address " + m_o.serverIp;
        return {};
    }
    bool Stopped() const { return m_o.stopped && m_o.stopped(); }
    void Send(const std::string& packet, uint16_t port) {
        if (m_o.drop && m_o.drop()) return;
        m_socket.SendTo(packet.data(), packet.size(), platform::MakeSockaddrIn(m_server, port));
    }
    void SendToPeer(const std::string& packet) { Send(packet, m_peerPort); }

    // The next packet of this transfer, or empty after `waitMs` (or at a stop).
    std::string Receive(int waitMs) {
        const auto end = Clock::now() + std::chrono::milliseconds(waitMs);
        std::vector<char> buffer(65536);
        while (!Stopped()) {
            auto left = std::chrono::duration_cast<std::chrono::milliseconds>(end - Clock::now()).count();
            if (left <= 0) break;
            if (m_socket.WaitReadable(static_cast<int>(std::min<long long>(left, kSliceMs))) != 1) continue;
            sockaddr_in from{};
            long n = m_socket.ReceiveFrom(buffer.data(), buffer.size(), &from);
            if (n < 0 || from.sin_addr.s_addr != m_server.s_addr) continue;
            if (m_o.drop && m_o.drop()) continue;
            uint16_t port = ntohs(from.sin_port);
            if (m_peerPort == 0) m_peerPort = port;
            if (port != m_peerPort) {
                Send(ErrorPacket(5, "Unknown transfer ID"), port);
                continue;
            }
            return std::string(buffer.data(), static_cast<size_t>(std::min<long>(n, 65536)));
        }
        return {};
    }

private:
    const TftpClientOptions& m_o;
    platform::UdpSocket m_socket;
    in_addr m_server{};
    uint16_t m_peerPort = 0;
};

// Applies the OACK; an empty result when this side accepts it, otherwise why not.
std::string AcceptOack(const std::string& packet, const TftpClientOptions& o, TftpClientResult& r) {
    std::vector<std::string> fields;
    size_t at = 2;
    while (at < packet.size()) {
        size_t end = packet.find('\0', at);
        if (end == std::string::npos) return "unterminated option in the OACK";
        fields.push_back(packet.substr(at, end - at));
        at = end + 1;
    }
    if (fields.size() % 2 != 0) return "option without value in the OACK";
    r.blockSize = 512;
    r.windowSize = 1;
    for (size_t i = 0; i < fields.size(); i += 2) {
        const char* name = fields[i].c_str();
        long value = std::strtol(fields[i + 1].c_str(), nullptr, 10);
        if (strcasecmp(name, "blksize") == 0) {
            if (value > o.blockSize || value < 8)
                return "OACK blksize " + fields[i + 1] + " (asked for " + std::to_string(o.blockSize) + ")";
            r.blockSize = static_cast<int>(value);
        } else if (strcasecmp(name, "timeout") == 0) {
            if (value != o.timeoutSec)
                return "OACK timeout " + fields[i + 1] + " (asked for " + std::to_string(o.timeoutSec) + ")";
        } else if (strcasecmp(name, "tsize") == 0) {
            r.tsize = std::strtoll(fields[i + 1].c_str(), nullptr, 10);
        } else if (strcasecmp(name, "windowsize") == 0) {
            if (o.windowSize <= 0 || value < 1 || value > o.windowSize) return "OACK windowsize " + fields[i + 1];
            r.windowSize = static_cast<int>(value);
        }
    }
    return {};
}

void Pause(const Session& session, int ms) {
    const auto end = Clock::now() + std::chrono::milliseconds(ms);
    while (!session.Stopped() && Clock::now() < end) std::this_thread::sleep_for(std::chrono::milliseconds(10));
}

}  // namespace

TftpClientResult TftpDownload(const TftpClientOptions& o, int fd) {
    TftpClientResult r;
    const int waitMs = o.timeoutSec * o.timeUnitMs;
    for (int attempt = 0; attempt < o.attempts; ++attempt) {
        Session session(o);
        if (session.Stopped()) {
            r.error = "stopped";
            return r;
        }
        if (std::string why = session.Open(); !why.empty()) {
            r.error = why;
            return r;
        }
        if (ftruncate(fd, 0) != 0) {
            r.error = std::string("cannot truncate the download file: ") + std::strerror(errno);
            return r;
        }
        r.error.clear();
        r.bytes = 0;
        r.tsize = -1;
        r.blockSize = 512;
        r.windowSize = 1;
        uLong crc = crc32(0, Z_NULL, 0);
        session.Send(ReadRequest(o), o.serverPort);
        ++r.requests;

        uint32_t expected = 1;  // next block, counted past 65535; the wire carries its low 16 bits
        int timeouts = 0;
        int sinceAck = 0;
        bool started = false;
        auto ack = [&] {
            session.SendToPeer(Word(kOpAck) + Word(static_cast<int>((expected - 1) & 0xFFFF)));
            sinceAck = 0;
        };
        for (;;) {
            std::string packet = session.Receive(waitMs);
            if (session.Stopped()) {
                r.error = "stopped";
                return r;
            }
            if (packet.empty()) {
                if (!started) break;  // no answer to the request: ask again
                if (++timeouts > o.retries) {
                    r.error = "transfer timed out at block " + std::to_string(expected);
                    break;
                }
                ack();
                continue;
            }
            const int op = Word(packet, 0);
            if (op == kOpError) {
                r.serverError = Word(packet, 2);
                r.error = "server sent ERROR " + std::to_string(r.serverError) + " \"" +
                          std::string(packet.size() > 4 ? packet.c_str() + 4 : "") + "\"";
                return r;
            }
            if (op == kOpOack) {
                if (started) {
                    if (expected == 1) ack();
                    continue;
                }
                if (std::string why = AcceptOack(packet, o, r); !why.empty()) {
                    session.SendToPeer(ErrorPacket(8, "Option negotiation failed"));
                    r.error = "refused " + why;
                    return r;
                }
                started = true;
                ack();
                continue;
            }
            if (op != kOpData || packet.size() < 4) continue;
            if (!started) started = true;  // the server ignored every option: plain 512-byte blocks
            if (Word(packet, 2) != static_cast<int>(expected & 0xFFFF)) {
                ack();  // a repeat or a gap: tell the server where this side stands
                continue;
            }
            const size_t length = packet.size() - 4;
            if (length > static_cast<size_t>(r.blockSize)) continue;
            const off_t offset = static_cast<off_t>(expected - 1) * r.blockSize;
            if (length > 0 && pwrite(fd, packet.data() + 4, length, offset) != static_cast<ssize_t>(length)) {
                r.error = std::string("cannot store the download: ") + std::strerror(errno);
                session.SendToPeer(ErrorPacket(3, "Disk full or allocation exceeded"));
                return r;
            }
            crc = crc32(crc, reinterpret_cast<const Bytef*>(packet.data() + 4), static_cast<uInt>(length));
            r.bytes += length;
            r.crc32 = static_cast<uint32_t>(crc);
            timeouts = 0;
            const uint32_t got = expected++;
            ++sinceAck;
            if (o.onProgress) o.onProgress();
            if (o.stallBlock == got && o.stallMs > 0) {
                if (o.onStall) o.onStall();
                Pause(session, o.stallMs);
            }
            if (o.abandonHalfway && r.bytes * 2 >= static_cast<uint64_t>(std::max<int64_t>(r.tsize, 1))) {
                r.abandoned = true;
                r.error = "vanished after block " + std::to_string(got);
                return r;
            }
            if (length < static_cast<size_t>(r.blockSize)) {
                if (!o.noLastAck) ack();
                r.ok = true;
                return r;
            }
            if (sinceAck >= r.windowSize) ack();
        }
    }
    if (r.error.empty()) r.error = "no answer to " + std::to_string(r.requests) + " read requests";
    return r;
}

}  // namespace devsim
