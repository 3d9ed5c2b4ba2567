#pragma once
// Answering a device's address request: is there a newer file for its model, and if so which
// address it borrows. The handler owns what only requests use: the server's MAC, the lending
// cursor and the two check boxes that the request threads read live.
#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "firmware/upgrade_scan.h"
#include "negotiation/lease_book.h"

// Where the handler tells what it decided, before or as the device hears it.
class IAddressRequestEvents {
public:
    virtual ~IAddressRequestEvents() = default;
    // A request of the device came from `sender` and is being answered; before any lease its
    // reports are tied to that address.
    virtual void OnRequestFrom(const char* /*mac*/, const char* /*sender*/) {}
    // The device was told there is nothing newer for it.
    virtual void OnNoUpgrade(const char* mac, const char* model, const char* versionBefore) = 0;
    // The device is about to be offered `entry` and lent `address`: from here its reports are tied to it.
    // False when the run cannot take on another device: it is then not answered.
    virtual bool OnOffered(const char* mac, const char* model, const char* versionBefore, const UpgradeFileInfo& entry,
                           const char* address) = 0;
    // Whether catalogue entry `index` may still be offered (its file is still the one catalogued).
    // A withdrawn entry is passed over as if the folder did not hold it.
    virtual bool StillOffered(size_t index) = 0;
};

class AddressRequestHandler {
public:
    // `localIp` (64 characters) is the run's address; `catalogue` is read without a lock, as it
    // is rebuilt only before the run's threads start.
    AddressRequestHandler(const char* localIp, const std::vector<UpgradeFileInfo>& catalogue,
                          IAddressRequestEvents& events)
        : m_localIp(localIp), m_catalogue(catalogue), m_events(events) {}

    // `sender`: the request's source address as text, or null when it is not known.
    void RequestIpaddrProc(const char* text, int seq, const char* sender = nullptr);
    // Broadcasts a reply (text and its NUL) from the local address to port 10010: 0 sent, -1 no
    // socket, -2 cannot bind to the local address.
    int SendToIPC(const char* szMsg, int nLen);
    // The next three candidates into three 64-character slots; 0, or -1 without slots.
    int DistributeThreeNotUseIPArr(char (*szAllocIpArr)[64]);
    // The address to lend to a device (64 characters, zero-filled by the caller): 0, or non-zero
    // when no address can be lent.
    int GetNotUseIp(char* szNewIp, const char* szLocalIp, int seq);

    // The server's MAC with ":" separators, set when a run starts.
    char m_szLocalMac[256] = {};
    // Check box 1009 "强制升级旧版本".
    std::atomic<int32_t> m_bForceUpgrade{0};
    // The next address to lend (its first three octets are every lent address's prefix).
    char m_szNextAllocIp[64] = {};
    std::mutex m_csAllocIp;
    // Check box 1014 "IP占用检测".
    std::atomic<int32_t> m_bIpCheck{0};
    // Who holds which lent address; emptied when a run starts.
    LeaseBook m_leases;
    // Address requests left unanswered because every address of the range was held.
    std::atomic<int> m_nRangeFullRequests{0};

private:
    const char* m_localIp;
    const std::vector<UpgradeFileInfo>& m_catalogue;
    IAddressRequestEvents& m_events;
};
