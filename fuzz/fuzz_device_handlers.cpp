// Feeds arbitrary texts to the address-request and report handlers of the main window object,
// with a small catalogue and device table, as the dispatch threads would. Replies go nowhere:
// the harness runs in a network namespace of its own with only loopback.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "app/kelvane_dlg.h"
#include "messaging/msg_format.h"
#include "reporting/device_table.h"
#include "support/catalogue_entry.h"
#include "support/netns.h"

namespace {

CKelvaneDlg* g_dlg = nullptr;

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
    testsupport::EnterPrivateNetworkOrExit();
    g_dlg = new CKelvaneDlg();
    std::snprintf(g_dlg->m_szLocalIP, sizeof g_dlg->m_szLocalIP, "127.0.0.1");
    std::snprintf(g_dlg->m_szLocalMac, sizeof g_dlg->m_szLocalMac, "00:11:22:33:44:55");
    g_dlg->m_vecUpgradeFileInfo = {testsupport::CatalogueEntry("IPC-A1", "2.0.1.6", "a.bin", 0),
                                    testsupport::CatalogueEntry("NVR8", "1.2.3", "n.bin", 1),
                                    testsupport::CatalogueEntry("X", "", "x.bin", 0)};
    return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size < 1) return 0;
    char text[2048] = {};
    std::memcpy(text, data + 1, size - 1 < sizeof text - 1 ? size - 1 : sizeof text - 1);
    std::snprintf(g_dlg->m_szNextAllocIp, sizeof g_dlg->m_szNextAllocIp, "127.0.0.%d", 8 + data[0] % 250);
    g_dlg->m_bForceUpgrade = data[0] & 1;
    g_dlg->RequestIpaddrProc(text, 1);
    int rc = g_dlg->ReportMsgProc(data[0] % 14 - 1, text);
    if (rc > 0 || rc < -8) __builtin_trap();
    // Keep the list and table from growing without end across runs.
    if (g_dlg->m_lstInfo.GetItemCount() > 200) g_dlg->m_lstInfo.DeleteAllItems();
    std::lock_guard<std::mutex> lock(g_dlg->m_csIpcInfo);
    if (g_dlg->m_vecIpcInfo.size() > static_cast<size_t>(kMaxIpcInfo)) __builtin_trap();
    return 0;
}
