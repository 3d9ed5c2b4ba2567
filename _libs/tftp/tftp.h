#pragma once
// Inside the built-in TFTP service: the record of one transfer and what the service's pieces
// offer each other. The pieces: the listener (tftp_listener.cpp) takes requests and hands each to a
// worker of the pool (tftp_pool.cpp); the worker decodes it (tftp_request.cpp, with the parser in
// tftp_packet.cpp, the name rules in tftp_path.cpp and the options in tftp_options.cpp) and runs
// an engine (tftp_transfer.cpp, its packet I/O in tftp_transfer_io.cpp). Start and stop are in tftp_interface.h.
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/types.h>

#include <cstdint>
#include <ctime>
#include <string>

#include <openssl/evp.h>

#include "_libs/tftp/tftp_interface.h"
#include "_libs/tftp/tftp_packet.h"

constexpr int kTftpPermanentWorkers = 30;
// Kernel memory one datagram of a block of `blockSize` bytes takes in a receive buffer (what counts
// against SO_RCVBUF), rounded up so it also covers a block that arrives in IP fragments.
constexpr int TftpBlockBufferCost(int blockSize) {
    int cost = 1024;
    while (cost < blockSize + 366) cost *= 2;
    return cost + 512;
}

constexpr int REQ_READ_OACK = 1000;
constexpr int REQ_WRITE_OACK = 1001;
constexpr int REQ_READ = 1002;
constexpr int REQ_WRITE = 1003;
constexpr int REQ_REFUSED = 1004;

// Last-error numbers the service decides by (kept in the Winsock/Win32 numbering of its log texts).
constexpr int kErrAccess = 10013;
constexpr int kErrInvalid = 10022;
constexpr int kErrAddrInUse = 10048;
constexpr int kErrAddrNotAvail = 10049;
constexpr int kErrHostNotFound = 11001;
constexpr int kErrDirectory = 267;
constexpr int kErrBadLength = 24;

struct TftpTransfer {
    int32_t bActive;
    int32_t bPermanent;
    pthread_t hThread;
    uint32_t dwThreadId;
    int hWakeEvent;  // eventfd of a permanent worker, -1 for the others
    int32_t nTransfer;
    int skt;
    int hFile;
    uint32_t nCount;      // block counter A
    uint32_t nBlockCount; // block count T
    uint32_t nNextBlock;  // next block N
    uint32_t nLastLen;    // OACK body length, then L
    uint32_t nTimeouts;   // R
    uint32_t nSent;       // S
    int32_t nReplyPort;
    int32_t nBlkSize;
    int32_t nTimeout;
    int32_t nMode;
    int32_t nWindow;
    unsigned char dataPkt[4 + kTftpMaxBlockSize];
    // Ours: the sender reads the next block while the client is busy with the last one, so the
    // read is off the path between an ACK and the next DATA. Never cleared: only the block
    // number nAheadBlock (0: nothing read ahead) says whether it holds anything.
    unsigned char aheadPkt[4 + kTftpMaxBlockSize];
    uint32_t nAheadBlock;
    uint32_t nAheadLen;
    unsigned char ctrlPkt[kTftpRequestSize];
    sockaddr_storage peer;
    unsigned char reqPkt[kTftpRequestSize];
    int32_t nReqLen;  // bytes of reqPkt the request filled
    int32_t nOtherRecords;
    int32_t nBytes;
    int32_t nResent;
    uint32_t nFileSize;
    int64_t tStart;
    int32_t bMd5;
    EVP_MD_CTX* md5;
    unsigned char md5Digest[16];
    TftpTransfer* next;
    // Ours: the settings this transfer runs by (the service's, or a test's), and the root folder
    // as it stood when the request came in.
    const TftpConfig* cfg;
    char szRoot[kTftpMaxPath];
    int32_t nOpcode;
    // The requested name once normalised (what the log shows), the final name (root, '\', name:
    // what the log calls the file) and the path the file system opens.
    char szName[kTftpMaxPath];
    char szFinalName[2 * kTftpMaxPath];
    char szPath[4 * kTftpMaxPath];
    // Ours: a write lands in a temporary file beside the target and is renamed over it only when
    // the whole file has arrived, so a failed upload never leaves a truncated firmware behind.
    char szTempName[4 * kTftpMaxPath + 16];
    // Ours: the name beneath the root as the file system sees it ('/'-separated, UTF-8); a write's
    // folder (opened beneath the root), its target's and its temporary file's names in that folder.
    char szRelPath[4 * kTftpMaxPath];
    int hDir;
    char szTargetBase[4 * kTftpMaxPath];
    // Ours: the size a write announced with "tsize" (bAnnounced set): more is refused as disk full.
    int32_t bAnnounced;
    uint64_t nAnnounced;
    uint64_t nReceived;
    // Ours: the client's address as the listener counts records per client, and its address and
    // port as the request came in (main thread only: the worker rewrites `peer`).
    unsigned char clientKey[16];
    sockaddr_storage requestFrom;
    // Ours: the "windowsize" granted in the OACK, 0 when none was: the sender keeps this many blocks
    // in flight, the receiver acknowledges every this many.
    int32_t nWindowSize;
    // Ours: how long the worker waits before serving (a repeated request), so the delay never
    // stalls the listener for other clients.
    int32_t nStartDelayMs;
    // Ours: the file of a read as it was opened, and whether the read observer wants it unchanged to
    // the end (the sender then checks it again before the last block).
    TftpFileIdentity opened;
    int32_t bWatchFile;
    // Ours: set by the listener (read through std::atomic_ref) when a new request came from this
    // transfer's very address and port: the client has moved on to that one, and an ERROR from
    // here would end it too (curl takes an ERROR from any port), so this transfer ends silently.
    int32_t bSuperseded;
};

// The service's state (tftp_interface.cpp): its settings, fixed while it runs apart from the
// address and root a second start may change, read through the copies below.
const TftpConfig& TftpSettings();
void CopyTftpRootDir(char* out, size_t size);
void CopyTftpBindAddr(char* out, size_t size);
bool TftpRunning();
// The stop signal every wait of a transfer also watches, so a stop does not wait out time-outs.
int TftpStopFd();
void TftpSetListenStatus(int state, int error, const char* address, const char* port, const char* reason);

// Listener and main thread (tftp_listener.cpp).
void* TftpMainThread(void* unused);
// Milliseconds the request waits before it is served (0 unless it repeats the last one), or -1
// when it is dropped: repeats are paced 250 ms apart and at most a second's worth may wait.
int CheckRepeatedRequest(const sockaddr_storage* from, const unsigned char* packet, int length);
// Tells the read observer (SetTftpReadObserver) of `event` on the transfer's file: -1 when there is
// none, else its answer (for TFTP_READ_OPENED: 0 to serve, or the TFTP error code to refuse with).
int TftpNotifyRead(const TftpTransfer* transfer, int event);

// Worker pool (tftp_pool.cpp): records, workers, the orderly end.
TftpTransfer* TakeIdleRecord();
int CountRecords();
void DiscardRecord(TftpTransfer* transfer);
void ResetTransfer(TftpTransfer* transfer);
// Hands a received request to its worker (wakes a permanent one or starts one); false when no
// thread could be started, the record then discarded.
bool StartTransfer(TftpTransfer* transfer);
void CreatePermanentWorkers();
bool ReapEndedWorkers();
void ShutdownWorkers();
void ResetPoolForStart();
// Starts a joinable thread with a small stack (raised to what the platform and sanitizers need)
// and the given name.
bool TftpStartThread(void* (*body)(void*), void* argument, size_t requestedStack, const char* name, pthread_t* thread);
// Joins `thread` within `timeoutMs`; true when it has ended.
bool TftpJoinWithin(pthread_t thread, int timeoutMs);
// eventfd helpers: Set makes it readable, Drain reads it back to not signalled.
void TftpSetEvent(int fd);
void TftpDrainEvent(int fd);
// The main thread's wake-up: set by StopTftp and by every worker that ends. Created once per
// process and never closed, so a worker left behind by a stop never writes into a reused descriptor.
int TftpServiceEvent();
void TftpSignalAbort();
void TftpClearAbort();

// Last error of the calling thread, and ERROR packets (tftp_error.cpp).
const char* LastErrorText();
int LastErrorCode();
// Records the calling thread's last error from errno (socket calls map to the Winsock numbers).
void SetLastErrorFromErrno(int err, bool socketCall);
void SetLastErrorCode(int code);
int SendTftpError(TftpTransfer* transfer, int code);
// An ERROR packet with a text of our own where the standard one would mislead the client.
int SendTftpErrorText(TftpTransfer* transfer, int code, const char* text);
int ReportSyscallError(TftpTransfer* transfer, int code, const char* call);
// "host" and "port" of an address as numbers; IPv4 clients of the dual-stack socket plainly.
void NumericHostPort(const sockaddr_storage* address, socklen_t length, char* host, size_t hostSize, char* port,
                     size_t portSize);

// Names (tftp_path.cpp). Turns the requested name into the transfer's szName, szFinalName and
// szPath by the settings' rules; 0 when it may be served, else the TFTP error code to refuse with.
int ResolveRequestPath(TftpTransfer* transfer, const char* requested, bool quiet = false);
// A file name under a root as the file system sees it: GBK to UTF-8, '\' to '/'.
std::string SystemPathUnder(const char* root, const char* name);
std::string SystemNameOf(const char* name);
// Opens `relative` beneath the folder `rootFd` as if that folder were "/": no "..", link or /proc
// magic link leads out of it (openat2, or component by component where the kernel lacks it).
int OpenBeneath(int rootFd, const char* relative, int flags, mode_t mode);
// The root folder opened as the file system names it ('\\' read as '/').
int OpenRootDir(const char* root, int flags);
// The identity of a file as fstat gave it.
TftpFileIdentity FileIdentityOf(const struct stat& st);
// True for the errno of an OpenBeneath refused for leaving the root.
bool EscapesRoot(int err);
// Removes what interrupted uploads left beneath `root`; the number removed.
int RemoveUploadTempFiles(const char* root);
bool MakeUploadTempName(const std::string& base, std::string* temp);

// Requests (tftp_request.cpp).
void ServeRequest(TftpTransfer* transfer);
int DecodeRequest(TftpTransfer* transfer);
const char* RequestFileName(const TftpTransfer* transfer);
// Finishes a write's temporary file: flushed and renamed over the target after success (false when
// that fails, with the last error set), removed otherwise.
bool FinishWrittenFile(TftpTransfer* transfer, bool success);

// Options (tftp_options.cpp): answers the request's options into the OACK in ctrlPkt (its body
// length into nLastLen) and applies them; true when the OACK is due.
bool NegotiateOptions(TftpTransfer* transfer, const TftpRequest& request);

// Engines (tftp_transfer.cpp): the window and acknowledgement bookkeeping of both directions.
int SendFileLoop(TftpTransfer* transfer);
int ReceiveFileLoop(TftpTransfer* transfer, int oackSent);

// The engines' packet I/O (tftp_transfer_io.cpp).
int SendOack(TftpTransfer* transfer);
int SendAck(TftpTransfer* transfer, uint32_t block);
// What ReceiveReady gives when the wait for a packet timed out.
constexpr ssize_t kNothingYet = -2;
// The next datagram of the transfer, or kNothingYet after the time-out of the current retry step.
ssize_t ReceiveReady(TftpTransfer* transfer, unsigned char* buffer, size_t size);
// After a time-out: true (and logged) when the time-out was the service stopping.
bool CancelledByStop(TftpTransfer* transfer);
// True (and reported) when a receive gave an error or an empty datagram.
bool ReceiveFailed(TftpTransfer* transfer, ssize_t n);
// Adds to the transfer's byte statistic (32 bits wide: it wraps on files of 2 GiB and more).
void AddBytes(TftpTransfer* transfer, uint32_t count);
void ReportTransferStats(TftpTransfer* transfer);

// Side files (tftp_dir.cpp).
void Md5Start(TftpTransfer* transfer);
void Md5Add(TftpTransfer* transfer, const void* data, size_t length);
int WriteMd5SideFile(TftpTransfer* transfer);
int WriteDirListing(const char* root);
