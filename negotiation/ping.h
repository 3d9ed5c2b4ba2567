#pragma once
// The ICMP echo probe that tells whether a candidate address is already taken before it is lent.
#include <cstddef>
#include <cstdint>

constexpr size_t kPingPacketSize = 45;
constexpr uint16_t kPingIdentifier = 216;
constexpr int kPingWaitMs = 100;

// PingApi results. 1 or more is the round-trip time of an echo reply (the address is in use).
constexpr int kPingTimedOut = -997;      // no reply in time: free
// Destination unreachable from a router on the path: free. From the target itself (a host
// firewall) it counts as an answer, like an echo reply: the round-trip time.
constexpr int kPingUnreachable = -995;
constexpr int kPingTimeExceeded = -994;  // time exceeded: free
constexpr int kPingSocketDenied = 500;   // no right to open an ICMP socket
constexpr int kPingSocketFailed = 501;
constexpr int kPingSendDenied = 504;
constexpr int kPingSendFailed = 505;  // also when fewer than 45 bytes went out
constexpr int kPingWaitFailed = 506;
constexpr int kPingReceiveFailed = 507;

// Which ICMP socket a probe uses. Automatic tries the raw socket and falls back to the
// unprivileged ICMP datagram socket (net.ipv4.ping_group_range) when raw sockets are denied.
enum class PingSocketMode { Automatic, RawOnly, DatagramOnly };
void SetPingSocketMode(PingSocketMode mode);

// Sends one echo request to `ulDestAddr` (IPv4, network byte order) and waits up to 100 ms.
// For results 504 to 507 errno holds the socket error after the socket is closed.
int PingApi(uint32_t ulDestAddr);
// Whether a probe could open its socket now: 0, or kPingSocketDenied / kPingSocketFailed (errno set).
// Sends nothing.
int CheckPingSocket();
// True for the results that let the address be lent: -997, -995, -994.
bool PingResultIsFree(int result);

// The probe packet: type 8, identifier 216, sequence and tick little-endian, pattern 0x20..0x3F,
// with its checksum filled in.
void BuildPingPacket(uint8_t* packet, uint16_t sequence, uint32_t tick);
// RFC 1071 over `size` bytes read as little-endian words (an odd last byte is a word with a zero
// high byte); the result is stored little-endian as well.
uint16_t PingChecksum(const uint8_t* data, size_t size);
