#pragma once
// The main window object without the pixels: it owns every piece of run state and runs the
// handlers' logic. Front ends (app/qt, app/console) draw it; nothing here includes Qt.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>
#include <vector>


#include "app/device_list_model.h"
#include "app/kelvane_view.h"
#include "app/run_results.h"
#include "app/ui_channel.h"
#include "firmware/upgrade_scan.h"
#include "messaging/dispatch.h"
#include "platform/thread.h"
#include "reporting/device_table.h"

struct RequestThreadInfo;

// How the device listener of a run is doing; the run control shows a failure to the operator.
struct ListenerStatus {
    enum State { NotStarted, Listening, Ended, Failed };
    State state = NotStarted;
    int result = 0;     // the listener's result once it has ended
    std::string error;  // why it could not listen, for the operator
};

class CKelvaneDlg {
public:
    CKelvaneDlg();
    virtual ~CKelvaneDlg();
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
    RunResults m_results;

    // ---- Device messaging -------------------------------------------------------------
    // Handlers called by the dispatch threads: an address request on its own thread, a
    // report (event 0..11) on the message thread.
    virtual void RequestIpaddrProc(const char* text, int seq);
    virtual int ReportMsgProc(int event, const char* text);

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

    // Every thread that uses this object (request threads, and the run's threads, which a stop
    // may have to let go of) counts itself in and out, so the object outlives every one of them.
    void RequestThreadEnter();
    void RequestThreadLeave();
    // Waits up to `timeoutMs` until no such thread is left; false when some still are.
    bool WaitThreadsGone(int timeoutMs);

    std::atomic<int32_t> m_bRunning{0};
    std::atomic<int32_t> m_bPauseTest{0};
    char m_szLocalIP[64] = {};
    std::atomic<uint32_t> m_dwMsgThreadId{0};
    int m_nRequestSeq = 0;  // written only by the listener
    RequestThreadInfo* m_pRequestThreadList = nullptr;
    std::mutex m_csRequestThread;

    std::unique_ptr<platform::Thread> m_hCleanThread;
    std::unique_ptr<platform::Thread> m_hMsgThread;
    std::unique_ptr<platform::Thread> m_hListenThread;
    // Readable once a stop has begun, so the listener need not sit out its 2-s wait.
    int ListenerWakeFd() const { return m_wakeFd; }
    // Steady-clock milliseconds of the last device datagram the listener took in, 0 before any.
    std::atomic<int64_t> m_nLastDeviceMessageMs{0};
    // Opened by the start so that it can refuse a run no device would be heard in; the listener
    // takes it over (or opens its own when the start did not).
    DeviceListenSocket m_listenSocket;

    // ---- Front end ----------------------------------------------------------------------
    // The front end that draws this object, or null; changes reach it in order (UiChannel).
    void SetView(IKelvaneView* view) { m_ui.SetView(view); }
    UiChannel m_ui;
    uint16_t m_wLangID;  // the display language: 1033 English, anything else Chinese

    // ---- Progress reporting -------------------------------------------------------------
    // The device list; the message thread reads its row count without waiting for the window.
    DeviceListModel m_lstInfo{m_ui};
    // One record per device that was lent an address, oldest first; at most 100 at rest.
    std::vector<stIpcInfo> m_vecIpcInfo;
    std::mutex m_csIpcInfo;  // taken before m_csCount where both are held
    int m_nSuccessCount = 0;
    int m_nFailCount = 0;
    std::mutex m_csCount;

    int GetIPCStateText(uint32_t event, uint32_t state, char* szText) const;
    // Adds a device that was sent a file (or gives a known one its new address).
    void RegisterIpcInfo(const char* szMac, const char* szIpAddr, const char* szNewVersion, int nDevType);
    void ClearIpcInfo();
    // Sets both counters to 0 and shows them.
    void ResetCounters();

    // ---- Address allocation ----
    // The next address to lend (its first three octets are every lent address's prefix), guarded
    // by m_csAllocIp; check box 1014 "IP占用检测", read live by the request threads.
    char m_szNextAllocIp[64] = {};
    std::mutex m_csAllocIp;
    std::atomic<int32_t> m_bIpCheck{0};
    // The next three candidates into three 64-character slots; 0, or -1 without slots.
    int DistributeThreeNotUseIPArr(char (*szAllocIpArr)[64]);
    // The address to lend to a device (64 characters, zero-filled by the caller): 0, or non-zero
    // when no address can be lent.
    int GetNotUseIp(char* szNewIp, const char* szLocalIp, int seq);

    // ---- Address requests ----
    // The server's MAC with ":" separators, set when a run starts; the check box 1009
    // "强制升级旧版本", read live by the request threads.
    char m_szLocalMac[256] = {};
    std::atomic<int32_t> m_bForceUpgrade{0};
    // Broadcasts a reply (text and its NUL) from m_szLocalIP to port 10010: 0 sent, -1 no
    // socket, -2 cannot bind to m_szLocalIP.
    int SendToIPC(const char* szMsg, int nLen);
    void RegisterIpcInfo(const char* szMac, const char* szIpAddr, const UpgradeFileInfo& entry);

    // ---- Firmware catalogue ----
    // Rebuilds the catalogue from the upgrade folder (UTF-8, as the window shows it). Runs before
    // the run's threads start, so they read the catalogue without a lock.
    void SaveUpgradeFileInfo(const std::string& strFolderName);
    std::vector<UpgradeFileInfo> m_vecUpgradeFileInfo;

private:
    std::unique_ptr<platform::Thread> StartRunThread(int (*body)(CKelvaneDlg*), platform::ThreadPriority priority);
    // Start and stop of a run; false (with the reason shown) when the start is refused.
    bool StartRun();
    void StopRun();
    void RefuseStart(const std::string& reason, const std::string& caption);
    void ShowIdle();
    std::string Text(const char* english, const char* chinese) const;

    mutable std::mutex m_inputMutex;
    std::string m_strUpgradeDir;   // item 1000
    std::string m_strLocalIpText;  // item 1001
    std::string m_strStartError;
    std::mutex m_runControl;  // one start, stop or close at a time
    bool m_bTftpStarted = false;

    int m_wakeFd = -1;
    mutable std::mutex m_listenerMutex;
    mutable std::condition_variable m_listenerCv;
    ListenerStatus m_listenerStatus;

    std::mutex m_requestMutex;
    std::condition_variable m_requestCv;
    int m_nActiveRequests = 0;
};
