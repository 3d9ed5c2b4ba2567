#pragma once
// Which addresses of the run are held, and by whom. An address lent to a device stays its own
// until the device reaches an outcome, or until it has not started using it within the start
// window: an invented request then cannot keep an address from the devices that need one. One
// request sender holds at most a share of the range in unstarted leases, so a single host inventing
// MACs cannot hold the rest of the range from the devices beside it.
#include <cstdint>
#include <mutex>
#include <string>
#include <unordered_map>

class LeaseBook {
public:
    static constexpr int64_t kDefaultStartWindowMs = 60000;
    // About half the range: devices that share one address (factory defaults, a simulator) start
    // their downloads within seconds, so only their unstarted leases count against it.
    static constexpr int kSenderShare = 120;

    void Clear();
    void SetStartWindowMs(int64_t ms);

    enum class Hold { Taken, HeldByAnother, SenderAtShare };
    // Holds `address` for `mac`, asked for from `sender` (the device's earlier lease, if any,
    // ends), unless another device holds it or, for a known sender, the unstarted leases asked
    // for from there reach the share.
    Hold TryHoldFor(const std::string& address, const std::string& mac, int64_t nowMs, const std::string& sender);
    bool TryHold(const std::string& address, const std::string& mac, int64_t nowMs) {
        return TryHoldFor(address, mac, nowMs, {}) == Hold::Taken;
    }
    // Whether a request from `sender` may be lent another address (a first look that spares the
    // probes; the hold itself decides). Always true for an unknown sender.
    bool SenderMayHold(const std::string& sender, int64_t nowMs);
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
        std::string sender;
        int64_t lentMs = 0;
        bool started = false;
    };
    bool LiveLocked(const Lease& lease, int64_t nowMs) const;
    // Whether `sender`'s unstarted leases, other than one of `mac`, reach the share.
    bool SenderAtShareLocked(const std::string& sender, const std::string& mac, int64_t nowMs) const;
    // Drops the lease at `address` if it has expired; the lease left there, or null.
    Lease* FindLocked(const std::string& address, int64_t nowMs);
    void EraseLocked(const std::string& address);

    std::mutex m_mutex;
    int64_t m_startWindowMs = kDefaultStartWindowMs;
    std::unordered_map<std::string, Lease> m_byAddress;
    std::unordered_map<std::string, std::string> m_byMac;  // mac -> address
};
