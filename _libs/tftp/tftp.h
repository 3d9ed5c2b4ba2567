#pragma once
// The built-in TFTP service: settings, the record of one transfer and the operations the service's
// threads share. Start and stop live in tftp_interface.h.
#include <netinet/in.h>
#include <pthread.h>
#include <sys/socket.h>

#include <cstdint>
#include <ctime>

#include <openssl/evp.h>

constexpr int kTftpSegSize = 512;
constexpr int kTftpMaxBlockSize = 16384;
constexpr int kTftpRequestSize = kTftpSegSize + 4;
constexpr int kTftpMaxPath = 260;
constexpr int kTftpPermanentWorkers = 30;
constexpr int kTftpDefaultMaxWindow = 64;
// Kernel memory one datagram of a block of `blockSize` bytes takes in a receive buffer (what counts
// against SO_RCVBUF), rounded up so it also covers a block that arrives in IP fragments.
constexpr int TftpBlockBufferCost(int blockSize) {
    int cost = 1024;
    while (cost < blockSize + 366) cost *= 2;
    return cost + 512;
}

constexpr int TFTP_RRQ = 1;
constexpr int TFTP_WRQ = 2;
constexpr int TFTP_DATA = 3;
constexpr int TFTP_ACK = 4;
constexpr int TFTP_ERROR = 5;
constexpr int TFTP_OACK = 6;

constexpr int REQ_READ_OACK = 1000;
constexpr int REQ_WRITE_OACK = 1001;
constexpr int REQ_READ = 1002;
constexpr int REQ_WRITE = 1003;
constexpr int REQ_REFUSED = 1004;

constexpr int TFTP_MODE_OCTET = 0;
constexpr int TFTP_MODE_NETASCII = 1;
constexpr int TFTP_MODE_MAIL = 2;

// Last-error numbers the service decides by (kept in the Winsock/Win32 numbering of its log texts).
constexpr int kErrAccess = 10013;
constexpr int kErrInvalid = 10022;
constexpr int kErrAddrInUse = 10048;
constexpr int kErrAddrNotAvail = 10049;
constexpr int kErrHostNotFound = 11001;
constexpr int kErrDirectory = 267;
constexpr int kErrBadLength = 24;

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
};

// The settings in force; tests change fields before StartTftp.
extern TftpConfig g_TftpConfig;
// The initial values, for tests that want them back.
TftpConfig TftpDefaultConfig();

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
    int32_t nOtherRecords;
    int32_t nBytes;
    int32_t nResent;
    uint32_t nFileSize;
    int64_t tStart;
    int32_t bMd5;
    EVP_MD_CTX* md5;
    unsigned char md5Digest[16];
    TftpTransfer* next;
    // Ours: a write lands in a temporary file beside the target and is renamed over it only when
    // the whole file has arrived, so a failed upload never leaves a truncated firmware behind.
    int32_t nOpcode;
    char szTempName[kTftpMaxPath * 2 + 32];
    char szFinalName[kTftpMaxPath * 2];
    // Ours: the "windowsize" granted in the OACK, 0 when none was: the sender keeps this many blocks
    // in flight, the receiver acknowledges every this many.
    int32_t nWindowSize;
    // Ours: how long the worker waits before serving (a repeated request), so the delay never
    // stalls the listener for other clients.
    int32_t nStartDelayMs;
};

// Main thread and workers (tftp_main.cpp).
void* TftpMainThread(void* unused);
void* TftpWorkerThread(void* transfer);
int OpenListenSocket();
int DispatchRequest(int listenSocket);
// Milliseconds the request waits before it is served (0 unless it repeats the last one), or -1
// when it is dropped: repeats are paced 250 ms apart and at most a second's worth may wait.
int CheckRepeatedRequest(const sockaddr_storage* from, int fromLength, const unsigned char* packet, int length);
void ResetTransfer(TftpTransfer* transfer);
void ReleaseTransfer(TftpTransfer* transfer);
void CreatePermanentWorkers();
const char* LastErrorText();
int LastErrorCode();
// Records the calling thread's last error from errno (socket calls map to the Winsock numbers).
void SetLastErrorFromErrno(int err, bool socketCall);
void SetLastErrorCode(int code);
bool TftpRunning();
// The stop signal every wait of a transfer also watches, so a stop does not wait out time-outs.
int TftpStopFd();

// Request handling (tftp_request.cpp).
int SetupTransferSocket(TftpTransfer* transfer);
void ServeRequest(TftpTransfer* transfer);
int BindInPortRange(int socket, TftpTransfer* transfer, uint32_t firstPort, uint32_t lastPort);
int DecodeRequest(TftpTransfer* transfer);
void NormalizeFileName(char* name);
int CheckFileAccess(const char* name, int opcode);
void BuildFinalName(const char* name, char* out);
int SendTftpError(TftpTransfer* transfer, int code);
int ReportSyscallError(TftpTransfer* transfer, int code, const char* call);
const char* TftpErrorText(int code);
// Builds an ERROR packet into `out` (at least 5 + longest text bytes); its length.
int BuildTftpError(unsigned char* out, int code);
// The name as the file system sees it: GBK to UTF-8, '\' to '/'. False when it cannot be converted.
bool ToSystemPath(const char* name, char* out, size_t outSize);
const char* RequestFileName(const TftpTransfer* transfer);
// Finishes a write's temporary file: flushed and renamed over the target after success (false when
// that fails, with the last error set), removed otherwise.
bool FinishWrittenFile(TftpTransfer* transfer, bool success);

// Engines (tftp_transfer.cpp).
int WaitPacket(TftpTransfer* transfer);
int SendOack(TftpTransfer* transfer);
int UdpSend(int localPort, const sockaddr* to, int toLength, const void* data, int length);
int SendFileLoop(TftpTransfer* transfer);
int ReceiveFileLoop(TftpTransfer* transfer, int oackSent);
void ReportTransferStats(TftpTransfer* transfer);

// Side files (tftp_dir.cpp).
void Md5Start(TftpTransfer* transfer);
void Md5Add(TftpTransfer* transfer, const void* data, size_t length);
void Md5Finish(TftpTransfer* transfer);
int WriteMd5SideFile(TftpTransfer* transfer);
int WriteDirListing();
using DirLineCallback = void (*)(const char* line, void* context);
void ForEachFileInDir(DirLineCallback callback, void* context, const char* directory);
