// The main TFTP thread: the listening socket, the list of transfer records, the worker pool and
// the order of shutdown.
#include <arpa/inet.h>
#include <netdb.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <mutex>

#include "_libs/tftp/tftp.h"
#include "_libs/tftp/tftp_interface.h"
#include "_libs/tftp/tftp_state.h"
#include "log/log.h"
#include "platform/signal_stack.h"
#include "platform/thread.h"

TftpConfig TftpDefaultConfig() {
    TftpConfig config{};
    config.nTimeoutSec = 5;
    config.nMaxRetries = 6;
    config.nWindowBytes = 0;
    config.nSecurityLevel = 1;
    config.nPort = 69;
    config.bOptions = 1;
    config.bTsizeOnly = 0;
    config.bDirListing = 0;
    config.bMd5Files = 0;
    config.bSlashToBackslash = 1;
    config.bBeep = 0;
    config.bStripLeadingBackslash = 0;
    config.nPortLow = 0;
    config.nPortHigh = 0;
    config.bUdpPortOption = 0;
    config.bNoLastAckWait = 0;
    config.bIPv4 = 1;
    config.bIPv6 = 1;
    config.nMaxTransfers = 100;
    std::strcpy(config.szRootDir, ".");
    config.nPollMs = 2000;
    config.nTimeUnitMs = 1000;
    config.nMaxWindowSize = kTftpDefaultMaxWindow;
    return config;
}

TftpConfig g_TftpConfig = TftpDefaultConfig();
TftpThreadEntry tThreads[1];
TftpTransfer* pTftpFirst = nullptr;

namespace {

constexpr size_t kWorkerStackRequest = 8192;
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
constexpr size_t kStackFloor = 512 * 1024;
#elif defined(__has_feature)
#if __has_feature(address_sanitizer) || __has_feature(thread_sanitizer)
constexpr size_t kStackFloor = 512 * 1024;
#else
constexpr size_t kStackFloor = 64 * 1024;
#endif
#else
// Name resolution and formatted logging need a few pages; 64 KiB leaves a wide margin and keeps
// 100 workers well under 10 MiB of address space.
constexpr size_t kStackFloor = 64 * 1024;
#endif
constexpr int kWorkerEndSleepMs = 1000;
constexpr int kStopJoinMs = 60000;
constexpr int kReapRetryMs = 100;

std::atomic<int> g_transferCounter{467};
thread_local int t_lastError = 0;
thread_local int t_lastErrno = 0;
thread_local char t_lastErrorText[512];

std::mutex g_statusLock;
TftpServiceStatus g_status{};

// Repeat memory of CheckRepeatedRequest, used by the main thread only.
unsigned char g_lastRequest[kTftpRequestSize];
int g_lastRequestLength = -1;
unsigned char g_lastFrom[128];
int64_t g_lastSecond = 0;
// When the last delayed repeat is due to be served (steady clock, ms).
int64_t g_repeatStartMs = 0;
constexpr int kRepeatDelayMs = 250;
constexpr int kRepeatBacklogMs = 1000;

int64_t SteadyMs() {
    timespec ts{};
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000 + ts.tv_nsec / 1000000;
}

int g_abortFd = -1;
// Set by the shutdown before it wakes the pool: a worker woken then leaves even while gRunning is
// still set (a listener that never opened ends the main thread before StopTftp clears it).
std::atomic<int> g_quitWorkers{0};
std::once_flag g_eventsOnce;
// Held while a worker closes its transfer socket and while the stop sends on one.
std::mutex g_transferSocketLock;

void CreateEvents() {
    tThreads[TH_TFTP].hEvent = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    g_abortFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
}

// Formats into a fixed buffer, cutting what does not fit: status texts and reasons are for the
// operator's eyes, and a cut one is still the right message.
__attribute__((format(printf, 3, 4))) void FormatCut(char* out, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(out, size, format, args);
    va_end(args);
}

uint32_t CurrentThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

bool JoinWithin(pthread_t thread, int timeoutMs) {
    timespec deadline{};
    clock_gettime(CLOCK_REALTIME, &deadline);
    deadline.tv_sec += timeoutMs / 1000;
    deadline.tv_nsec += static_cast<long>(timeoutMs % 1000) * 1000000L;
    if (deadline.tv_nsec >= 1000000000L) {
        deadline.tv_sec += 1;
        deadline.tv_nsec -= 1000000000L;
    }
    return pthread_timedjoin_np(thread, nullptr, &deadline) == 0;
}

int32_t AtomicLoad(const int32_t& field) { return std::atomic_ref<const int32_t>(field).load(); }
void AtomicStore(int32_t& field, int32_t value) { std::atomic_ref<int32_t>(field).store(value); }
int AtomicLoadSocket(const int& field) { return std::atomic_ref<const int>(field).load(); }

// Clients reaching the dual-stack socket over IPv4 are shown with their plain dotted address.
void NumericHostPort(const sockaddr_storage* address, socklen_t length, char* host, size_t hostSize, char* port,
                     size_t portSize) {
    if (getnameinfo(reinterpret_cast<const sockaddr*>(address), length, host, static_cast<socklen_t>(hostSize), port,
                    static_cast<socklen_t>(portSize), NI_NUMERICHOST | NI_NUMERICSERV) != 0) {
        std::snprintf(host, hostSize, "unknown");
        std::snprintf(port, portSize, "unknown");
        return;
    }
    if (std::strncmp(host, "::ffff:", 7) == 0 && std::strchr(host + 7, '.') != nullptr) {
        std::memmove(host, host + 7, std::strlen(host + 7) + 1);
    }
}

int CountRecords() {
    int count = 0;
    for (TftpTransfer* p = pTftpFirst; p != nullptr; p = p->next) ++count;
    return count;
}

void Unlink(TftpTransfer* transfer) {
    if (pTftpFirst == transfer) {
        pTftpFirst = transfer->next;
        return;
    }
    for (TftpTransfer* p = pTftpFirst; p != nullptr; p = p->next) {
        if (p->next == transfer) {
            p->next = transfer->next;
            return;
        }
    }
}

TftpTransfer* NewRecord() {
    auto* transfer = new TftpTransfer{};
    transfer->hFile = -1;
    transfer->skt = -1;
    transfer->hWakeEvent = -1;
    if (pTftpFirst == nullptr) {
        pTftpFirst = transfer;
    } else {
        TftpTransfer* tail = pTftpFirst;
        while (tail->next != nullptr) tail = tail->next;
        tail->next = transfer;
    }
    return transfer;
}

void FreeRecord(TftpTransfer* transfer) {
    if (transfer->md5 != nullptr) EVP_MD_CTX_free(transfer->md5);
    if (transfer->hWakeEvent >= 0) close(transfer->hWakeEvent);
    std::memset(static_cast<void*>(transfer), 0xAA, sizeof *transfer);
    delete transfer;
}

// Records whose worker has ended are freed; a worker still finishing its last second is looked at
// again shortly instead of holding up the dispatch of new requests. True when one is left.
bool ReapEndedWorkers() {
    bool pending = false;
    TftpTransfer* p = pTftpFirst;
    while (p != nullptr) {
        TftpTransfer* next = p->next;
        if (!p->bPermanent && !AtomicLoad(p->bActive)) {
            if (pthread_tryjoin_np(p->hThread, nullptr) == 0) {
                ReleaseTransfer(p);
            } else {
                pending = true;
            }
        }
        p = next;
    }
    return pending;
}

void ShutdownWorkers() {
    LogMessage(LOG_INFO, "signalling worker threads\n");
    g_quitWorkers = 1;
    for (TftpTransfer* p = pTftpFirst; p != nullptr; p = p->next) {
        if (AtomicLoad(p->bActive)) {
            // Under the lock the worker closes its socket with, so the packet goes to that
            // worker's own open socket, never to a descriptor closed and reused meanwhile.
            std::lock_guard<std::mutex> lock(g_transferSocketLock);
            int skt = AtomicLoadSocket(p->skt);
            if (skt >= 0) {
                // The worker may be sending from its own buffers right now: build the packet apart.
                unsigned char packet[64];
                int length = BuildTftpError(packet, 99);
                send(skt, packet, static_cast<size_t>(length), MSG_NOSIGNAL);
            }
        } else if (p->bPermanent) {
            TftpSetEvent(p->hWakeEvent);
        }
    }
    TftpSignalAbort();
    LogMessage(LOG_INFO, "waiting for worker threads\n");
    while (pTftpFirst != nullptr) {
        TftpTransfer* head = pTftpFirst;
        if (!JoinWithin(head->hThread, kStopJoinMs)) {
            // Its thread still owns the record: leave it allocated rather than free it under it.
            LogMessage(LOG_MAJOR, "tftp thread %u did not end, its record is left behind", head->dwThreadId);
            pTftpFirst = head->next;
            continue;
        }
        LogMessage(LOG_DEBUG0, "tftp End of thread %d\n", static_cast<int>(head->dwThreadId));
        head->bPermanent = 0;
        ReleaseTransfer(head);
    }
}

bool StartWorker(TftpTransfer* transfer) {
    if (!TftpStartThread(TftpWorkerThread, transfer, kWorkerStackRequest, &transfer->hThread)) return false;
    // The identifier is logged right away, so wait the moment it takes the worker to publish it.
    for (int i = 0; i < 2000 && std::atomic_ref<uint32_t>(transfer->dwThreadId).load() == 0; ++i) usleep(50);
    return true;
}

}  // namespace

void TftpSetEvent(int fd) {
    if (fd < 0) return;
    uint64_t one = 1;
    ssize_t ignored = write(fd, &one, sizeof one);
    (void)ignored;
}

void TftpDrainEvent(int fd) {
    if (fd < 0) return;
    uint64_t value;
    ssize_t ignored = read(fd, &value, sizeof value);
    (void)ignored;
}

int TftpServiceEvent() {
    std::call_once(g_eventsOnce, CreateEvents);
    return tThreads[TH_TFTP].hEvent;
}

int TftpStopFd() {
    std::call_once(g_eventsOnce, CreateEvents);
    return g_abortFd;
}

void TftpSignalAbort() { TftpSetEvent(TftpStopFd()); }
void TftpClearAbort() { TftpDrainEvent(TftpStopFd()); }
bool TftpRunning() { return tThreads[TH_TFTP].gRunning.load() != 0 && g_quitWorkers.load() == 0; }

bool TftpStartThread(void* (*body)(void*), void* argument, size_t requestedStack, pthread_t* thread) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    size_t stack = requestedStack;
    size_t floor = kStackFloor;
    if (floor < static_cast<size_t>(PTHREAD_STACK_MIN)) floor = static_cast<size_t>(PTHREAD_STACK_MIN);
    if (stack < floor) stack = floor;
    pthread_attr_setstacksize(&attr, stack);
    int rc = pthread_create(thread, &attr, body, argument);
    pthread_attr_destroy(&attr);
    return rc == 0;
}

void TftpSetListenStatus(int state, int error, const char* address, const char* port, const char* reason) {
    std::lock_guard<std::mutex> lock(g_statusLock);
    g_status.nState = state;
    g_status.nError = error;
    FormatCut(g_status.szAddress, sizeof g_status.szAddress, "%s", address != nullptr ? address : "");
    FormatCut(g_status.szPort, sizeof g_status.szPort, "%s", port != nullptr ? port : "");
    FormatCut(g_status.szReason, sizeof g_status.szReason, "%s", reason != nullptr ? reason : "");
}

int GetTftpServiceStatus(TftpServiceStatus* status) {
    std::lock_guard<std::mutex> lock(g_statusLock);
    if (status != nullptr) *status = g_status;
    return g_status.nState == TFTP_LISTENING ? 1 : 0;
}

void SetLastErrorCode(int code) {
    t_lastError = code;
    t_lastErrno = 0;
}

void SetLastErrorFromErrno(int err, bool socketCall) {
    t_lastErrno = err;
    t_lastError = err;
    if (!socketCall) return;
    switch (err) {
        case EACCES:
        case EPERM:
            t_lastError = kErrAccess;
            break;
        case EINVAL:
            t_lastError = kErrInvalid;
            break;
        case EADDRINUSE:
            t_lastError = kErrAddrInUse;
            break;
        case EADDRNOTAVAIL:
            t_lastError = kErrAddrNotAvail;
            break;
        default:
            break;
    }
}

int LastErrorCode() { return t_lastError; }

const char* LastErrorText() {
    const char* text;
    char scratch[256];
    if (t_lastErrno != 0) {
        text = strerror_r(t_lastErrno, scratch, sizeof scratch);
    } else {
        switch (t_lastError) {
            case 0:
                text = "Success";
                break;
            case kErrDirectory:
                text = "The directory name is invalid";
                break;
            case kErrBadLength:
                text = "The command length is incorrect";
                break;
            case kErrHostNotFound:
                text = "No such host is known";
                break;
            default:
                text = "Unknown error";
                break;
        }
    }
    std::snprintf(t_lastErrorText, sizeof t_lastErrorText, "%s", text);
    char* cr = std::strchr(t_lastErrorText, '\r');
    if (cr != nullptr) *cr = '\0';
    return t_lastErrorText;
}

int OpenListenSocket() {
    const TftpConfig& cfg = g_TftpConfig;
    addrinfo hints{};
    if (cfg.bIPv4) {
        hints.ai_family = cfg.bIPv6 ? AF_UNSPEC : AF_INET;
    } else {
        hints.ai_family = cfg.bIPv6 ? AF_INET6 : AF_UNSPEC;
    }
    hints.ai_socktype = SOCK_DGRAM;
    hints.ai_flags = AI_PASSIVE;
    int port = cfg.nPort == 0 ? 69 : cfg.nPort;
    char service[16];
    if (port == 69) {
        std::snprintf(service, sizeof service, "tftp");
    } else {
        std::snprintf(service, sizeof service, "%d", port);
    }
    const char* host = (cfg.szBindAddr[0] >= '0' && cfg.szBindAddr[0] <= '9') ? cfg.szBindAddr : nullptr;
    // One socket takes both families when no address is given: ask for the IPv6 wildcard first.
    if (host == nullptr && cfg.bIPv4 && cfg.bIPv6) hints.ai_family = AF_INET6;

    char reason[512];
    char portText[16];
    std::snprintf(portText, sizeof portText, "%d", port);
    addrinfo* results = nullptr;
    int rc = getaddrinfo(host, service, &hints, &results);
    if (rc != 0 && port == 69) {
        // A system without a services entry for tftp still knows the port by its number.
        rc = getaddrinfo(host, "69", &hints, &results);
    }
    if (rc != 0 && host == nullptr && hints.ai_family == AF_INET6) {
        hints.ai_family = AF_INET;  // no IPv6 on this host: IPv4 alone
        rc = getaddrinfo(host, portText, &hints, &results);
    }
    if (rc != 0) {
        if (rc == EAI_NONAME || rc == EAI_ADDRFAMILY || rc == EAI_NODATA) {
            SetLastErrorCode(kErrHostNotFound);
            LogMessage(LOG_MAJOR,
                       "Error %d\n%s\n\nPortwell tried to bind the %s port\nto the interface %s\nwhich is not "
                       "available for this host\nEither remove the %s service or suppress %s interface assignation",
                       LastErrorCode(), LastErrorText(), "tftp", cfg.szBindAddr, "tftp", cfg.szBindAddr);
            FormatCut(reason, sizeof reason, "the address %s is not available on this host", cfg.szBindAddr);
        } else {
            SetLastErrorCode(rc);
            LogMessage(LOG_MAJOR, "Error : Can't create socket\nError %d (%s)", rc, gai_strerror(rc));
            FormatCut(reason, sizeof reason, "cannot resolve the listening address: %s", gai_strerror(rc));
        }
        TftpSetListenStatus(TFTP_FAILED, LastErrorCode(), cfg.szBindAddr, portText, reason);
        return -1;
    }
    int skt = socket(results->ai_family, results->ai_socktype | SOCK_CLOEXEC, results->ai_protocol);
    if (skt < 0) {
        SetLastErrorFromErrno(errno, true);
        LogMessage(LOG_MAJOR, "Error : Can't create socket\nError %d (%s)", LastErrorCode(), LastErrorText());
        FormatCut(reason, sizeof reason, "cannot create the listening socket: %s", LastErrorText());
        TftpSetListenStatus(TFTP_FAILED, LastErrorCode(), cfg.szBindAddr, portText, reason);
        freeaddrinfo(results);
        return -1;
    }
    if (!cfg.bUdpPortOption) {
        int one = 1;
        if (setsockopt(skt, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one) == 0) {
            LogMessage(LOG_INFO, "Port %d may be reused", cfg.nPort);
        } else {
            LogMessage(LOG_INFO, "setsockopt error");
        }
    }
    if (cfg.bIPv4 && cfg.bIPv6 && results->ai_family == AF_INET6) {
        int zero = 0;
        setsockopt(skt, IPPROTO_IPV6, IPV6_V6ONLY, &zero, sizeof zero);
    }
    if (bind(skt, results->ai_addr, results->ai_addrlen) != 0) {
        SetLastErrorFromErrno(errno, true);
        int code = LastErrorCode();
        char hostText[NI_MAXHOST] = "unknown";
        char portNum[NI_MAXSERV] = "unknown";
        getnameinfo(results->ai_addr, results->ai_addrlen, hostText, sizeof hostText, portNum, sizeof portNum,
                    NI_NUMERICHOST | NI_NUMERICSERV);
        if (code == kErrInvalid || code == kErrAddrInUse) {
            LogMessage(LOG_MAJOR,
                       "Error %d\n%s\n\nPortwell can not bind the %s port\nan application is already listening on "
                       "this port",
                       code, LastErrorText(), "tftp");
            FormatCut(reason, sizeof reason, "port %s is already in use by another program (%s)", portNum,
                          LastErrorText());
        } else if (code == kErrAddrNotAvail) {
            LogMessage(LOG_MAJOR,
                       "Error %d\n%s\n\nPortwell tried to bind the %s port\nto the interface %s\nwhich is not "
                       "available for this host\nEither remove the %s service or suppress %s interface assignation",
                       code, LastErrorText(), "tftp", cfg.szBindAddr, "tftp", cfg.szBindAddr);
            FormatCut(reason, sizeof reason, "the address %s is not available on this host", hostText);
        } else {
            LogMessage(LOG_MAJOR, "Bind error %d\n%s", code, LastErrorText());
            if (code == kErrAccess) {
                FormatCut(reason, sizeof reason,
                              "not permitted to listen on port %s (%s): run as root or grant "
                              "cap_net_bind_service",
                              portNum, LastErrorText());
            } else {
                FormatCut(reason, sizeof reason, "cannot listen on port %s: %s", portNum, LastErrorText());
            }
        }
        close(skt);
        LogMessage(LOG_MAJOR, "bind port to %s port %s failed\n", hostText, portNum);
        TftpSetListenStatus(TFTP_FAILED, code, hostText, portNum, reason);
        freeaddrinfo(results);
        return -1;
    }
    freeaddrinfo(results);
    sockaddr_storage local{};
    socklen_t localLength = sizeof local;
    char hostText[NI_MAXHOST] = "unknown";
    char portNum[NI_MAXSERV] = "unknown";
    if (getsockname(skt, reinterpret_cast<sockaddr*>(&local), &localLength) == 0) {
        NumericHostPort(&local, localLength, hostText, sizeof hostText, portNum, sizeof portNum);
    }
    TftpSetListenStatus(TFTP_LISTENING, 0, hostText, portNum, "");
    return skt;
}

int CheckRepeatedRequest(const sockaddr_storage* from, int fromLength, const unsigned char* packet, int length) {
    (void)fromLength;
    int64_t now = static_cast<int64_t>(time(nullptr));
    if (length == g_lastRequestLength && std::memcmp(packet, g_lastRequest, static_cast<size_t>(length)) == 0 &&
        std::memcmp(from, g_lastFrom, sizeof g_lastFrom) == 0 && now == g_lastSecond) {
        char host[NI_MAXHOST];
        char port[NI_MAXSERV];
        NumericHostPort(from, sizeof(sockaddr_storage), host, sizeof host, port, sizeof port);
        LogMessage(LOG_GENERAL, "Warning : received duplicated request from %s:%s", host, port);
        // Each repeat starts 250 ms after the one before it, as if served in turn, but the wait is
        // the worker's: the listener goes on serving everyone else. A sender repeating faster than
        // that cannot park more than a second's worth of repeats on the workers.
        int64_t nowMs = SteadyMs();
        int64_t start = (g_repeatStartMs > nowMs ? g_repeatStartMs : nowMs) + kRepeatDelayMs;
        if (start - nowMs > kRepeatBacklogMs) {
            LogMessage(LOG_GENERAL, "Warning : duplicated request from %s:%s dropped, repeats already waiting", host,
                       port);
            return -1;
        }
        g_repeatStartMs = start;
        return static_cast<int>(start - nowMs);
    }
    std::memcpy(g_lastRequest, packet, static_cast<size_t>(length));
    g_lastRequestLength = length;
    std::memcpy(g_lastFrom, from, sizeof g_lastFrom);
    g_lastSecond = now;
    return 0;
}

void ResetTransfer(TftpTransfer* transfer) {
    transfer->nTimeout = g_TftpConfig.nTimeoutSec;
    transfer->nTransfer = g_transferCounter.fetch_add(1);
    transfer->nBlkSize = kTftpSegSize;
    transfer->skt = -1;
    transfer->hFile = -1;
    transfer->nReplyPort = 0;
    transfer->nOtherRecords = CountRecords() - 1;
    transfer->nBytes = 0;
    transfer->nResent = 0;
    transfer->nFileSize = 0;
    transfer->tStart = static_cast<int64_t>(time(nullptr));
    LogMessage(LOG_DEBUG0, "Transfert #%d", transfer->nOtherRecords);
    transfer->bMd5 = g_TftpConfig.bMd5Files;
    std::memset(transfer->dataPkt, 0, sizeof transfer->dataPkt);
    transfer->nAheadBlock = 0;
    transfer->nAheadLen = 0;
    std::memset(transfer->ctrlPkt, 0, sizeof transfer->ctrlPkt);
    std::memset(&transfer->peer, 0, sizeof transfer->peer);
    std::memset(transfer->reqPkt, 0, sizeof transfer->reqPkt);
    transfer->nOpcode = 0;
    transfer->szTempName[0] = '\0';
    transfer->szFinalName[0] = '\0';
    transfer->nStartDelayMs = 0;
}

void ReleaseTransfer(TftpTransfer* transfer) {
    LogMessage(LOG_DEBUG0, "tftp thread %lu has exited", static_cast<unsigned long>(transfer->hThread));
    LogMessage(LOG_DEBUG0, "tftp removing thread %d (%p/%p/%p)\n", static_cast<int>(transfer->dwThreadId),
               static_cast<void*>(transfer), static_cast<void*>(pTftpFirst),
               static_cast<void*>(pTftpFirst != nullptr ? pTftpFirst->next : nullptr));
    if (transfer->bPermanent) return;
    Unlink(transfer);
    FreeRecord(transfer);
}

void CreatePermanentWorkers() {
    for (int i = 0; i < kTftpPermanentWorkers; ++i) {
        TftpTransfer* transfer = NewRecord();
        transfer->bPermanent = 1;
        transfer->hWakeEvent = eventfd(0, EFD_CLOEXEC);
        if (!StartWorker(transfer)) {
            LogMessage(LOG_MAJOR, "tftp cannot start worker thread: %s", std::strerror(errno));
            Unlink(transfer);
            FreeRecord(transfer);
            break;
        }
    }
}

int DispatchRequest(int listenSocket) {
    if (CountRecords() >= g_TftpConfig.nMaxTransfers) {
        unsigned char scratch[kTftpRequestSize];
        sockaddr_storage from{};
        socklen_t fromLength = sizeof from;
        ssize_t n = recvfrom(listenSocket, scratch, sizeof scratch, 0, reinterpret_cast<sockaddr*>(&from), &fromLength);
        if (n > 0) {
            char host[NI_MAXHOST];
            char port[NI_MAXSERV];
            NumericHostPort(&from, fromLength, host, sizeof host, port, sizeof port);
            LogMessage(LOG_GENERAL, "max number of threads reached, connection from %s dropped", host);
        }
        return -1;
    }
    TftpTransfer* transfer = nullptr;
    for (TftpTransfer* p = pTftpFirst; p != nullptr; p = p->next) {
        if (p->bPermanent && !AtomicLoad(p->bActive)) {
            transfer = p;
            break;
        }
    }
    if (transfer == nullptr) transfer = NewRecord();
    ResetTransfer(transfer);

    socklen_t fromLength = sizeof transfer->peer;
    ssize_t n = recvfrom(listenSocket, transfer->reqPkt, sizeof transfer->reqPkt, MSG_TRUNC,
                         reinterpret_cast<sockaddr*>(&transfer->peer), &fromLength);
    if (n < 0 || n > static_cast<ssize_t>(sizeof transfer->reqPkt)) {
        SetLastErrorFromErrno(n < 0 ? errno : EMSGSIZE, true);
        LogMessage(LOG_MAJOR, "Error : RecvFrom returns %d: <%s>", LastErrorCode(), LastErrorText());
        if (!transfer->bPermanent) {
            Unlink(transfer);
            FreeRecord(transfer);
        }
        return 1;
    }
    int delayMs = CheckRepeatedRequest(&transfer->peer, sizeof transfer->peer, transfer->reqPkt, static_cast<int>(n));
    if (delayMs < 0) {
        if (!transfer->bPermanent) {
            Unlink(transfer);
            FreeRecord(transfer);
        }
        return 1;
    }
    transfer->nStartDelayMs = delayMs;

    char host[NI_MAXHOST];
    char port[NI_MAXSERV];
    NumericHostPort(&transfer->peer, fromLength, host, sizeof host, port, sizeof port);
    LogMessage(LOG_DEBUG0, "Connection received from %s on port %s", host, port);
    AtomicStore(transfer->bActive, 1);

    if (transfer->bPermanent) {
        LogMessage(LOG_DEBUG0, "waking up thread %d for transfer %d\n", static_cast<int>(transfer->dwThreadId),
                   transfer->nTransfer);
        TftpSetEvent(transfer->hWakeEvent);
        return 1;
    }
    if (!StartWorker(transfer)) {
        LogMessage(LOG_MAJOR, "tftp cannot start worker thread: %s", std::strerror(errno));
        Unlink(transfer);
        FreeRecord(transfer);
        return 1;
    }
    LogMessage(LOG_INFO, "Thread %d transfer %d started (records %p/%p)\n", static_cast<int>(transfer->dwThreadId),
               transfer->nTransfer, static_cast<void*>(pTftpFirst), static_cast<void*>(transfer));
    LogMessage(LOG_INFO, "thread %lu started", static_cast<unsigned long>(transfer->hThread));
    return 1;
}

void* TftpWorkerThread(void* argument) {
    platform::PrepareThreadSignalStack();
    auto* transfer = static_cast<TftpTransfer*>(argument);
    std::atomic_ref<uint32_t>(transfer->dwThreadId).store(CurrentThreadId());
    bool lowered = false;
    for (;;) {
        if (transfer->bPermanent) {
            uint64_t value = 0;
            ssize_t n;
            do {
                n = read(transfer->hWakeEvent, &value, sizeof value);
            } while (n < 0 && errno == EINTR);
            LogMessage(LOG_DEBUG0, "tftp permanent thread signalled %d (%d)\n", n == sizeof value ? 0 : -1,
                       n == sizeof value ? 0 : errno);
        }
        if (transfer->nStartDelayMs > 0) {
            // A repeated request waits its turn here; a stop cuts the wait short.
            pollfd stop{TftpStopFd(), POLLIN, 0};
            poll(&stop, 1, transfer->nStartDelayMs);
            transfer->nStartDelayMs = 0;
        }
        if (!TftpRunning()) break;
        if (!lowered) {
            platform::SetCurrentThreadPriority(platform::ThreadPriority::BelowNormal);
            lowered = true;
        }
        ServeRequest(transfer);
        {
            std::lock_guard<std::mutex> lock(g_transferSocketLock);
            int skt = std::atomic_ref<int>(transfer->skt).exchange(-1);
            if (skt >= 0) close(skt);
        }
        if (transfer->hFile >= 0) {
            close(transfer->hFile);
            transfer->hFile = -1;
        }
        FinishWrittenFile(transfer, false);
        if (transfer->md5 != nullptr) {
            EVP_MD_CTX_free(transfer->md5);
            transfer->md5 = nullptr;
        }
        if (!transfer->bPermanent) break;
        AtomicStore(transfer->bActive, 0);
        if (!TftpRunning()) break;
    }
    LogMessage(LOG_DEBUG0, "tftp worker thread leaving %d\n", static_cast<int>(CurrentThreadId()));
    AtomicStore(transfer->bActive, 0);
    TftpSetEvent(TftpServiceEvent());
    // The pause lets the main thread reap the record first; a stop needs no such courtesy and
    // would otherwise wait it out for every worker.
    pollfd stop{TftpStopFd(), POLLIN, 0};
    while (poll(&stop, 1, kWorkerEndSleepMs) < 0 && errno == EINTR) {
    }
    return nullptr;
}

void* TftpMainThread(void*) {
    platform::PrepareThreadSignalStack();
    TftpThreadEntry& entry = tThreads[TH_TFTP];
    g_quitWorkers = 0;
    if (pTftpFirst == nullptr) CreatePermanentWorkers();
    entry.bInitDone = 1;
    bool reapPending = false;
    while (entry.gRunning.load()) {
        if (entry.skListen.load() < 0) {
            int skt = OpenListenSocket();
            if (skt < 0) break;
            entry.skListen = skt;
        }
        pollfd fds[2] = {{entry.skListen.load(), POLLIN, 0}, {entry.hEvent, POLLIN, 0}};
        int timeout = reapPending ? kReapRetryMs : g_TftpConfig.nPollMs;
        int rc = poll(fds, 2, timeout);
        if (!entry.gRunning.load()) break;
        if (rc < 0) {
            if (errno == EINTR) continue;
            LogMessage(LOG_INFO, "WaitForMultipleObjects error %d\n", errno);
            LogMessage(LOG_GENERAL, "WaitForMultipleObjects error %d", errno);
            continue;
        }
        if (fds[0].revents & POLLIN) DispatchRequest(entry.skListen.load());
        if (fds[1].revents & POLLIN) TftpDrainEvent(entry.hEvent);
        if ((fds[1].revents & POLLIN) || reapPending) reapPending = ReapEndedWorkers();
    }
    ShutdownWorkers();
    int skt = entry.skListen.exchange(-1);
    if (skt >= 0) close(skt);
    LogMessage(LOG_INFO, "main TFTP thread ends here\n");
    return nullptr;
}
