#pragma once
// The device table: what ties a device's reports (which carry only its MAC) to its row on
// screen and to the firmware version it was sent, and counts each device's outcome once.
#include <cstdint>
#include <mutex>
#include <vector>

// Records at rest: room for a device at every address of the range (10 to 250) and as many
// counted ones, so a device still upgrading never has to make way.
constexpr int kMaxIpcInfo = 512;
// Rows of the device list past which reports of devices without a record are dropped, not shown:
// far above any real run, but a host inventing MACs cannot grow the list without bound.
constexpr int kMaxListRows = 5000;

// The report that ends a device's upgrade, by the kind of the file it was sent.
constexpr int kFinalEventIpc = 3;   // "Report_Filesystem"
constexpr int kFinalEventNvr = 11;  // "Report_Update"
constexpr int kNvrDevType = 1;

struct stIpcInfo {
    char szMac[64];          // as the device sent it; all zero once the device has been counted
    char szIpAddr[64];       // the address lent to it
    int nIndex;              // its row in the device list, -1 before its first report
    char szNewVersion[256];  // the version of the file it was sent
    int nDevType;            // 0 IPC kind (done at "Report_Filesystem"), 1 NVR kind (at "Report_Update")
};

// 2 for an empty text or one without "-", 1 for exactly one "-", 0 for two or more.
int GetDevTypeFromVersion(const char* szVersion);
// Every "*" becomes "-", in place; nothing for a size of 0 or less.
void ReplaceStarWithDash(char* szText, int size);

// Where the report handler shows what it learned: the device list, the two counters, and the
// per-device results kept for export.
class IDeviceTableView {
public:
    virtual ~IDeviceTableView() = default;
    virtual int RowCount() = 0;
    virtual void InsertRow(int row, const char* number) = 0;
    // Address, state text, progress and version before the upgrade, as a report gives them.
    virtual void FillRow(int row, const char* ip, const char* stateText, const char* schedule, const char* version) = 0;
    virtual void ShowNewVersion(int row, const char* newVersion) = 0;
    virtual void ScrollToRow(int row) = 0;
    // Counter changes are queued while the counter lock is held, so they are shown in order,
    // and shown by ShowQueued once no lock is held.
    virtual void QueueCounter(bool success, int value) = 0;
    virtual void ShowQueued() = 0;
    virtual void RecordReport(const char* mac, int event, int state, const char* stateText, const char* schedule,
                              int row) = 0;
    // The device was counted: exactly once per counter step, with m_csIpcInfo held.
    virtual void OnOutcome(const char* mac, bool succeeded) = 0;
    // Whether a device without outcome may still be upgrading (it holds its lent address); its
    // record is then never dropped. Called with m_csIpcInfo held.
    virtual bool StillUpgrading(const char* mac) = 0;
};

class DeviceTable {
public:
    // `langId` is the display language, read at each report.
    DeviceTable(IDeviceTableView& view, const uint16_t& langId) : m_view(view), m_langId(langId) {}

    // A report (event 0..11) from the message thread: 0, or the negative code of what was missing.
    int ReportMsgProc(int event, const char* text);
    int GetIPCStateText(uint32_t event, uint32_t state, char* szText) const;
    // Adds a device that was sent a file (or gives a known one its new address).
    void RegisterIpcInfo(const char* szMac, const char* szIpAddr, const char* szNewVersion, int nDevType);
    void ClearIpcInfo();
    // Sets both counters to 0 and shows them.
    void ResetCounters();

    // One record per device that was lent an address, oldest first; at most kMaxIpcInfo at rest
    // unless more devices than that are upgrading.
    std::vector<stIpcInfo> m_vecIpcInfo;
    std::mutex m_csIpcInfo;  // taken before m_csCount where both are held
    int m_nSuccessCount = 0;
    int m_nFailCount = 0;
    std::mutex m_csCount;

private:
    void DropOneLocked();

    IDeviceTableView& m_view;
    const uint16_t& m_langId;
};
