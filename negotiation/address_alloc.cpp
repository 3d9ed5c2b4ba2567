#include "negotiation/address_alloc.h"

#include <arpa/inet.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "log/log.h"
#include "negotiation/lease_book.h"
#include "negotiation/ping.h"
#include "platform/local_time.h"

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

AddressAllocator::AddressAllocator(char* cursor, std::mutex& lock, PingFunction ping, LeaseBook* leases)
    : m_cursor(cursor), m_lock(lock), m_ping(ping), m_leases(leases) {}

LeaseBook::Hold AddressAllocator::Take(const char* address, const Holder& holder) {
    using Hold = LeaseBook::Hold;
    if (m_leases == nullptr) return Hold::Taken;
    int64_t now = platform::SteadyMs();
    if (holder.mac == nullptr || holder.mac[0] == '\0') {
        return m_leases->IsHeld(address, now) ? Hold::HeldByAnother : Hold::Taken;
    }
    return m_leases->TryHoldFor(address, holder.mac, now, holder.sender != nullptr ? holder.sender : "");
}

// Every octet a device can be lent (10 to 250 but the server's own) is held.
bool AddressAllocator::RangeFull(const char* localIp) {
    if (m_leases == nullptr) return false;
    long own = LastOctet(localIp);
    std::string prefix = Prefix(localIp);
    int64_t now = platform::SteadyMs();
    char address[kAllocIpSize];
    for (long octet = kAllocFirstOctet; octet <= kAllocLastOctet; ++octet) {
        if (octet == own) continue;
        WriteAddress(address, prefix, octet);
        if (!m_leases->IsHeld(address, now)) return false;
    }
    return true;
}

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

int AddressAllocator::GetNotUseIp(char* out, const char* localIp, int seq, bool probe, const char* holder,
                                  const char* sender) {
    if (out == nullptr || localIp == nullptr) return kAllocBadArgument;
    {
        std::lock_guard<std::mutex> hold(m_lock);
        if (std::strchr(m_cursor, '.') == nullptr) {
            LogMessage(LOG_MAJOR, "*%d* GetNotUseIp no address cursor, m_szNextAllocIp=%s", seq, m_cursor);
            return kAllocNoCursor;
        }
    }
    if (m_leases != nullptr && holder != nullptr && holder[0] != '\0') {
        // A device that asks again is given the address it holds, unprobed (it may answer from
        // it): lending it another would leave the first held for nobody.
        std::string own = m_leases->AddressOf(holder, platform::SteadyMs());
        if (!own.empty()) {
            std::snprintf(out, kAllocIpSize, "%.63s", own.c_str());
            return 0;
        }
    }
    if (m_leases != nullptr && sender != nullptr && !m_leases->SenderMayHold(sender, platform::SteadyMs())) {
        return SenderAtShare(seq, sender);
    }
    if (RangeFull(localIp)) {
        LogMessage(LOG_MAJOR, "*%d* GetNotUseIp every address of the range is held, no reply", seq);
        return kAllocRangeFull;
    }
    const Holder taker{holder, sender};
    return probe ? LendProbed(out, seq, taker) : LendBlind(out, localIp, seq, taker);
}

int AddressAllocator::SenderAtShare(int seq, const char* sender) {
    LogMessage(LOG_SUGGESTIVE, "*%d* GetNotUseIp %s holds its share of unstarted addresses, no reply", seq, sender);
    return kAllocSenderShareFull;
}

int AddressAllocator::LendProbed(char* out, int seq, const Holder& holder) {
    // Held addresses are passed over unprobed and do not use up a batch, so a range held all but
    // a few addresses still finds them; once round the range at most.
    int probedBatches = 0;
    for (int drawn = 0; probedBatches < kAllocBatches && drawn <= kAllocLastOctet - kAllocFirstOctet;
         drawn += kAllocBatch) {
        char slots[kAllocBatch][kAllocIpSize];
        DistributeThree(slots);
        LogMessage(LOG_INFO, "*%d* Distribute Three IP:  \nIP1:%s \nIP2:%s \nIP3:%s\n", seq, slots[0], slots[1],
                   slots[2]);
        bool probed = false;
        // The cursor has already moved past this batch, so the probes run without the lock and
        // concurrent requests probe other addresses.
        for (const char* candidate : slots) {
            if (m_leases != nullptr && m_leases->IsHeld(candidate, platform::SteadyMs())) {
                LogMessage(LOG_INFO, "*%d* IP=%s held by another device", seq, candidate);
                continue;
            }
            probed = true;
            in_addr target{};
            int rc = inet_pton(AF_INET, candidate, &target) == 1 ? m_ping(target.s_addr) : kAllocBadArgument;
            // Taken only now: another request may have been lent it while this one probed.
            if (PingResultIsFree(rc)) {
                LeaseBook::Hold taken = Take(candidate, holder);
                if (taken == LeaseBook::Hold::SenderAtShare) return SenderAtShare(seq, holder.sender);
                if (taken == LeaseBook::Hold::Taken) {
                    std::snprintf(out, kAllocIpSize, "%.63s", candidate);
                    return 0;
                }
            }
            LogMessage(LOG_INFO, "*%d* PingApi IP=%s Error, Rc=%d", seq, candidate, rc);
        }
        if (probed) ++probedBatches;
    }
    return kAllocNoFreeAddress;
}

int AddressAllocator::LendBlind(char* out, const char* localIp, int seq, const Holder& holder) {
    long own = LastOctet(localIp);
    std::lock_guard<std::mutex> hold(m_lock);
    std::string prefix = Prefix(m_cursor);
    long n = LastOctet(m_cursor);
    // Once round the range at most: addresses still held by devices that have no outcome yet are
    // passed over, so a wrapped cursor never lends one twice.
    for (int tried = 0; tried <= kAllocLastOctet - kAllocFirstOctet; ++tried) {
        if (n == own) ++n;
        if (n >= kAllocLastOctet) {
            n = kAllocFirstOctet;
            if (n == own) ++n;
        }
        WriteAddress(out, prefix, n);
        WriteAddress(m_cursor, prefix, n + 1);
        LeaseBook::Hold taken = Take(out, holder);
        if (taken == LeaseBook::Hold::Taken) return 0;
        if (taken == LeaseBook::Hold::SenderAtShare) {
            std::memset(out, 0, kAllocIpSize);
            return SenderAtShare(seq, holder.sender);
        }
        ++n;
    }
    std::memset(out, 0, kAllocIpSize);
    return kAllocRangeFull;
}
