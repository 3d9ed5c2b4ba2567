#include "negotiation/lease_book.h"

void LeaseBook::Clear() {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_byAddress.clear();
    m_byMac.clear();
}

void LeaseBook::SetStartWindowMs(int64_t ms) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_startWindowMs = ms;
}

bool LeaseBook::LiveLocked(const Lease& lease, int64_t nowMs) const {
    return lease.started || nowMs - lease.lentMs < m_startWindowMs;
}

void LeaseBook::EraseLocked(const std::string& address) {
    auto found = m_byAddress.find(address);
    if (found == m_byAddress.end()) return;
    m_byMac.erase(found->second.mac);
    m_byAddress.erase(found);
}

LeaseBook::Lease* LeaseBook::FindLocked(const std::string& address, int64_t nowMs) {
    auto found = m_byAddress.find(address);
    if (found == m_byAddress.end()) return nullptr;
    if (LiveLocked(found->second, nowMs)) return &found->second;
    EraseLocked(address);
    return nullptr;
}

bool LeaseBook::SenderAtShareLocked(const std::string& sender, const std::string& mac, int64_t nowMs) const {
    if (sender.empty()) return false;
    int unstarted = 0;
    for (const auto& [address, lease] : m_byAddress) {
        if (!lease.started && lease.sender == sender && lease.mac != mac && LiveLocked(lease, nowMs)) ++unstarted;
    }
    return unstarted >= kSenderShare;
}

LeaseBook::Hold LeaseBook::TryHoldFor(const std::string& address, const std::string& mac, int64_t nowMs,
                                      const std::string& sender) {
    std::lock_guard<std::mutex> lock(m_mutex);
    const Lease* held = FindLocked(address, nowMs);
    if (held != nullptr && held->mac != mac) return Hold::HeldByAnother;
    if (SenderAtShareLocked(sender, mac, nowMs)) return Hold::SenderAtShare;
    auto earlier = m_byMac.find(mac);
    if (earlier != m_byMac.end()) EraseLocked(std::string(earlier->second));
    Lease lease;
    lease.mac = mac;
    lease.sender = sender;
    lease.lentMs = nowMs;
    m_byAddress[address] = lease;
    m_byMac[mac] = address;
    return Hold::Taken;
}

bool LeaseBook::SenderMayHold(const std::string& sender, int64_t nowMs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return !SenderAtShareLocked(sender, {}, nowMs);
}

bool LeaseBook::IsHeld(const std::string& address, int64_t nowMs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    return FindLocked(address, nowMs) != nullptr;
}

std::string LeaseBook::AddressOf(const std::string& mac, int64_t nowMs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_byMac.find(mac);
    if (found == m_byMac.end()) return {};
    std::string address = found->second;
    return FindLocked(address, nowMs) != nullptr ? address : std::string();
}

void LeaseBook::MarkStarted(const std::string& mac, int64_t nowMs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_byMac.find(mac);
    if (found == m_byMac.end()) return;
    // A lease that ran out before the device was heard stays ended: its address may be lent again.
    if (Lease* lease = FindLocked(std::string(found->second), nowMs)) lease->started = true;
}

void LeaseBook::MarkAddressStarted(const std::string& address, int64_t nowMs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    if (Lease* lease = FindLocked(address, nowMs)) lease->started = true;
}

void LeaseBook::Release(const std::string& mac) {
    std::lock_guard<std::mutex> lock(m_mutex);
    auto found = m_byMac.find(mac);
    if (found != m_byMac.end()) EraseLocked(std::string(found->second));
}

int LeaseBook::HeldCount(int64_t nowMs) {
    std::lock_guard<std::mutex> lock(m_mutex);
    int held = 0;
    for (const auto& [address, lease] : m_byAddress) held += LiveLocked(lease, nowMs) ? 1 : 0;
    return held;
}
