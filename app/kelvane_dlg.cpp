// CKelvaneDlg's names, each forwarding to the subsystem that owns the work.
#include "app/kelvane_dlg.h"

#include <cstring>
#include <string>

#include "log/log.h"
#include "messaging/msg_format.h"
#include "platform/local_time.h"
#include "platform/system_lang.h"
#include "platform/text_codec.h"
#include "platform/udp_socket.h"

namespace {

constexpr int kCloseWaitMs = 10000;

// The sender of the address request this request thread is handling, null outside RequestFrom.
thread_local const char* t_requestSender = nullptr;

}  // namespace

CKelvaneDlg::CKelvaneDlg() : m_wLangID(platform::GetSystemDefaultLangID()) {
    m_results.SetLeaseCheck([this](const std::string& mac) { return StillUpgrading(mac.c_str()); });
}

CKelvaneDlg::~CKelvaneDlg() {
    ShutDown();
}

void CKelvaneDlg::ShutDown() {
    if (m_bRunning) {
        std::lock_guard<std::mutex> lock(m_runControl);
        m_bRunning = 0;
        StopRun();
    }
    // Request threads outlive a stop, and a stop may let a run thread go; none may find this
    // object gone. Their work is bounded, so the wait ends; a very late one is reported, then awaited.
    if (!WaitThreadsGone(kCloseWaitMs)) {
        LogMessage(LOG_MAJOR, "CKelvaneDlg close: threads still running after %d ms", kCloseWaitMs);
        m_dispatcher.WaitThreadsGone();
    }
}

// ---- Device messaging ----

void CKelvaneDlg::RequestIpaddrProc(const char* text, int seq) {
    m_addressRequests.RequestIpaddrProc(text, seq, t_requestSender);
}
void CKelvaneDlg::RequestFrom(const char* text, int seq, in_addr sender) {
    // The handler keeps its two arguments (front ends and tests override it); the sender
    // rides along on the request thread for exactly this call.
    std::string from = platform::FormatIPv4(sender);
    t_requestSender = from.c_str();
    RequestIpaddrProc(text, seq);
    t_requestSender = nullptr;
}
int CKelvaneDlg::ReportMsgProc(int event, const char* text) {
    return m_deviceTable.ReportMsgProc(event, text);
}
int CKelvaneDlg::ReportFrom(int event, const char* text, in_addr sender) {
    char mac[kIpcMacSize] = {};
    if (text != nullptr && ReadFlagValue(text, kKeyIpcMac, sizeof kKeyIpcMac - 1, mac, sizeof mac) == 0 &&
        mac[0] != '\0') {
        // Anyone on the LAN can learn a MAC from the broadcast replies; only the device itself
        // reports from the address it was lent, or before that from where it asked.
        RunResults::ReportSource source = m_results.ReportSourceOf(mac);
        const std::string& expected = source.lent.empty() ? source.requested : source.lent;
        std::string from = platform::FormatIPv4(sender);
        if (!expected.empty() && expected != from) {
            LogMessage(LOG_MAJOR, "ReportMsgProc() event=%d of mac=%s from %s, %s %s: ignored", event,
                       platform::EscapeControlChars(mac).c_str(), from.c_str(),
                       source.lent.empty() ? "asked from" : "lent", expected.c_str());
            return -9;
        }
        if (!source.lent.empty()) m_addressRequests.m_leases.MarkStarted(mac, platform::SteadyMs());
    }
    return ReportMsgProc(event, text);
}
bool CKelvaneDlg::StartMessagingThreads() {
    return m_dispatcher.Start();
}
void CKelvaneDlg::StopMessagingThreads() {
    m_dispatcher.Stop();
}
ListenerStatus CKelvaneDlg::GetListenerStatus() const {
    return m_dispatcher.GetListenerStatus();
}
void CKelvaneDlg::SetListenerStatus(ListenerStatus::State state, int result, const std::string& error) {
    m_dispatcher.SetListenerStatus(state, result, error);
}
bool CKelvaneDlg::WaitListenerSettled(int timeoutMs) const {
    return m_dispatcher.WaitListenerSettled(timeoutMs);
}
bool CKelvaneDlg::WaitThreadsGone(int timeoutMs) {
    return m_dispatcher.WaitThreadsGone(timeoutMs);
}

// ---- Progress reporting ----

int CKelvaneDlg::GetIPCStateText(uint32_t event, uint32_t state, char* szText) const {
    return m_deviceTable.GetIPCStateText(event, state, szText);
}
void CKelvaneDlg::RegisterIpcInfo(const char* szMac, const char* szIpAddr, const char* szNewVersion, int nDevType) {
    m_deviceTable.RegisterIpcInfo(szMac, szIpAddr, szNewVersion, nDevType);
}
void CKelvaneDlg::ClearIpcInfo() {
    m_deviceTable.ClearIpcInfo();
}
void CKelvaneDlg::ResetCounters() {
    m_deviceTable.ResetCounters();
}

// ---- Address requests and allocation ----

int CKelvaneDlg::DistributeThreeNotUseIPArr(char (*szAllocIpArr)[64]) {
    return m_addressRequests.DistributeThreeNotUseIPArr(szAllocIpArr);
}
int CKelvaneDlg::GetNotUseIp(char* szNewIp, const char* szLocalIp, int seq) {
    return m_addressRequests.GetNotUseIp(szNewIp, szLocalIp, seq);
}
int CKelvaneDlg::SendToIPC(const char* szMsg, int nLen) {
    return m_addressRequests.SendToIPC(szMsg, nLen);
}
void CKelvaneDlg::RegisterIpcInfo(const char* szMac, const char* szIpAddr, const UpgradeFileInfo& entry) {
    RegisterIpcInfo(szMac, szIpAddr, entry.szVersion, entry.iDevType);
}

// ---- Firmware catalogue ----

void CKelvaneDlg::SaveUpgradeFileInfo(const std::string& strFolderName) {
    m_catalogue.SaveUpgradeFileInfo(strFolderName);
}

// ---- What the subsystems tell the window ----

int CKelvaneDlg::RowCount() {
    return m_lstInfo.GetItemCount();
}
void CKelvaneDlg::InsertRow(int row, const char* number) {
    m_lstInfo.InsertItem(row, number);
}
void CKelvaneDlg::FillRow(int row, const char* ip, const char* stateText, const char* schedule, const char* version) {
    m_lstInfo.SetItemText(row, kColIpAddr, ip);
    m_lstInfo.SetItemText(row, kColState, stateText);
    m_lstInfo.SetItemText(row, kColSchedule, schedule);
    m_lstInfo.SetItemText(row, kColOldVersion, version);
}
void CKelvaneDlg::ShowNewVersion(int row, const char* newVersion) {
    m_lstInfo.SetItemText(row, kColNewVersion, newVersion);
}
void CKelvaneDlg::ScrollToRow(int row) {
    m_lstInfo.EnsureVisible(row);
}
void CKelvaneDlg::QueueCounter(bool success, int value) {
    std::string shown = std::to_string(value);
    int item = success ? IDC_STATIC_SUCCESS : IDC_STATIC_FAIL;
    m_ui.Queue([item, shown](IKelvaneView& view) { view.SetItemText(item, shown); });
}
void CKelvaneDlg::ShowQueued() {
    m_ui.Deliver();
}
void CKelvaneDlg::RecordReport(const char* mac, int event, int state, const char* stateText, const char* schedule,
                               int row) {
    // Only a device that asked and was answered keeps an idle run going; others' reports do not.
    if (m_results.OnReport(mac, event, state, stateText, schedule, row)) NoteDeviceActivity();
}
void CKelvaneDlg::OnOutcome(const char* mac, bool succeeded) {
    m_results.OnOutcome(mac, succeeded);
    m_addressRequests.m_leases.Release(mac);
}
bool CKelvaneDlg::StillUpgrading(const char* mac) {
    return !m_addressRequests.m_leases.AddressOf(mac, platform::SteadyMs()).empty();
}

bool CKelvaneDlg::IsCataloguedModel(const char* model) const {
    for (const UpgradeFileInfo& entry : m_catalogue.m_vecUpgradeFileInfo) {
        if (std::strcmp(entry.szModel, model) == 0) return true;
    }
    return false;
}

void CKelvaneDlg::NoteDeviceActivity() {
    m_dispatcher.m_nLastDeviceMessageMs = platform::SteadyMs();
}

void CKelvaneDlg::OnRequestFrom(const char* mac, const char* sender) {
    m_results.OnRequest(mac, sender);
}

void CKelvaneDlg::OnNoUpgrade(const char* mac, const char* model, const char* versionBefore) {
    m_results.OnNoUpgrade(mac, model, versionBefore);
    // A model the folder has nothing for is anyone's invention as much as a device: it is told
    // so, but does not keep the run alive.
    if (IsCataloguedModel(model)) NoteDeviceActivity();
}
bool CKelvaneDlg::OnOffered(const char* mac, const char* model, const char* versionBefore, const UpgradeFileInfo& entry,
                            const char* address) {
    if (!m_results.OnOffered(mac, model, versionBefore, entry.szVersion, entry.szFileName, address, entry.iDevType)) {
        return false;
    }
    RegisterIpcInfo(mac, address, entry);
    NoteDeviceActivity();
    return true;
}
