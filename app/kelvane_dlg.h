#pragma once
// The main window object without the pixels: it holds a run's state and runs the window's
// handlers. Front ends (app/qt, app/console) draw it; nothing here includes Qt.
#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "_libs/tftp/tftp_interface.h"
#include "app/catalogue_watch.h"
#include "app/device_list_model.h"
#include "app/kelvane_view.h"
#include "app/run_results.h"
#include "app/ui_channel.h"
#include "firmware/upgrade_scan.h"
#include "messaging/dispatch.h"
#include "negotiation/address_request.h"
#include "platform/local_time.h"
#include "platform/thread.h"
#include "reporting/device_table.h"

// Each subsystem owns its state and logic: the dispatcher (messaging/), the device table
// (reporting/), the address-request handler (negotiation/), the catalogue (firmware/). This
// object composes them and keeps the main window's names: its operations forward to the
// subsystem in kelvane_dlg.cpp, and its members of those names are references into it.
class CKelvaneDlg : public IDeviceMessageHandler, private IDeviceTableView, private IAddressRequestEvents {
public:
    CKelvaneDlg();
    ~CKelvaneDlg() override;
    CKelvaneDlg(const CKelvaneDlg&) = delete;
    CKelvaneDlg& operator=(const CKelvaneDlg&) = delete;

    // ---- Run control: the window's handlers without the pixels (run_control.cpp) ----------
    // The front-end-independent part of the dialog's initialisation: the folder from
    // "Config.ini" (item 1000), the log threshold from "LogSwitch", the local addresses (item
    // 1001, the first chosen), the hidden items. Call once, with the view set.
    void InitDialogState();
    // What the operator typed or picked in item 1000 (folder) or 1001 (local address), UTF-8.
    // Front ends report every change (any thread); a start reads them.
    void SetItemInput(int item, const std::string& utf8);
    std::string GetItemInput(int item) const;
    // The TFTP service's settings for the next start (the defaults; a test shortens time-outs).
    TftpConfig m_tftpSettings = TftpDefaultConfig();
    // Transfer records of a run's TFTP service at least: one for each address the run may lend
    // (last octet 10 to 250), with room to spare.
    static constexpr int kRunTftpTransfers = 256;
    // Starts a run, or stops the running one. Takes seconds (the TFTP service's start, joins):
    // a window calls it off its own thread. A start that cannot serve is refused: nothing
    // starts, the window stays idle and the operator is told why and what to do.
    void OnBtnStart();
    void OnBtnPause();
    void OnBtnClearList();
    // Check boxes 1014 and 1009 as the operator left them; checking 1014 shows a warning.
    void OnChkIpCheck(bool checked);
    void OnChkForceOld(bool checked);
    // True when the window may close: at once when idle; during a run only after the operator
    // confirmed, the run has stopped and the list is cleared.
    bool OnClose();
    bool IsRunning() const { return m_bRunning != 0; }
    // Why the last start was refused, as the operator was told; empty when it started.
    std::string LastStartError() const;
    // Every device of the current (or last) run, copied without holding up the run.
    std::vector<DeviceResult> ResultsSnapshot() const { return m_results.Snapshot(); }
    // Outcomes as the results hold them (equal to the counters), and devices left out of them.
    ResultCounts ResultsCounts() const { return m_results.Counts(); }
    // Address requests of this run left unanswered because every address of the range was held,
    // and how many addresses are held now; for the front ends to show.
    int RangeFullRequests() const { return m_addressRequests.m_nRangeFullRequests.load(); }
    int HeldAddresses() { return m_addressRequests.m_leases.HeldCount(platform::SteadyMs()); }

    // ---- Front end ----------------------------------------------------------------------
    // The front end that draws this object, or null; changes reach it in order (UiChannel).
    void SetView(IKelvaneView* view) { m_ui.SetView(view); }
    UiChannel m_ui;
    uint16_t m_wLangID;  // the display language: 1033 English, anything else Chinese
    // The device list; the message thread reads its row count without waiting for the window.
    DeviceListModel m_lstInfo{m_ui};
    RunResults m_results;

    // ---- The subsystems (declared before the references into them) ----------------------
    UpgradeCatalogue m_catalogue;
    DeviceTable m_deviceTable{*this, m_wLangID};
    DeviceDispatcher m_dispatcher{*this};
    AddressRequestHandler m_addressRequests{m_dispatcher.m_szLocalIP, m_catalogue.m_vecUpgradeFileInfo, *this};

    // ---- Device messaging (messaging/dispatch.h) ----------------------------------------
    // Handlers called by the dispatch threads: an address request on its own thread, a
    // report (event 0..11) on the message thread.
    void RequestIpaddrProc(const char* text, int seq) override;
    void RequestFrom(const char* text, int seq, in_addr sender) override;
    int ReportMsgProc(int event, const char* text) override;
    // A report of a device that asked counts only from the address lent to it or, before any
    // lease, from where its request came; others are logged and dropped.
    int ReportFrom(int event, const char* text, in_addr sender) override;

    // Starts the clean-up thread, the message thread and, 20 ms later, the listener; stops
    // and joins them (10 s each). m_bRunning must be set before the start and cleared before the stop.
    bool StartMessagingThreads();
    void StopMessagingThreads();

    ListenerStatus GetListenerStatus() const;
    void SetListenerStatus(ListenerStatus::State state, int result, const std::string& error);
    // Waits until the listener has bound its socket or given up; false on time-out.
    bool WaitListenerSettled(int timeoutMs) const;

    // Stops a run still going and waits for the request threads, which may outlive a stop.
    // The destructor does it; a class derived from this one calls it in its own destructor,
    // since those threads run the derived handlers.
    void ShutDown();

    // Waits up to `timeoutMs` until no thread that uses this object (request threads, and the
    // run's threads, which a stop may have to let go of) is left; false when some still are.
    bool WaitThreadsGone(int timeoutMs);

    std::atomic<int32_t>& m_bRunning = m_dispatcher.m_bRunning;
    std::atomic<int32_t>& m_bPauseTest = m_dispatcher.m_bPauseTest;
    char (&m_szLocalIP)[64] = m_dispatcher.m_szLocalIP;
    int& m_nRequestSeq = m_dispatcher.m_nRequestSeq;  // written only by the listener
    RequestThreadInfo*& m_pRequestThreadList = m_dispatcher.m_pRequestThreadList;
    std::mutex& m_csRequestThread = m_dispatcher.m_csRequestThread;
    std::unique_ptr<platform::Thread>& m_hCleanThread = m_dispatcher.m_hCleanThread;
    std::unique_ptr<platform::Thread>& m_hMsgThread = m_dispatcher.m_hMsgThread;
    std::unique_ptr<platform::Thread>& m_hListenThread = m_dispatcher.m_hListenThread;
    // Steady-clock milliseconds of the last well-formed message of a device that asked and was
    // answered (an offer, a no-upgrade for a catalogued model, a report of an offered device).
    std::atomic<int64_t>& m_nLastDeviceMessageMs = m_dispatcher.m_nLastDeviceMessageMs;
    // Opened by the start so that it can refuse a run no device would be heard in.
    DeviceListenSocket& m_listenSocket = m_dispatcher.m_listenSocket;

    // ---- Progress reporting (reporting/device_table.h) ----------------------------------
    // One record per device that was lent an address, oldest first; at most 100 at rest.
    std::vector<stIpcInfo>& m_vecIpcInfo = m_deviceTable.m_vecIpcInfo;
    std::mutex& m_csIpcInfo = m_deviceTable.m_csIpcInfo;  // taken before m_csCount where both are held
    int& m_nSuccessCount = m_deviceTable.m_nSuccessCount;
    int& m_nFailCount = m_deviceTable.m_nFailCount;
    std::mutex& m_csCount = m_deviceTable.m_csCount;

    int GetIPCStateText(uint32_t event, uint32_t state, char* szText) const;
    // Adds a device that was sent a file (or gives a known one its new address).
    void RegisterIpcInfo(const char* szMac, const char* szIpAddr, const char* szNewVersion, int nDevType);
    void ClearIpcInfo();
    // Sets both counters to 0 and shows them.
    void ResetCounters();

    // ---- Address requests and allocation (negotiation/address_request.h) ----------------
    // The next address to lend, guarded by m_csAllocIp; check box 1014 "IP占用检测".
    char (&m_szNextAllocIp)[64] = m_addressRequests.m_szNextAllocIp;
    std::mutex& m_csAllocIp = m_addressRequests.m_csAllocIp;
    std::atomic<int32_t>& m_bIpCheck = m_addressRequests.m_bIpCheck;
    // The next three candidates into three 64-character slots; 0, or -1 without slots.
    int DistributeThreeNotUseIPArr(char (*szAllocIpArr)[64]);
    // The address to lend to a device (64 characters, zero-filled by the caller): 0, or non-zero
    // when no address can be lent.
    int GetNotUseIp(char* szNewIp, const char* szLocalIp, int seq);
    // The server's MAC with ":" separators, set when a run starts; check box 1009 "强制升级旧版本".
    char (&m_szLocalMac)[256] = m_addressRequests.m_szLocalMac;
    std::atomic<int32_t>& m_bForceUpgrade = m_addressRequests.m_bForceUpgrade;
    // Broadcasts a reply (text and its NUL) from m_szLocalIP to port 10010: 0 sent, -1 no
    // socket, -2 cannot bind to m_szLocalIP.
    int SendToIPC(const char* szMsg, int nLen);
    void RegisterIpcInfo(const char* szMac, const char* szIpAddr, const UpgradeFileInfo& entry);

    // ---- Firmware catalogue (firmware/upgrade_scan.h) -----------------------------------
    // Rebuilds the catalogue from the upgrade folder (UTF-8, as the window shows it). Runs before
    // the run's threads start, so they read the catalogue without a lock.
    void SaveUpgradeFileInfo(const std::string& strFolderName);
    // True when the catalogue has a file of `model` (GBK, as the device sent it).
    bool IsCataloguedModel(const char* model) const;
    std::vector<UpgradeFileInfo>& m_vecUpgradeFileInfo = m_catalogue.m_vecUpgradeFileInfo;
    // The catalogued files as the run started with them; entries that changed are withdrawn.
    CatalogueWatch m_catalogueWatch;

private:
    // What the device table shows through (IDeviceTableView).
    int RowCount() override;
    void InsertRow(int row, const char* number) override;
    void FillRow(int row, const char* ip, const char* stateText, const char* schedule, const char* version) override;
    void ShowNewVersion(int row, const char* newVersion) override;
    void ScrollToRow(int row) override;
    void QueueCounter(bool success, int value) override;
    void ShowQueued() override;
    void RecordReport(const char* mac, int event, int state, const char* stateText, const char* schedule,
                      int row) override;
    void OnOutcome(const char* mac, bool succeeded) override;
    bool StillUpgrading(const char* mac) override;
    // What the address-request handler decided (IAddressRequestEvents).
    void OnRequestFrom(const char* mac, const char* sender) override;
    void OnNoUpgrade(const char* mac, const char* model, const char* versionBefore) override;
    bool OnOffered(const char* mac, const char* model, const char* versionBefore, const UpgradeFileInfo& entry,
                   const char* address) override;
    bool StillOffered(size_t index) override { return m_catalogueWatch.StillOffered(index); }
    // Tells the operator, once, that a catalogued file changed and is no longer offered.
    void TellWithdrawn(const UpgradeFileInfo& entry, FileChange change, const std::string& detail);

    void NoteDeviceActivity();
    // Start and stop of a run; false (with the reason shown) when the start is refused.
    bool StartRun();
    void StopRun();
    void RefuseStart(const std::string& reason, const std::string& caption);
    void ShowIdle();
    std::string Text(const char* english, const char* chinese) const;
    bool English() const;

    mutable std::mutex m_inputMutex;
    std::string m_strUpgradeDir;   // item 1000
    std::string m_strLocalIpText;  // item 1001
    std::string m_strStartError;
    std::mutex m_runControl;  // one start, stop or close at a time
    bool m_bTftpStarted = false;
};
