#pragma once
// Which addresses of the run are held, and by whom. An address lent to a device stays its own
// until the device reaches an outcome, or until it has not started using it within the start
// window: an invented request then cannot keep an address from the devices that need one.
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

class LeaseBook {
public:
    static constexpr int64_t kDefaultStartWindowMs = 60000;

    void Clear();
    void SetStartWindowMs(int64_t ms);

    // Holds `address` for `mac` (the device's earlier lease, if any, ends). False when another
    // device holds it.
    bool TryHold(const std::string& address, const std::string& mac, int64_t nowMs);
    bool IsHeld(const std::string& address, int64_t nowMs);
    // The address `mac` holds, empty when it holds none.
    std::string AddressOf(const std::string& mac, int64_t nowMs);
    // The device was heard from its address: from now on only its outcome ends the lease.
    void MarkStarted(const std::string& mac, int64_t nowMs);
    // The same, for the device holding `address` (a download came from it).
    void MarkAddressStarted(const std::string& address, int64_t nowMs);
    // The device has its outcome.
    void Release(const std::string& mac);
    int HeldCount(int64_t nowMs);

private:
    struct Lease {
        std::string mac;
        int64_t lentMs = 0;
        bool started = false;
    };
    bool LiveLocked(const Lease& lease, int64_t nowMs) const;
    // Drops the lease at `address` if it has expired; the lease left there, or null.
    Lease* FindLocked(const std::string& address, int64_t nowMs);
    void EraseLocked(const std::string& address);

    std::mutex m_mutex;
    int64_t m_startWindowMs = kDefaultStartWindowMs;
    std::unordered_map<std::string, Lease> m_byAddress;
    std::unordered_map<std::string, std::string> m_byMac;  // mac -> address
};
