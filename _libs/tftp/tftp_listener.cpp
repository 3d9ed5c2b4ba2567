// The listener: the listening socket, the requests it takes (repeats paced, the table's limit
// kept) and the main thread that runs it until the stop.
#include <netdb.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <string>

#include "_libs/tftp/tftp.h"
#include "_libs/tftp/tftp_state.h"
#include "log/log.h"
#include "platform/net_interface.h"
#include "platform/signal_stack.h"

namespace {

constexpr int kReapRetryMs = 100;

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

// Formats into a fixed buffer, cutting what does not fit: reasons are for the operator's eyes, and
// a cut one is still the right message.
__attribute__((format(printf, 3, 4))) void FormatCut(char* out, size_t size, const char* format, ...) {
    va_list args;
    va_start(args, format);
    std::vsnprintf(out, size, format, args);
    va_end(args);
}

int OpenListenSocket() {
    const TftpConfig& cfg = TftpSettings();
    char bindAddr[sizeof cfg.szBindAddr];
    CopyTftpBindAddr(bindAddr, sizeof bindAddr);
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
    const char* host = (bindAddr[0] >= '0' && bindAddr[0] <= '9') ? bindAddr : nullptr;
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
                       LastErrorCode(), LastErrorText(), "tftp", bindAddr, "tftp", bindAddr);
            FormatCut(reason, sizeof reason, "the address %s is not available on this host", bindAddr);
        } else {
            SetLastErrorCode(rc);
            LogMessage(LOG_MAJOR, "Error : Can't create socket\nError %d (%s)", rc, gai_strerror(rc));
            FormatCut(reason, sizeof reason, "cannot resolve the listening address: %s", gai_strerror(rc));
        }
        TftpSetListenStatus(TFTP_FAILED, LastErrorCode(), bindAddr, portText, reason);
        return -1;
    }
    int skt = socket(results->ai_family, results->ai_socktype | SOCK_CLOEXEC, results->ai_protocol);
    if (skt < 0) {
        SetLastErrorFromErrno(errno, true);
        LogMessage(LOG_MAJOR, "Error : Can't create socket\nError %d (%s)", LastErrorCode(), LastErrorText());
        FormatCut(reason, sizeof reason, "cannot create the listening socket: %s", LastErrorText());
        TftpSetListenStatus(TFTP_FAILED, LastErrorCode(), bindAddr, portText, reason);
        freeaddrinfo(results);
        return -1;
    }
    // No SO_REUSEADDR: on Linux a second socket that sets it too could bind the same port and take
    // the requests from under a run. The port is ours alone, or the start says who holds it.
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
            std::string holder = platform::DescribeUdpPortHolder(static_cast<uint16_t>(port));
            FormatCut(reason, sizeof reason, "port %s on %s is in use by another program%s%s%s", portNum, hostText,
                      holder.empty() ? "" : " (", holder.c_str(), holder.empty() ? "" : ")");
        } else if (code == kErrAddrNotAvail) {
            LogMessage(LOG_MAJOR,
                       "Error %d\n%s\n\nPortwell tried to bind the %s port\nto the interface %s\nwhich is not "
                       "available for this host\nEither remove the %s service or suppress %s interface assignation",
                       code, LastErrorText(), "tftp", bindAddr, "tftp", bindAddr);
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

// A request that arrived while every record was taken: served in arrival order as records free,
// so a burst of clients waits a moment instead of its own time-out.
struct PendingRequest {
    sockaddr_storage from;
    socklen_t fromLength;
    unsigned char key[16];
    unsigned char packet[kTftpRequestSize];
    int length;
    int delayMs;
    int64_t arrivedMs;
};
std::deque<PendingRequest> g_pending;  // main thread only
// Enough for two requests from every address of a run's range; beyond it requests are dropped.
constexpr size_t kMaxPending = 512;
// A client that asked this long ago has given up or asked again (its repeat is merged into the
// waiting request): serving it now would hold a record for nobody.
constexpr int kPendingMaxAgeMs = 20000;
constexpr int kPendingPollMs = 10;

// Drops are logged at most once a second per kind, with how many went unlogged, so a flood of
// requests cannot become a flood of log lines.
struct DropLog {
    const char* what;
    int64_t lastSecond = 0;
    int unlogged = 0;
};
DropLog g_tableFull{"max number of threads reached, connection from %s dropped (%d more since the last line)"};
DropLog g_perClient{"connection from %s dropped: it holds %d transfers already (%d more since the last line)"};

void LogDrop(DropLog& log, const char* host, int holds) {
    int64_t now = static_cast<int64_t>(time(nullptr));
    if (now == log.lastSecond) {
        ++log.unlogged;
        return;
    }
    if (&log == &g_perClient) {
        LogMessage(LOG_GENERAL, log.what, host, holds, log.unlogged);
    } else {
        LogMessage(LOG_GENERAL, log.what, host, log.unlogged);
    }
    log.lastSecond = now;
    log.unlogged = 0;
}

// The client's address alone (IPv4 as mapped IPv6), the same for all its ports.
void ClientKey(const sockaddr_storage& from, unsigned char key[16]) {
    std::memset(key, 0, 16);
    if (from.ss_family == AF_INET6) {
        std::memcpy(key, &reinterpret_cast<const sockaddr_in6*>(&from)->sin6_addr, 16);
    } else {
        key[10] = 0xFF;
        key[11] = 0xFF;
        std::memcpy(key + 12, &reinterpret_cast<const sockaddr_in*>(&from)->sin_addr, 4);
    }
}

int TransfersOf(const unsigned char key[16]) {
    int count = 0;
    for (TftpTransfer* p = pTftpFirst; p != nullptr; p = p->next) {
        if (std::atomic_ref<int32_t>(p->bActive).load() && std::memcmp(p->clientKey, key, 16) == 0) ++count;
    }
    for (const PendingRequest& waiting : g_pending) {
        if (std::memcmp(waiting.key, key, 16) == 0) ++count;
    }
    return count;
}

// A new request from the address and port of running transfers: their client has moved on.
void SupersedeTransfersOf(const sockaddr_storage& from) {
    for (TftpTransfer* p = pTftpFirst; p != nullptr; p = p->next) {
        if (std::atomic_ref<int32_t>(p->bActive).load() && std::memcmp(&p->requestFrom, &from, sizeof from) == 0) {
            std::atomic_ref<int32_t>(p->bSuperseded).store(1);
        }
    }
}

bool HasRoom() {
    for (TftpTransfer* p = pTftpFirst; p != nullptr; p = p->next) {
        if (p->bPermanent && !std::atomic_ref<int32_t>(p->bActive).load()) return true;
    }
    return CountRecords() < TftpSettings().nMaxTransfers;
}

void Dispatch(const PendingRequest& request) {
    TftpTransfer* transfer = TakeIdleRecord();
    ResetTransfer(transfer);
    std::memcpy(&transfer->peer, &request.from, sizeof transfer->peer);
    std::memcpy(transfer->reqPkt, request.packet, static_cast<size_t>(request.length));
    transfer->nReqLen = request.length;
    transfer->nStartDelayMs = request.delayMs;
    std::memcpy(transfer->clientKey, request.key, sizeof transfer->clientKey);
    std::memcpy(&transfer->requestFrom, &request.from, sizeof transfer->requestFrom);
    char host[NI_MAXHOST];
    char port[NI_MAXSERV];
    NumericHostPort(&transfer->peer, request.fromLength, host, sizeof host, port, sizeof port);
    LogMessage(LOG_DEBUG0, "Connection received from %s on port %s", host, port);
    StartTransfer(transfer);
}

// Serves waiting requests while records are free; true while some still wait.
bool DispatchPending() {
    int64_t now = SteadyMs();
    while (!g_pending.empty() && HasRoom()) {
        PendingRequest request = g_pending.front();
        g_pending.pop_front();
        if (now - request.arrivedMs > kPendingMaxAgeMs) continue;
        Dispatch(request);
    }
    return !g_pending.empty();
}

// Takes one request off the listening socket: served at once, kept until a record frees, or
// dropped (with a log line) when its client holds its share already or nothing more can wait.
void DispatchRequest(int listenSocket) {
    PendingRequest request;
    request.fromLength = sizeof request.from;
    std::memset(&request.from, 0, sizeof request.from);
    ssize_t n = recvfrom(listenSocket, request.packet, sizeof request.packet, MSG_TRUNC,
                         reinterpret_cast<sockaddr*>(&request.from), &request.fromLength);
    if (n < 0 || n > static_cast<ssize_t>(sizeof request.packet)) {
        SetLastErrorFromErrno(n < 0 ? errno : EMSGSIZE, true);
        LogMessage(LOG_MAJOR, "Error : RecvFrom returns %d: <%s>", LastErrorCode(), LastErrorText());
        return;
    }
    request.length = static_cast<int>(n);
    request.arrivedMs = SteadyMs();
    ClientKey(request.from, request.key);
    char host[NI_MAXHOST];
    char port[NI_MAXSERV];
    NumericHostPort(&request.from, request.fromLength, host, sizeof host, port, sizeof port);
    for (PendingRequest& waiting : g_pending) {
        // A repeat of a request that is still waiting keeps its place in the queue.
        if (waiting.length == request.length && std::memcmp(&waiting.from, &request.from, sizeof request.from) == 0 &&
            std::memcmp(waiting.packet, request.packet, static_cast<size_t>(request.length)) == 0) {
            waiting.arrivedMs = request.arrivedMs;
            return;
        }
    }
    SupersedeTransfersOf(request.from);
    const int perClient = TftpSettings().nMaxPerClient;
    int holds = perClient > 0 ? TransfersOf(request.key) : 0;
    if (perClient > 0 && holds >= perClient) {
        LogDrop(g_perClient, host, holds);
        return;
    }
    request.delayMs = CheckRepeatedRequest(&request.from, request.packet, request.length);
    if (request.delayMs < 0) return;
    if (g_pending.empty() && HasRoom()) {
        Dispatch(request);
    } else if (g_pending.size() < kMaxPending) {
        g_pending.push_back(request);
    } else {
        LogDrop(g_tableFull, host, 0);
    }
}

}  // namespace

int CheckRepeatedRequest(const sockaddr_storage* from, const unsigned char* packet, int length) {
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

void* TftpMainThread(void*) {
    platform::PrepareThreadSignalStack();
    TftpThreadEntry& entry = tThreads[TH_TFTP];
    ResetPoolForStart();
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
        int timeout = !g_pending.empty() ? kPendingPollMs : reapPending ? kReapRetryMs : TftpSettings().nPollMs;
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
        if ((fds[1].revents & POLLIN) || reapPending || !g_pending.empty()) reapPending = ReapEndedWorkers();
        DispatchPending();
    }
    g_pending.clear();
    ShutdownWorkers();
    int skt = entry.skListen.exchange(-1);
    if (skt >= 0) close(skt);
    LogMessage(LOG_INFO, "main TFTP thread ends here\n");
    return nullptr;
}
