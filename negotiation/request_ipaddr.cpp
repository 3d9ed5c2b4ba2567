// The reply to an address request is broadcast, as the device has no usable address yet.
#include <cstdlib>
#include <cstring>

#include "log/log.h"
#include "messaging/msg_format.h"
#include "negotiation/address_alloc.h"
#include "negotiation/address_request.h"
#include "negotiation/ping.h"
#include "platform/net_interface.h"
#include "platform/udp_socket.h"

namespace {

constexpr uint16_t kDeviceReplyPort = 10010;

int NextCseq(int cseq) { return static_cast<int>(static_cast<uint32_t>(cseq) + 1u); }

}  // namespace

int AddressRequestHandler::DistributeThreeNotUseIPArr(char (*szAllocIpArr)[64]) {
    return AddressAllocator(m_szNextAllocIp, m_csAllocIp, PingApi).DistributeThree(szAllocIpArr);
}

int AddressRequestHandler::GetNotUseIp(char* szNewIp, const char* szLocalIp, int seq) {
    return AddressAllocator(m_szNextAllocIp, m_csAllocIp, PingApi, &m_leases)
        .GetNotUseIp(szNewIp, szLocalIp, seq, m_bIpCheck.load() != 0);
}

int AddressRequestHandler::SendToIPC(const char* szMsg, int nLen) {
    platform::UdpSocket sock = platform::UdpSocket::OpenIPv4();
    if (!sock.Valid()) return -1;
    sock.SetBroadcast(true);
    if (sock.Bind(m_localIp, 0) != 0) return -2;
    sock.SetNonBlocking(true);
    in_addr broadcast{};
    broadcast.s_addr = htonl(INADDR_BROADCAST);
    // Out of the chosen address's interface, where the device is, whatever the default route.
    platform::LocalInterface iface;
    unsigned ifindex = platform::FindLocalInterface(m_localIp, &iface) ? iface.index : 0;
    sock.SendToVia(szMsg, static_cast<size_t>(nLen) + 1, platform::MakeSockaddrIn(broadcast, kDeviceReplyPort),
                   ifindex);
    return 0;
}

void AddressRequestHandler::RequestIpaddrProc(const char* text, int seq, const char* sender) {
    if (text == nullptr) {
        LogMessage(LOG_SUGGESTIVE, "*%d* RequestIpaddrProc pMsgType == NULL, return", seq);
        return;
    }
    char version[kVersionSize] = {};
    int rc = ReadFlagValue(text, kKeyVersion, sizeof kKeyVersion - 1, version, sizeof version);
    if (rc != 0) {
        LogMessage(LOG_SUGGESTIVE, "*%d* RequestIpaddrProc ReadFlagValue(IPC_VERSION) error, iRet=%d", seq, rc);
        return;
    }
    char cseqText[kCseqSize] = {};
    rc = ReadFlagValue(text, kKeyCseq, sizeof kKeyCseq - 1, cseqText, sizeof cseqText);
    if (rc != 0) {
        LogMessage(LOG_SUGGESTIVE, "*%d* RequestIpaddrProc ReadFlagValue(IPC_CSEQ) error, iRet=%d", seq, rc);
        return;
    }
    // At most 15 characters, so the value fits a long long; the reply's number is the next one
    // in 32-bit wrap-around, defined for 2147483647 too.
    int cseq = static_cast<int>(static_cast<uint32_t>(std::strtoll(cseqText, nullptr, 10)));

    char model[kVersionFieldSize], verNum[kVersionFieldSize];
    char versionShown[kVersionSize];
    std::memcpy(versionShown, version, sizeof version);  // the split cuts `version` apart
    SplitDeviceVersion(version, model, verNum);
    LogMessage(LOG_INFO, "*%d* RequestIpaddrProc() Before find bHaveNewVersion! szVersion=%s, szModel=%s, szVerNum=%s",
               seq, versionShown, model, verNum);

    const bool force = m_bForceUpgrade != 0;
    const UpgradeFileInfo* chosen = nullptr;
    for (size_t i = 0; i < m_catalogue.size() && chosen == nullptr; ++i) {
        const UpgradeFileInfo& entry = m_catalogue[i];
        if (std::strcmp(entry.szModel, model) != 0) continue;
        if (entry.iHighestVersion != 1) {
            LogMessage(LOG_INFO, "*%d* have same Model=%s, but m_vecUpgradeFileInfo[%d].iHighestVersion=%d", seq, model,
                       static_cast<int>(i), entry.iHighestVersion);
        } else if (force || (entry.szVerNum[0] != '\0' && CompareVerNum(entry.szVerNum, verNum) == 1)) {
            if (m_events.StillOffered(i)) {
                chosen = &entry;
            } else {
                LogMessage(LOG_SUGGESTIVE, "*%d* %s is withdrawn from this run, not offered", seq, entry.szFileName);
            }
        } else {
            // The comma is the GBK full-width one, as in every log of this line.
            LogMessage(LOG_INFO, "*%d* have same Model=%s\xa3\xac but CheckState=%d, szVerNum=%s, szVerNum=%s", seq,
                       model, force ? 1 : 0, entry.szVerNum, verNum);
        }
    }

    char ipcMac[kIpcMacSize] = {};
    rc = ReadFlagValue(text, kKeyIpcMac, sizeof kKeyIpcMac - 1, ipcMac, sizeof ipcMac);
    if (rc != 0) {
        LogMessage(LOG_SUGGESTIVE, "*%d* RequestIpaddrProc ReadFlagValue(IPC_MAC) error, iRet=%d", seq, rc);
        return;
    }
    // Reports are tied to a device by its MAC alone: without one it could never be counted.
    if (ipcMac[0] == '\0') {
        LogMessage(LOG_SUGGESTIVE, "*%d* RequestIpaddrProc empty IPCMac, return", seq);
        return;
    }
    // Before probing and whatever the answer: until a lease exists, this is where the device is.
    if (sender != nullptr) m_events.OnRequestFrom(ipcMac, sender);

    char reply[kReplySize];
    if (chosen == nullptr) {
        LogMessage(LOG_SUGGESTIVE, "*%d* RequestIpaddrProc bHaveNewVersion == false, No New Version!", seq);
        int length = BuildNoUpgradeReply(reply, sizeof reply, NextCseq(cseq), ipcMac);
        if (length >= 0) SendToIPC(reply, length);
        m_events.OnNoUpgrade(ipcMac, model, versionShown);
        return;
    }
    if (m_localIp[0] == '\0') {
        LogMessage(LOG_SUGGESTIVE, "*%d* RequestIpaddrProc m_szLocalIP Is Empty", seq);
        return;
    }
    LogMessage(LOG_INFO, "*%d* RequestIpaddrProc Begin GetNotUseIp", seq);
    char newIp[64] = {};
    rc = AddressAllocator(m_szNextAllocIp, m_csAllocIp, PingApi, &m_leases)
             .GetNotUseIp(newIp, m_localIp, seq, m_bIpCheck.load() != 0, ipcMac, sender);
    if (rc != 0) {
        if (rc == kAllocRangeFull) ++m_nRangeFullRequests;
        LogMessage(LOG_SUGGESTIVE, "*%d* RequestIpaddrProc GetNotUseIp error, return", seq);
        return;
    }
    LogMessage(LOG_INFO, "*%d* RequestIpaddrProc GetNotUseIp success, szNewIp=%s", seq, newIp);
    if (std::strlen(m_localIp) == 0) {
        LogMessage(LOG_SUGGESTIVE, "*%d* RequestIpaddrProc strlen(szLocalIp)<=0, return", seq);
        return;
    }
    int length = BuildAddressReply(reply, sizeof reply, NextCseq(cseq), m_szLocalMac, m_localIp, newIp, ipcMac,
                                   chosen->szVersion, chosen->szFileName);
    if (length < 0) {
        // A cut reply would send the device after a file that does not exist.
        LogMessage(LOG_MAJOR, "*%d* RequestIpaddrProc reply does not fit %d bytes, not sent", seq, kReplySize);
        m_leases.Release(ipcMac);
        return;
    }
    // Recorded (results and device table) before the device hears the reply: a device that reports
    // at once would otherwise find no record and leave a stray row that is never counted.
    if (!m_events.OnOffered(ipcMac, model, versionShown, *chosen, newIp)) {
        m_leases.Release(ipcMac);
        return;
    }
    SendToIPC(reply, length);
    LogMessage(LOG_SUGGESTIVE, "*%d* RequestIpaddrProc SendToIPC szBuildMsg=%s\n", seq, reply);
}
