#pragma once
// Lending free addresses on the server's /24: a cursor over the last octet that every request
// advances under one lock, optionally checked with an ICMP probe before an address is lent.
// AddressRequestHandler runs this over its own cursor and lock.
#include <cstdint>
#include <mutex>

constexpr int kAllocIpSize = 64;
constexpr int kAllocBatch = 3;
constexpr int kAllocBatches = 3;
constexpr int kAllocFirstOctet = 10;
constexpr int kAllocLastOctet = 250;

// GetNotUseIp results other than 0.
constexpr int kAllocBadArgument = -1;
constexpr int kAllocNoFreeAddress = -2;  // every candidate answered or could not be probed
constexpr int kAllocNoCursor = -3;       // the cursor holds no address (no run was started)

using PingFunction = int (*)(uint32_t ulDestAddr);

class AddressAllocator {
public:
    // `cursor` is the 64-character next-address text, guarded by `lock`.
    AddressAllocator(char* cursor, std::mutex& lock, PingFunction ping);

    // Sets the cursor to the first three octets of `localIp` and ".10"; false for text that is not IPv4.
    bool ResetCursor(const char* localIp);
    // The next three candidates into three 64-character slots; -1 when `slots` is missing.
    int DistributeThree(char (*slots)[kAllocIpSize]);
    // The address to lend into `out` (64 characters): probed candidates when `probe` is set, else
    // the next octet that is not the server's own. 0, or one of the results above.
    int GetNotUseIp(char* out, const char* localIp, int seq, bool probe);

private:
    int LendProbed(char* out, int seq);
    int LendBlind(char* out, const char* localIp);

    char* m_cursor;
    std::mutex& m_lock;
    PingFunction m_ping;
};
