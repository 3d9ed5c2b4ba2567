// Device reports become rows of the device list, and each registered device is counted once.
#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <string>

#include "log/log.h"
#include "messaging/msg_format.h"
#include "reporting/device_table.h"
#include "platform/text_codec.h"
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

// A state is a decimal number, blanks around it allowed. Anything else (empty, "ok", "0x") must
// not read as 0, which is a success.
bool IsStateNumber(const char* text) {
    const char* p = text;
    while (*p == ' ' || *p == '\t') ++p;
    if (*p == '-' || *p == '+') ++p;
    if (*p < '0' || *p > '9') return false;
    while (*p >= '0' && *p <= '9') ++p;
    while (*p == ' ' || *p == '\t') ++p;
    return *p == '\0';
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

int DeviceTable::GetIPCStateText(uint32_t event, uint32_t state, char* szText) const {
    return ::GetIPCStateText(m_langId, event, state, szText);
}

void DeviceTable::RegisterIpcInfo(const char* szMac, const char* szIpAddr, const char* szNewVersion, int nDevType) {
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
    if (m_vecIpcInfo.size() >= static_cast<size_t>(kMaxIpcInfo)) DropOneLocked();
    m_vecIpcInfo.push_back(added);
}

// Makes room for one record: the oldest counted device goes first, then the oldest one that no
// longer holds its address (it never started); a device still upgrading is never dropped.
void DeviceTable::DropOneLocked() {
    auto victim = std::find_if(m_vecIpcInfo.begin(), m_vecIpcInfo.end(),
                               [](const stIpcInfo& info) { return info.szMac[0] == '\0'; });
    if (victim == m_vecIpcInfo.end()) {
        victim = std::find_if(m_vecIpcInfo.begin(), m_vecIpcInfo.end(),
                              [&](const stIpcInfo& info) { return !m_view.StillUpgrading(info.szMac); });
    }
    if (victim == m_vecIpcInfo.end()) {
        LogMessage(LOG_MAJOR, "RegisterIpcInfo %d devices upgrading, table grows",
                   static_cast<int>(m_vecIpcInfo.size()));
        return;
    }
    m_vecIpcInfo.erase(victim);
}

void DeviceTable::ClearIpcInfo() {
    std::lock_guard<std::mutex> lock(m_csIpcInfo);
    m_vecIpcInfo.clear();
}

void DeviceTable::ResetCounters() {
    {
        std::lock_guard<std::mutex> lock(m_csCount);
        m_nSuccessCount = 0;
        m_nFailCount = 0;
        m_view.QueueCounter(true, 0);
        m_view.QueueCounter(false, 0);
    }
    m_view.ShowQueued();
}

int DeviceTable::ReportMsgProc(int event, const char* text) {
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
    if (!IsStateNumber(state)) {
        std::string shown = platform::EscapeControlChars(state);
        LogMessage(LOG_MAJOR, "ReportMsgProc() State \"%s\" of mac=%s is not a number, return -5", shown.c_str(),
                   platform::EscapeControlChars(mac).c_str());
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
        m_view.FillRow(row, ip, stateText, schedule, version);
        m_view.RecordReport(mac, event, stateNumber, stateText, schedule, row);
    };
    // Counts a finished or failed device; the screen is told once no lock is held any more.
    auto addToCounter = [&](Outcome outcome) {
        std::lock_guard<std::mutex> lock(m_csCount);
        if (outcome == Outcome::Succeeded) {
            m_view.QueueCounter(true, ++m_nSuccessCount);
        } else {
            m_view.QueueCounter(false, ++m_nFailCount);
        }
    };
    // Counts a finished or failed device once: its MAC is cleared so no later report finds it.
    // Called with m_csIpcInfo held.
    auto settleLocked = [&](stIpcInfo* info, Outcome outcome) {
        if (outcome == Outcome::Open) return;
        addToCounter(outcome);
        m_view.OnOutcome(mac, outcome == Outcome::Succeeded);
        if (info != nullptr) std::memset(info->szMac, 0, sizeof info->szMac);
    };
    // A row was just made: find the device's record, give it the row, close it. The new version
    // reaches the row before the success reaches its counter, as when a known row is updated.
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
            if (outcome != Outcome::Open) {
                std::memset(info->szMac, 0, sizeof info->szMac);
                m_view.OnOutcome(mac, outcome == Outcome::Succeeded);
            }
        }
        if (outcome == Outcome::Succeeded) m_view.ShowNewVersion(row, newVersion);
        if (outcome != Outcome::Open) addToCounter(outcome);
        m_view.ShowQueued();
    };

    int count = m_view.RowCount();
    if (count <= 0) {
        m_view.InsertRow(0, "1");
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
        if (outcome == Outcome::Succeeded) m_view.ShowNewVersion(row, copy.szNewVersion);
        if (outcome != Outcome::Open) {
            {
                // Counted on the copy; the record is closed only if it is still there.
                std::lock_guard<std::mutex> lock(m_csIpcInfo);
                settleLocked(FindByMac(m_vecIpcInfo, mac), outcome);
            }
            m_view.ShowQueued();
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
    m_view.InsertRow(count, number.c_str());
    fillRow(count);
    m_view.ScrollToRow(count);
    settleNewRow(count);
    return 0;
}
