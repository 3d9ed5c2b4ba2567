#include "negotiation/address_alloc.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "log/log.h"
#include "negotiation/ping.h"

namespace {

// Everything up to and including the last "." of `text`; empty when there is no ".".
std::string Prefix(const char* text) {
    const char* dot = std::strrchr(text, '.');
    return dot == nullptr ? std::string() : std::string(text, static_cast<size_t>(dot - text + 1));
}

long LastOctet(const char* text) {
    const char* dot = std::strrchr(text, '.');
    return std::atol(dot == nullptr ? text : dot + 1);
}

void WriteAddress(char* out, const std::string& prefix, long octet) {
    std::snprintf(out, kAllocIpSize, "%s%ld", prefix.c_str(), octet);
}

}  // namespace

AddressAllocator::AddressAllocator(char* cursor, std::mutex& lock, PingFunction ping)
    : m_cursor(cursor), m_lock(lock), m_ping(ping) {}

bool AddressAllocator::ResetCursor(const char* localIp) {
    in_addr parsed{};
    if (localIp == nullptr || inet_pton(AF_INET, localIp, &parsed) != 1) return false;
    std::lock_guard<std::mutex> hold(m_lock);
    WriteAddress(m_cursor, Prefix(localIp), kAllocFirstOctet);
    return true;
}

int AddressAllocator::DistributeThree(char (*slots)[kAllocIpSize]) {
    if (slots == nullptr) {
        LogMessage(LOG_MAJOR, "DistributeThreeNotUseIPArr szAllocIpArr == NULL");
        return -1;
    }
    std::memset(slots, 0, kAllocBatch * kAllocIpSize);
    std::lock_guard<std::mutex> hold(m_lock);
    std::string prefix = Prefix(m_cursor);
    long v = LastOctet(m_cursor);
    long octets[kAllocBatch];
    long next;
    if (v >= kAllocLastOctet) {
        octets[0] = v, octets[1] = kAllocFirstOctet, octets[2] = kAllocFirstOctet + 1;
        next = kAllocFirstOctet + 2;
    } else if (v == kAllocLastOctet - 1) {
        octets[0] = v, octets[1] = kAllocLastOctet, octets[2] = kAllocFirstOctet;
        next = kAllocFirstOctet + 1;
    } else if (v == kAllocLastOctet - 2) {
        octets[0] = v, octets[1] = v + 1, octets[2] = kAllocLastOctet;
        next = kAllocFirstOctet;
    } else {
        octets[0] = v, octets[1] = v + 1, octets[2] = v + 2;
        next = v + 3;
    }
    for (int i = 0; i < kAllocBatch; ++i) WriteAddress(slots[i], prefix, octets[i]);
    WriteAddress(m_cursor, prefix, next);
    return 0;
}

int AddressAllocator::GetNotUseIp(char* out, const char* localIp, int seq, bool probe) {
    if (out == nullptr || localIp == nullptr) return kAllocBadArgument;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (std::strchr(m_cursor, '.') == nullptr) {
            LogMessage(LOG_MAJOR, "*%d* GetNotUseIp no address cursor, m_szNextAllocIp=%s", seq, m_cursor);
            return kAllocNoCursor;
        }
    }
    return probe ? LendProbed(out, seq) : LendBlind(out, localIp);
}

int AddressAllocator::LendProbed(char* out, int seq) {
    for (int batch = 0; batch < kAllocBatches; ++batch) {
        char slots[kAllocBatch][kAllocIpSize];
        DistributeThree(slots);
        LogMessage(LOG_INFO, "*%d* Distribute Three IP:  \nIP1:%s \nIP2:%s \nIP3:%s\n", seq, slots[0], slots[1],
                   slots[2]);
        // The cursor has already moved past this batch, so the probes run without the lock and
        // concurrent requests probe other addresses.
        for (const char* candidate : slots) {
            in_addr target{};
            int rc = inet_pton(AF_INET, candidate, &target) == 1 ? m_ping(target.s_addr) : kAllocBadArgument;
            if (PingResultIsFree(rc)) {
                std::snprintf(out, kAllocIpSize, "%.63s", candidate);
                return 0;
            }
            LogMessage(LOG_INFO, "*%d* PingApi IP=%s Error, Rc=%d", seq, candidate, rc);
        }
    }
    return kAllocNoFreeAddress;
}

int AddressAllocator::LendBlind(char* out, const char* localIp) {
    long own = LastOctet(localIp);
    std::lock_guard<std::mutex> hold(m_lock);
    std::string prefix = Prefix(m_cursor);
    long n = LastOctet(m_cursor);
    if (n == own) ++n;
    if (n >= kAllocLastOctet) {
        n = kAllocFirstOctet;
        if (n == own) ++n;
    }
    WriteAddress(out, prefix, n);
    WriteAddress(m_cursor, prefix, n + 1);
    return 0;
}
