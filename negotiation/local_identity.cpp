#include "negotiation/local_identity.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <net/if.h>
#include <netinet/in.h>
#include <netpacket/packet.h>
#include <sys/socket.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

namespace {

struct IfAddrsList {
    ifaddrs* head = nullptr;
    IfAddrsList() {
        if (getifaddrs(&head) != 0) head = nullptr;
    }
    ~IfAddrsList() {
        if (head != nullptr) freeifaddrs(head);
    }
    IfAddrsList(const IfAddrsList&) = delete;
    IfAddrsList& operator=(const IfAddrsList&) = delete;
};

bool IsUpIPv4(const ifaddrs* ifa) {
    return ifa->ifa_addr != nullptr && ifa->ifa_addr->sa_family == AF_INET && (ifa->ifa_flags & IFF_UP) != 0;
}

// An address with a label ("veth0:1") belongs to the interface before the colon.
unsigned InterfaceIndex(const char* name) {
    std::string base(name);
    size_t colon = base.find(':');
    if (colon != std::string::npos) base.resize(colon);
    return if_nametoindex(base.c_str());
}

bool HasHardwareAddress(const sockaddr_ll* link) {
    if (link->sll_halen != 6) return false;
    for (int i = 0; i < 6; ++i) {
        if (link->sll_addr[i] != 0) return true;
    }
    return false;
}

void FormatMac(const unsigned char* mac, char* out) {
    std::snprintf(out, kLocalMacTextSize, "%02X-%02X-%02X-%02X-%02X-%02X", mac[0], mac[1], mac[2], mac[3], mac[4],
                  mac[5]);
}

}  // namespace

int GetLocalIpList(char szIpList[kLocalIpMaxCount][kLocalIpSlotSize]) {
    if (szIpList == nullptr) return 0;
    IfAddrsList list;
    int count = 0;
    // Loopback addresses last: the operator chooses among the first entries, and the first is preselected.
    for (bool loopbackPass : {false, true}) {
        for (const ifaddrs* ifa = list.head; ifa != nullptr && count < kLocalIpMaxCount; ifa = ifa->ifa_next) {
            if (!IsUpIPv4(ifa)) continue;
            if (((ifa->ifa_flags & IFF_LOOPBACK) != 0) != loopbackPass) continue;
            const auto* in = reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr);
            if (inet_ntop(AF_INET, &in->sin_addr, szIpList[count], kLocalIpSlotSize) != nullptr) ++count;
        }
    }
    return count;
}

int GetMacAddress(char* szMac, const char* szLocalIp) {
    if (szMac == nullptr) return kMacErrorBadArgument;
    szMac[0] = '\0';
    IfAddrsList list;
    if (list.head == nullptr) return kMacErrorNoInterfaces;

    unsigned wantedIndex = 0;
    in_addr wanted{};
    if (szLocalIp != nullptr && inet_pton(AF_INET, szLocalIp, &wanted) == 1) {
        for (const ifaddrs* ifa = list.head; ifa != nullptr; ifa = ifa->ifa_next) {
            if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_INET) continue;
            if (reinterpret_cast<const sockaddr_in*>(ifa->ifa_addr)->sin_addr.s_addr == wanted.s_addr) {
                wantedIndex = InterfaceIndex(ifa->ifa_name);
                break;
            }
        }
    }

    const sockaddr_ll* fallback = nullptr;
    for (const ifaddrs* ifa = list.head; ifa != nullptr; ifa = ifa->ifa_next) {
        if (ifa->ifa_addr == nullptr || ifa->ifa_addr->sa_family != AF_PACKET) continue;
        const auto* link = reinterpret_cast<const sockaddr_ll*>(ifa->ifa_addr);
        if (!HasHardwareAddress(link)) continue;
        if (wantedIndex != 0 && static_cast<unsigned>(link->sll_ifindex) == wantedIndex) {
            FormatMac(link->sll_addr, szMac);
            return 0;
        }
        if (fallback == nullptr && (ifa->ifa_flags & IFF_LOOPBACK) == 0) fallback = link;
    }
    if (fallback == nullptr) return kMacErrorNoAdapter;
    FormatMac(fallback->sll_addr, szMac);
    return 0;
}
