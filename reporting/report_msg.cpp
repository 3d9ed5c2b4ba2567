// Device reports become rows of the device list, and each registered device is counted once.
#include <cstdlib>
#include <cstring>
#include <string>

#include "app/kelvane_dlg.h"
#include "log/log.h"
#include "messaging/msg_format.h"
#include "reporting/device_table.h"
#include "reporting/state_text.h"

namespace {

enum class Outcome { Open, Succeeded, Failed };

// An empty MAC never matches: closed records have an all-zero MAC, and a report without one
// must not update and re-count another device's row.
stIpcInfo* FindByMac(std::vector<stIpcInfo>& table, const char* mac) {
    if (mac == nullptr || mac[0] == '\0') return nullptr;
    for (stIpcInfo& info : table) {
        if (std::strncmp(info.szMac, mac, sizeof info.szMac) == 0) return &info;
    }
    return nullptr;
}

Outcome Decide(const stIpcInfo& info, int event, int state, const char* stateText) {
    int finalEvent = info.nDevType == kNvrDevType ? kFinalEventNvr : kFinalEventIpc;
    if (event == finalEvent && state == 0) return Outcome::Succeeded;
    if (IsStateNotFailed(stateText)) return Outcome::Open;
    return Outcome::Failed;
}

void CopyText(char* out, size_t size, const char* text) {
    std::memset(out, 0, size);
    std::memcpy(out, text, strnlen(text, size - 1));
}

}  // namespace

int GetDevTypeFromVersion(const char* szVersion) {
    if (szVersion == nullptr) return 2;
    int dashes = 0;
    for (const char* p = szVersion; *p != '\0'; ++p) dashes += *p == '-';
    if (dashes == 0) return 2;
    return dashes == 1 ? 1 : 0;
}

void ReplaceStarWithDash(char* szText, int size) {
    if (szText == nullptr || size <= 0) return;
    for (int i = 0; i < size && szText[i] != '\0'; ++i) {
        if (szText[i] == '*') szText[i] = '-';
    }
}

int CKelvaneDlg::GetIPCStateText(uint32_t event, uint32_t state, char* szText) const {
    return ::GetIPCStateText(m_wLangID, event, state, szText);
}

void CKelvaneDlg::RegisterIpcInfo(const char* szMac, const char* szIpAddr, const char* szNewVersion, int nDevType) {
    std::lock_guard<std::mutex> lock(m_csIpcInfo);
    if (stIpcInfo* known = FindByMac(m_vecIpcInfo, szMac)) {
        CopyText(known->szIpAddr, sizeof known->szIpAddr, szIpAddr);
        return;
    }
    stIpcInfo added{};
    CopyText(added.szMac, sizeof added.szMac, szMac);
    CopyText(added.szIpAddr, sizeof added.szIpAddr, szIpAddr);
    CopyText(added.szNewVersion, sizeof added.szNewVersion, szNewVersion);
    added.nIndex = -1;
    added.nDevType = nDevType;
    m_vecIpcInfo.push_back(added);
    if (m_vecIpcInfo.size() > static_cast<size_t>(kMaxIpcInfo)) {
        m_vecIpcInfo.erase(m_vecIpcInfo.begin(), m_vecIpcInfo.begin() + kIpcInfoTrimCount);
    }
}

void CKelvaneDlg::ClearIpcInfo() {
    std::lock_guard<std::mutex> lock(m_csIpcInfo);
    m_vecIpcInfo.clear();
}

void CKelvaneDlg::ResetCounters() {
    {
        std::lock_guard<std::mutex> lock(m_csCount);
        m_nSuccessCount = 0;
        m_nFailCount = 0;
        m_ui.Queue([](IKelvaneView& view) { view.SetItemText(IDC_STATIC_SUCCESS, "0"); });
        m_ui.Queue([](IKelvaneView& view) { view.SetItemText(IDC_STATIC_FAIL, "0"); });
    }
    m_ui.Deliver();
}

int CKelvaneDlg::ReportMsgProc(int event, const char* text) {
    LogMessage(LOG_INFO, "#MRDebug ReportMsgProc() event=%d, pMsg=%s", event, text != nullptr ? text : "(null)");
    if (text == nullptr) {
        LogMessage(LOG_MAJOR, "ReportMsgProc() event=%d, event param error, return -1", event);
        return -1;
    }
    char ip[kIpaddrSize], mac[kIpcMacSize], schedule[kScheduleSize + 1], state[kStateSize];
    char version[kVersionSize];
    if (ReadFlagValue(text, kKeyIpaddr, sizeof kKeyIpaddr - 1, ip, sizeof ip) != 0) {
        LogMessage(LOG_MAJOR, "ReportMsgProc() read IPC_ADDR error, return -2");
        return -2;
    }
    if (ReadFlagValue(text, kKeyIpcMac, sizeof kKeyIpcMac - 1, mac, sizeof mac) != 0) {
        LogMessage(LOG_MAJOR, "ReportMsgProc() read IPC_MAC error, return -3");
        return -3;
    }
    if (ReadFlagValue(text, kKeySchedule, sizeof kKeySchedule - 1, schedule, kScheduleSize) != 0) {
        LogMessage(LOG_MAJOR, "ReportMsgProc() read IPC_SCHEDULE error, return -4");
        return -4;
    }
    std::strcat(schedule, "%");
    if (ReadFlagValue(text, kKeyState, sizeof kKeyState - 1, state, sizeof state) != 0) {
        LogMessage(LOG_MAJOR, "ReportMsgProc() read IPC_STATE error, return -5");
        return -5;
    }
    // Read like IsStateNotFailed: a number out of range stays out of range (atoi would wrap
    // 4294967296 to 0, a success).
    long stateValue = std::strtol(state, nullptr, 10);
    int stateNumber = stateValue >= 0 && stateValue <= 7 ? static_cast<int>(stateValue) : -1;
    char stateText[kIpcStateTextSize] = {};
    if (GetIPCStateText(static_cast<uint32_t>(event), static_cast<uint32_t>(stateNumber), stateText) == -1) {
        LogMessage(LOG_MAJOR, "ReportMsgProc() GetIPCStateText() error, return -6");
        return -6;
    }
    if (ReadFlagValue(text, kKeyVersion, sizeof kKeyVersion - 1, version, sizeof version) != 0) {
        LogMessage(LOG_MAJOR, "ReportMsgProc() read IPC_VERSION error, return -7");
        return -7;
    }
    int devType = GetDevTypeFromVersion(version);
    if (devType == 2) {
        LogMessage(LOG_MAJOR, "ReportMsgProc() get dev type form version error, return -8");
        return -8;
    }
    // Shown without the build suffix, and with the "-" a device writes as "*" in its model.
    if (devType == 0) *std::strrchr(version, '-') = '\0';
    ReplaceStarWithDash(version, sizeof version);

    auto fillRow = [&](int row) {
        m_lstInfo.SetItemText(row, kColIpAddr, ip);
        m_lstInfo.SetItemText(row, kColState, stateText);
        m_lstInfo.SetItemText(row, kColSchedule, schedule);
        m_lstInfo.SetItemText(row, kColOldVersion, version);
        m_results.OnReport(mac, event, stateNumber, !IsStateNotFailed(state), stateText, schedule, row);
    };
    // Counts a finished or failed device; the screen is told once no lock is held any more.
    auto addToCounter = [&](Outcome outcome) {
        std::lock_guard<std::mutex> lock(m_csCount);
        if (outcome == Outcome::Succeeded) {
            std::string shown = std::to_string(++m_nSuccessCount);
            m_ui.Queue([shown](IKelvaneView& view) { view.SetItemText(IDC_STATIC_SUCCESS, shown); });
        } else {
            std::string shown = std::to_string(++m_nFailCount);
            m_ui.Queue([shown](IKelvaneView& view) { view.SetItemText(IDC_STATIC_FAIL, shown); });
        }
    };
    // Counts a finished or failed device once: its MAC is cleared so no later report finds it.
    // Called with m_csIpcInfo held.
    auto settleLocked = [&](stIpcInfo* info, Outcome outcome) {
        if (outcome == Outcome::Open) return;
        addToCounter(outcome);
        if (info != nullptr) std::memset(info->szMac, 0, sizeof info->szMac);
    };
    // Branches A and C: the row was just made; find the record, give it the row, close it. The
    // new version reaches the row before the success reaches its counter, as in branch B.
    auto settleNewRow = [&](int row) {
        Outcome outcome = Outcome::Open;
        char newVersion[sizeof(stIpcInfo::szNewVersion)] = {};
        {
            std::lock_guard<std::mutex> lock(m_csIpcInfo);
            stIpcInfo* info = FindByMac(m_vecIpcInfo, mac);
            if (info == nullptr) return;
            info->nIndex = row;
            outcome = Decide(*info, event, stateNumber, state);
            std::memcpy(newVersion, info->szNewVersion, sizeof newVersion);
            if (outcome != Outcome::Open) std::memset(info->szMac, 0, sizeof info->szMac);
        }
        if (outcome == Outcome::Succeeded) m_lstInfo.SetItemText(row, kColNewVersion, newVersion);
        if (outcome != Outcome::Open) addToCounter(outcome);
        m_ui.Deliver();
    };

    int count = m_lstInfo.GetItemCount();
    if (count <= 0) {
        m_lstInfo.InsertItem(0, "1");
        fillRow(0);
        LogMessage(LOG_INFO,
                   "#MRDebug iItemCount=%d, m_lstInfo.InsertItem(0), szIpAddr=%s, szIPCState=%s, szSchedule=%s, "
                   "szVersion=%s",
                   count, ip, stateText, schedule, version);
        settleNewRow(0);
        return 0;
    }

    stIpcInfo copy{};
    bool found = false;
    {
        std::lock_guard<std::mutex> lock(m_csIpcInfo);
        if (const stIpcInfo* info = FindByMac(m_vecIpcInfo, mac)) {
            copy = *info;
            found = true;
        }
    }
    if (found && copy.nIndex != -1 && copy.nIndex < count) {
        int row = copy.nIndex;
        LogMessage(LOG_MAJOR, "#####1111 mac=%s, event=%d, bFindInfo=%d, stIpcInfo.nIndex=%d, iItemCount=%d", mac,
                   event, 1, row, count);
        fillRow(row);
        Outcome outcome = Decide(copy, event, stateNumber, state);
        if (outcome == Outcome::Succeeded) m_lstInfo.SetItemText(row, kColNewVersion, copy.szNewVersion);
        if (outcome != Outcome::Open) {
            {
                // Counted on the copy; the record is closed only if it is still there.
                std::lock_guard<std::mutex> lock(m_csIpcInfo);
                settleLocked(FindByMac(m_vecIpcInfo, mac), outcome);
            }
            m_ui.Deliver();
        }
        return 0;
    }

    if (!found && count >= kMaxListRows) {
        LogMessage(LOG_MAJOR, "ReportMsgProc() %d rows, report of unregistered mac=%s dropped", count, mac);
        return 0;
    }
    LogMessage(LOG_MAJOR, "#####2222 mac=%s, event=%d, bFindInfo=%d, stIpcInfo.nIndex=%d, iItemCount=%d\r\n", mac,
               event, found ? 1 : 0, found ? copy.nIndex : 0, count);
    std::string number = std::to_string(count + 1);
    m_lstInfo.InsertItem(count, number.c_str());
    fillRow(count);
    m_lstInfo.EnsureVisible(count);
    settleNewRow(count);
    return 0;
}
