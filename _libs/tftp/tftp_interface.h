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
// Whether a read request for `name` (a file name in `root`, GBK as devices send it) would be
// served under `settings`: 0, or the TFTP error code it would be refused with and, in `why`, the
// reason in a few words.
int TftpCheckServable(const char* root, const char* name, const TftpConfig& settings, char* why, size_t whySize);
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

// Told of every read request whose file the service opened, with the client's IPv4 address in
// network order, on the transfer's thread: an upgrade run learns that a device started its
// download. One observer at a time; null removes it, waiting for a call in progress to end.
using TftpReadObserver = void (*)(void* context, uint32_t clientAddress);
void SetTftpReadObserver(TftpReadObserver observer, void* context);

// Fills `status` and returns 1 when the service is listening, 0 otherwise.
int GetTftpServiceStatus(TftpServiceStatus* status);
