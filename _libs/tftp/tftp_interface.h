#pragma once
// The built-in TFTP service as the upgrade run sees it: its settings, start, stop and status.
#include <cstddef>
#include <cstdint>

constexpr int kTftpMaxPath = 260;
constexpr int kTftpDefaultMaxWindow = 64;

struct TftpConfig {
    int32_t nTimeoutSec;
    int32_t nMaxRetries;
    int32_t nWindowBytes;
    int32_t nSecurityLevel;
    int32_t nPort;
    int32_t bOptions;
    int32_t bTsizeOnly;
    int32_t bDirListing;
    int32_t bMd5Files;
    int32_t bSlashToBackslash;
    int32_t bBeep;
    int32_t bStripLeadingBackslash;
    char szBindAddr[132];
    uint32_t nPortLow;
    uint32_t nPortHigh;
    int32_t bUdpPortOption;
    int32_t bNoLastAckWait;
    int32_t bIPv4;
    int32_t bIPv6;
    int32_t nMaxTransfers;
    char szRootDir[kTftpMaxPath];
    int32_t nPollMs;
    // Length of one "second" of the transfer time-outs, in milliseconds: 1000 in force; tests
    // shorten it so the retry ladder of the engines runs in a fraction of the time.
    int32_t nTimeUnitMs;
    // Ours: the largest "windowsize" (blocks per acknowledgement) granted to a client that asks for
    // one; 0 leaves the option unanswered, so every transfer runs in lock-step.
    int32_t nMaxWindowSize;
    // Ours: transfer records one client address may hold at once (0: no limit). A host that asks
    // and never answers then stalls only itself.
    int32_t nMaxPerClient;
};

// The security level that refuses every write: what an upgrade run serves its folder with.
constexpr int kTftpReadOnlyLevel = 3;
// Transfer records one client address may hold at once by default; further requests are dropped.
constexpr int kTftpMaxRecordsPerClient = 8;

// The values in force unless a caller passes others.
TftpConfig TftpDefaultConfig();

// Starts the service on `localAddress` (numeric; anything not starting with a digit listens on all
// local addresses, IPv4 and IPv6 on one socket) serving `rootDir`. `settings` is copied when the
// service starts; a start while it runs changes only the address (for the next listening socket)
// and the root (from the next request on). Returns 1 in every case: ask GetTftpServiceStatus
// whether the service actually listens.
int StartTftp(const char* localAddress, const char* rootDir, const TftpConfig& settings = TftpDefaultConfig());
// What tells one state of a file from another without reading it: a replacement changes the device
// or inode, a rewrite in place the size, mtime or ctime (nanoseconds where the file system has them).
struct TftpFileIdentity {
    uint64_t nDevice;
    uint64_t nInode;
    uint64_t nSize;
    int64_t nMtimeSec;
    int64_t nMtimeNsec;
    int64_t nCtimeSec;
    int64_t nCtimeNsec;
    // Why it could not be opened (errno), 0 when it was, or when the name rules refused it.
    int32_t nOpenError;
};
bool SameTftpFile(const TftpFileIdentity& a, const TftpFileIdentity& b);

// Whether a read request for `name` (a file name in `root`, GBK as devices send it) would be
// served under `settings`: 0, or the TFTP error code it would be refused with and, in `why`, the
// reason in a few words. `identity`, when given, receives the file's as the service would open it.
int TftpCheckServable(const char* root, const char* name, const TftpConfig& settings, char* why, size_t whySize,
                      TftpFileIdentity* identity = nullptr);
// Stops the service: clients in the middle of a transfer get ERROR 99. Safe to call when stopped.
void StopTftp();

enum TftpListenState {
    TFTP_STOPPED = 0,   // not started, or stopped
    TFTP_STARTING = 1,  // started, listening socket not opened yet
    TFTP_LISTENING = 2, // the listening socket is open
    TFTP_FAILED = 3,    // the listening socket could not be opened; nothing is served
};

struct TftpServiceStatus {
    int32_t nState;        // TftpListenState
    int32_t nError;        // the failing step's error code when nState is TFTP_FAILED
    char szAddress[64];    // numeric address the socket is bound to ("::" for the dual-stack wildcard)
    char szPort[16];       // numeric port
    char szReason[512];    // what went wrong, in one line, when nState is TFTP_FAILED
    char szRootDir[kTftpMaxPath];  // the folder requests are served from
};

enum TftpReadEvent {
    TFTP_READ_OPENED = 0,   // the file of a read request is open, nothing sent yet
    TFTP_READ_CHANGED = 1,  // the file changed while it was being sent: its last block was withheld
};

struct TftpReadInfo {
    int32_t nEvent;          // TftpReadEvent
    uint32_t clientAddress;  // IPv4 in network order, 0 for a client of another family
    // The name beneath the root as the file system sees it: UTF-8, '/'-separated, no "." parts.
    const char* szRelPath;
    TftpFileIdentity identity;  // of the file as it was opened
};

// Told of every read request whose file the service opened, and of every such file that changed
// during its transfer, on the transfer's thread: an upgrade run learns that a device started its
// download, and keeps the service to the files it catalogued. For TFTP_READ_OPENED it answers 0 to
// serve the file or the TFTP error code to refuse it with; while an observer is set, the service
// also withholds the last block of a file that changed since it was opened. One observer at a time;
// null removes it, waiting for a call in progress to end.
using TftpReadObserver = int (*)(void* context, const TftpReadInfo& read);
void SetTftpReadObserver(TftpReadObserver observer, void* context);

// Fills `status` and returns 1 when the service is listening, 0 otherwise.
int GetTftpServiceStatus(TftpServiceStatus* status);
