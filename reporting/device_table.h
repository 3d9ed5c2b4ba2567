#pragma once
// The device table: what ties a device's reports (which carry only its MAC) to its row on
// screen and to the firmware version it was sent.

constexpr int kMaxIpcInfo = 100;      // records at rest
constexpr int kIpcInfoTrimCount = 10;  // oldest records dropped when a registration passes the limit
// Rows of the device list past which reports of devices without a record are dropped, not shown:
// far above any real run, but a host inventing MACs cannot grow the list without bound.
constexpr int kMaxListRows = 5000;

// The report that ends a device's upgrade, by the kind of the file it was sent.
constexpr int kFinalEventIpc = 3;   // "Report_Filesystem"
constexpr int kFinalEventNvr = 11;  // "Report_Update"
constexpr int kNvrDevType = 1;

struct stIpcInfo {
    char szMac[64];         // as the device sent it; all zero once the device has been counted
    char szIpAddr[64];      // the address lent to it
    int nIndex;             // its row in the device list, -1 before its first report
    char szNewVersion[256]; // the version of the file it was sent
    int nDevType;           // 0 IPC kind (done at "Report_Filesystem"), 1 NVR kind (at "Report_Update")
};

// 2 for an empty text or one without "-", 1 for exactly one "-", 0 for two or more.
int GetDevTypeFromVersion(const char* szVersion);
// Every "*" becomes "-", in place; nothing for a size of 0 or less.
void ReplaceStarWithDash(char* szText, int size);
