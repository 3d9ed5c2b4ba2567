#pragma once
// Lending free addresses on the server's /24: a cursor over the last octet that every request
// advances under one lock, optionally checked with an ICMP probe before an address is lent.
// AddressRequestHandler runs this over its own cursor and lock.
#include <cstdint>
#include <mutex>

#include "negotiation/lease_book.h"

constexpr int kAllocIpSize = 64;
constexpr int kAllocBatch = 3;
constexpr int kAllocBatches = 3;
constexpr int kAllocFirstOctet = 10;
constexpr int kAllocLastOctet = 250;

// GetNotUseIp results other than 0.
constexpr int kAllocBadArgument = -1;
constexpr int kAllocNoFreeAddress = -2;  // every candidate answered or could not be probed
constexpr int kAllocNoCursor = -3;       // the cursor holds no address (no run was started)
constexpr int kAllocRangeFull = -4;      // every address of the range is held by a device
constexpr int kAllocSenderShareFull = -5;  // the request's sender holds its share of unstarted leases

using PingFunction = int (*)(uint32_t ulDestAddr);

class AddressAllocator {
public:
    // `cursor` is the 64-character next-address text, guarded by `lock`.
    // With `leases`, an address held by another device is never lent, and a lent one is held.
    AddressAllocator(char* cursor, std::mutex& lock, PingFunction ping, LeaseBook* leases = nullptr);

    // Sets the cursor to the first three octets of `localIp` and ".10"; false for text that is not IPv4.
    bool ResetCursor(const char* localIp);
    // The next three candidates into three 64-character slots; -1 when `slots` is missing.
    int DistributeThree(char (*slots)[kAllocIpSize]);
    // The address to lend into `out` (64 characters): probed candidates when `probe` is set, else
    // the next octet that is not the server's own. 0, or one of the results above. With a lease
    // book, `holder` (the device's MAC) holds what it is lent, and keeps the address it holds;
    // `sender` (the request's source address) is lent nothing new once it holds its share.
    int GetNotUseIp(char* out, const char* localIp, int seq, bool probe, const char* holder = nullptr,
                    const char* sender = nullptr);

private:
    struct Holder {
        const char* mac;
        const char* sender;
    };
    int LendProbed(char* out, int seq, const Holder& holder);
    int LendBlind(char* out, const char* localIp, int seq, const Holder& holder);
    // Takes `address` for `holder`, unless another device holds it or the holder's sender is at its share.
    LeaseBook::Hold Take(const char* address, const Holder& holder);
    int SenderAtShare(int seq, const char* sender);  // logs the refusal
    bool RangeFull(const char* localIp);

    char* m_cursor;
    std::mutex& m_lock;
    PingFunction m_ping;
    LeaseBook* m_leases;
};
