// Drives sequences of address requests and reports from varying senders and MACs through the
// run's own entries (as the dispatch threads call them) and checks who may change an outcome:
// a report is counted only from the address lent to its device or, before any lease, from where
// the device last asked; a MAC that never asked is never counted; the counters equal the results;
// the records stay bounded. Replies go to loopback of a network namespace of the harness's own.
#include <arpa/inet.h>

#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <map>
#include <string>

#include "app/kelvane_dlg.h"
#include "platform/udp_socket.h"
#include "reporting/device_table.h"
#include "support/catalogue_entry.h"
#include "support/netns.h"

namespace {

CKelvaneDlg* g_dlg = nullptr;

constexpr int kMacs = 6;
constexpr int kSenders = 6;      // 10.0.0.1 .. 10.0.0.6: hosts that are not lent anything
constexpr int kLentSenders = 6;  // 127.0.0.10 .. 127.0.0.15: the first lent addresses
const char* const kVersions[] = {"IPC*A1-2.0.1.5", "IPC*A1-2.0.1.6", "NVR8-1.2.3.9", "ZZ-1.0"};

in_addr Address(const std::string& text) {
    in_addr address{};
    inet_pton(AF_INET, text.c_str(), &address);
    return address;
}

std::string Sender(uint8_t byte) {
    int n = byte % (kSenders + kLentSenders);
    return n < kSenders ? "10.0.0." + std::to_string(n + 1) : "127.0.0." + std::to_string(10 + n - kSenders);
}

// Mostly a few known devices, so sequences meet the same device again; sometimes an invented one.
std::string Mac(uint8_t byte, uint8_t extra) {
    return byte < 200 ? "M" + std::to_string(byte % kMacs) : "X" + std::to_string(extra);
}

void Reset() {
    g_dlg->m_lstInfo.DeleteAllItems();
    g_dlg->ClearIpcInfo();
    g_dlg->m_results.Clear();
    g_dlg->ResetCounters();
    g_dlg->m_addressRequests.m_leases.Clear();
    std::snprintf(g_dlg->m_szNextAllocIp, sizeof g_dlg->m_szNextAllocIp, "127.0.0.10");
}

void HoldWholeRange() {
    for (int octet = 10; octet < 250; ++octet) {
        g_dlg->m_addressRequests.m_leases.TryHold("127.0.0." + std::to_string(octet), "H" + std::to_string(octet),
                                                  platform::SteadyMs());
    }
}

void Check(bool ok) {
    if (!ok) __builtin_trap();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    testsupport::EnterPrivateNetworkOrExit();
    g_dlg = new CKelvaneDlg();
    g_dlg->m_wLangID = 1033;
    std::snprintf(g_dlg->m_szLocalIP, sizeof g_dlg->m_szLocalIP, "127.0.0.1");
    std::snprintf(g_dlg->m_szLocalMac, sizeof g_dlg->m_szLocalMac, "00:11:22:33:44:55");
    g_dlg->m_vecUpgradeFileInfo = {testsupport::CatalogueEntry("IPC-A1", "2.0.1.6", "a.bin", 0),
                                   testsupport::CatalogueEntry("NVR8", "1.2.3.10", "n.bin", 1)};
    return 0;
}

// Four bytes per step: what (request, report, range held or freed), MAC, sender, and the
// version, event and state.
extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    Reset();
    std::map<std::string, std::string> askedFrom;  // the harness's own account of each device's last request
    for (size_t at = 0; at + 4 <= size; at += 4) {
        const uint8_t what = data[at], macByte = data[at + 1], senderByte = data[at + 2], detail = data[at + 3];
        const std::string mac = Mac(macByte, detail);
        const std::string sender = Sender(senderByte);
        switch (what % 8) {
            case 0:
            case 1:
            case 2: {
                std::string text = std::string("Msg:Request_ipaddr\r\nVersion:") + kVersions[detail % 4] +
                                   "\r\nCseq:7\r\nIPCMac:" + mac + "\r\n";
                g_dlg->RequestFrom(text.c_str(), 1, Address(sender));
                askedFrom[mac] = sender;
                break;
            }
            case 3:
                HoldWholeRange();
                break;
            case 4:
                g_dlg->m_addressRequests.m_leases.Clear();
                break;
            default: {
                const int event = detail % 12, state = (detail / 12) % 8;
                std::string text = "Msg:Report\r\nIpaddr:" + sender + "\r\nIPCMac:" + mac +
                                   "\r\nSchedule:50\r\nState:" + std::to_string(state) +
                                   "\r\nVersion:" + (what & 8 ? "NVR8-1.2.3.9" : "IPC*A1-2.0.1.5-b") + "\r\n";
                const std::string lent = g_dlg->m_results.LentAddress(mac.c_str());
                const int before = g_dlg->m_nSuccessCount + g_dlg->m_nFailCount;
                const int rowsBefore = g_dlg->m_lstInfo.GetItemCount();
                g_dlg->ReportFrom(event, text.c_str(), Address(sender));
                auto asked = askedFrom.find(mac);
                if (asked == askedFrom.end()) {
                    Check(g_dlg->m_nSuccessCount + g_dlg->m_nFailCount == before);  // never asked, never counted
                } else if (sender != (lent.empty() ? asked->second : lent)) {
                    // Neither lent to it nor where it asked: the report changes nothing at all.
                    Check(g_dlg->m_nSuccessCount + g_dlg->m_nFailCount == before);
                    Check(g_dlg->m_lstInfo.GetItemCount() == rowsBefore);
                }
                break;
            }
        }
        ResultCounts counts = g_dlg->ResultsCounts();
        Check(counts.succeeded == g_dlg->m_nSuccessCount && counts.failed == g_dlg->m_nFailCount);
        Check(g_dlg->ResultsSnapshot().size() <= kMaxRunResults);
        Check(g_dlg->m_lstInfo.GetItemCount() <= kMaxListRows);
        std::lock_guard<std::mutex> lock(g_dlg->m_csIpcInfo);
        Check(g_dlg->m_vecIpcInfo.size() <= static_cast<size_t>(kMaxIpcInfo));
    }
    return 0;
}
