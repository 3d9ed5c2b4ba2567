// Start and stop of the TFTP service, its settings in force and its listening status.
#include "_libs/tftp/tftp_interface.h"

#include <sys/socket.h>
#include <sys/stat.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <cstdarg>
#include <cstring>
#include <mutex>
#include <string>

#include "_libs/tftp/tftp.h"
#include "_libs/tftp/tftp_state.h"
#include "log/log.h"

namespace {

// The settings in force. Only a start of a stopped service rewrites them (no service thread runs
// then); the address and root, which a second start may change under running threads, are read
// and written under the lock only.
TftpConfig g_settings = TftpDefaultConfig();
std::mutex g_pathsLock;
std::mutex g_statusLock;
TftpServiceStatus g_status{};

std::mutex g_observerLock;  // held across a call, so removing the observer waits for it
TftpReadObserver g_readObserver = nullptr;
void* g_readObserverContext = nullptr;

constexpr size_t kMainStackRequest = 1024;
constexpr int kInitPolls = 30;
constexpr int kInitPollMs = 100;
constexpr int kStopWaitMs = 60000;
constexpr int kRestartWaitMs = 5000;
// How long a start waits, beyond the pool being ready, to learn whether the listener opened.
constexpr int kListenWaitMs = 2000;

void SleepMs(int ms) {
    timespec ts{ms / 1000, static_cast<long>(ms % 1000) * 1000000L};
    while (nanosleep(&ts, &ts) != 0 && errno == EINTR) {
    }
}

// Joins the main thread within `ms`; true when it has ended.
bool JoinMainThread(TftpThreadEntry& entry, int ms) {
    if (!TftpJoinWithin(entry.hThread, ms)) return false;
    entry.bThreadValid = false;
    return true;
}

// Copies what fits of `text` (status texts are for the operator's eyes: a cut one is still right).
void CopyCut(char* out, size_t size, const char* text) {
    if (size == 0) return;
    size_t length = text != nullptr ? strnlen(text, size - 1) : 0;
    if (length > 0) std::memcpy(out, text, length);
    out[length] = '\0';
}

}  // namespace

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
    config.nMaxPerClient = kTftpMaxRecordsPerClient;
    return config;
}

const TftpConfig& TftpSettings() { return g_settings; }

void CopyTftpRootDir(char* out, size_t size) {
    std::lock_guard<std::mutex> lock(g_pathsLock);
    CopyCut(out, size, g_settings.szRootDir);
}

void CopyTftpBindAddr(char* out, size_t size) {
    std::lock_guard<std::mutex> lock(g_pathsLock);
    CopyCut(out, size, g_settings.szBindAddr);
}

void TftpSetListenStatus(int state, int error, const char* address, const char* port, const char* reason) {
    std::lock_guard<std::mutex> lock(g_statusLock);
    g_status.nState = state;
    g_status.nError = error;
    CopyCut(g_status.szAddress, sizeof g_status.szAddress, address);
    CopyCut(g_status.szPort, sizeof g_status.szPort, port);
    CopyCut(g_status.szReason, sizeof g_status.szReason, reason);
}

int GetTftpServiceStatus(TftpServiceStatus* status) {
    std::lock_guard<std::mutex> lock(g_statusLock);
    if (status != nullptr) {
        *status = g_status;
        CopyTftpRootDir(status->szRootDir, sizeof status->szRootDir);
    }
    return g_status.nState == TFTP_LISTENING ? 1 : 0;
}

int StartTftp(const char* localAddress, const char* rootDir, const TftpConfig& settings) {
    TftpThreadEntry& entry = tThreads[TH_TFTP];
    // A stop that gave up waiting leaves the old main thread running over the shared records: a
    // second one must not start over them. Give it a last chance to end, else report why.
    if (!entry.gRunning.load() && entry.bThreadValid && !JoinMainThread(entry, kRestartWaitMs)) {
        TftpSetListenStatus(TFTP_FAILED, EBUSY, localAddress, "", "the previous TFTP service is still stopping");
        LogMessage(LOG_MAJOR, "service %s not started: the previous one is still stopping", "TFTP");
        return 1;
    }
    bool rootTooLong = false;
    {
        std::lock_guard<std::mutex> lock(g_pathsLock);
        if (!entry.gRunning.load()) {
            char root[kTftpMaxPath];
            std::memcpy(root, g_settings.szRootDir, sizeof root);
            g_settings = settings;
            std::memcpy(g_settings.szRootDir, root, sizeof root);  // "." until a folder has been given
        }
        TftpConfig& cfg = g_settings;
        std::memset(cfg.szBindAddr, 0, sizeof cfg.szBindAddr);
        if (localAddress != nullptr && localAddress[0] >= '0' && localAddress[0] <= '9') {
            std::strncpy(cfg.szBindAddr, localAddress, sizeof cfg.szBindAddr - 1);
        }
        struct stat st {};
        if (rootDir != nullptr && std::strlen(rootDir) >= sizeof cfg.szRootDir) {
            // A cut root would be another folder: serve none rather than the wrong one.
            rootTooLong = true;
        } else if (rootDir != nullptr && stat(rootDir, &st) == 0 && S_ISDIR(st.st_mode)) {
            std::memset(cfg.szRootDir, 0, sizeof cfg.szRootDir);
            std::strncpy(cfg.szRootDir, rootDir, sizeof cfg.szRootDir - 1);
            int removed = RemoveUploadTempFiles(cfg.szRootDir);
            if (removed > 0) LogMessage(LOG_GENERAL, "%d unfinished upload(s) removed from %s", removed, rootDir);
        }
    }
    if (rootTooLong && entry.gRunning.load()) {
        LogMessage(LOG_MAJOR, "TFTP root folder path too long: the root is left as it was");
    } else if (rootTooLong) {
        TftpSetListenStatus(TFTP_FAILED, ENAMETOOLONG, localAddress, "",
                            "the folder's path is too long for the TFTP service (at most 259 bytes)");
        LogMessage(LOG_MAJOR, "service %s not started: root folder path too long", "TFTP");
        return 1;
    }
    char bindAddr[sizeof g_settings.szBindAddr];
    CopyTftpBindAddr(bindAddr, sizeof bindAddr);

    bool started = false;
    if (!entry.gRunning.load()) {
        entry.skListen = -1;
        TftpServiceEvent();
        TftpDrainEvent(entry.hEvent);
        TftpClearAbort();
        TftpSetListenStatus(TFTP_STARTING, 0, bindAddr, "", "");
        entry.gRunning = 1;
        if (TftpStartThread(TftpMainThread, nullptr, kMainStackRequest, "kv-tftp", &entry.hThread)) {
            entry.bThreadValid = true;
            started = true;
        } else {
            entry.gRunning = 0;
            entry.skListen = -1;
            TftpSetListenStatus(TFTP_FAILED, errno, bindAddr, "", "cannot start the service thread");
        }
    }

    bool initSeen = false;
    for (int i = 0; i < kInitPolls; ++i) {
        SleepMs(kInitPollMs);
        if (entry.bInitDone.load()) {
            initSeen = i < kInitPolls - 1;
            break;
        }
    }
    if (initSeen) {
        LogMessage(LOG_INFO, "services %s started, init done", "TFTP");
    } else {
        LogMessage(LOG_MAJOR, "service %s not started", "TFTP");
    }
    if (started) {
        // The caller is about to tell devices to fetch from us: let it know whether we can serve.
        for (int waited = 0; waited < kListenWaitMs; waited += 10) {
            TftpServiceStatus status{};
            GetTftpServiceStatus(&status);
            if (status.nState != TFTP_STARTING) break;
            SleepMs(10);
        }
    }

    int probe = socket(AF_INET6, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (probe >= 0) {
        close(probe);
        LogMessage(LOG_INFO, "IPv6 enabled");
    }
    return 1;
}

void StopTftp() {
    TftpThreadEntry& entry = tThreads[TH_TFTP];
    if (entry.gRunning.load()) {
        entry.gRunning = 0;
        TftpSetEvent(entry.hEvent);
        if (entry.bThreadValid && !JoinMainThread(entry, kStopWaitMs)) {
            LogMessage(LOG_MAJOR, "main TFTP thread did not end within %d ms", kStopWaitMs);
        }
    }
    int skt = entry.skListen.exchange(-1);
    if (skt >= 0) close(skt);
    TftpSetListenStatus(TFTP_STOPPED, 0, "", "", "");
    LogMessage(LOG_INFO, "threads have returned\n");
}

void SetTftpReadObserver(TftpReadObserver observer, void* context) {
    std::lock_guard<std::mutex> lock(g_observerLock);
    g_readObserver = observer;
    g_readObserverContext = context;
}

int TftpNotifyRead(const TftpTransfer* transfer, int event) {
    TftpReadInfo read{};
    read.nEvent = event;
    // The transfer's socket set-up has already turned a v4-mapped peer into its IPv4 form.
    if (transfer->peer.ss_family == AF_INET) {
        read.clientAddress = reinterpret_cast<const sockaddr_in*>(&transfer->peer)->sin_addr.s_addr;
    }
    // "./a.bin" and "/a.bin" open what "a.bin" does: the observer sees one name for one file.
    std::string relative;
    for (const char* at = transfer->szRelPath; *at != '\0';) {
        const char* end = std::strchr(at, '/');
        size_t length = end != nullptr ? static_cast<size_t>(end - at) : std::strlen(at);
        if (length > 0 && !(length == 1 && at[0] == '.')) {
            if (!relative.empty()) relative += '/';
            relative.append(at, length);
        }
        at += length + (end != nullptr ? 1 : 0);
    }
    read.szRelPath = relative.c_str();
    read.identity = transfer->opened;
    std::lock_guard<std::mutex> lock(g_observerLock);
    if (g_readObserver == nullptr) return -1;
    return g_readObserver(g_readObserverContext, read);
}
