// The worker pool: the transfer records, 30 permanent workers and extra ones up to the table's
// size, their threads, and the orderly end of all of them at a stop.
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>
#include <mutex>

#include "_libs/tftp/tftp.h"
#include "_libs/tftp/tftp_state.h"
#include "log/log.h"
#include "platform/signal_stack.h"
#include "platform/thread.h"

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

std::atomic<int> g_transferCounter{467};
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

uint32_t CurrentThreadId() { return static_cast<uint32_t>(syscall(SYS_gettid)); }

int32_t AtomicLoad(const int32_t& field) { return std::atomic_ref<const int32_t>(field).load(); }
void AtomicStore(int32_t& field, int32_t value) { std::atomic_ref<int32_t>(field).store(value); }
int AtomicLoadSocket(const int& field) { return std::atomic_ref<const int>(field).load(); }

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
    transfer->hDir = -1;
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

void ReleaseTransfer(TftpTransfer* transfer) {
    LogMessage(LOG_DEBUG0, "tftp thread %lu has exited", static_cast<unsigned long>(transfer->hThread));
    LogMessage(LOG_DEBUG0, "tftp removing thread %d (%p/%p/%p)\n", static_cast<int>(transfer->dwThreadId),
               static_cast<void*>(transfer), static_cast<void*>(pTftpFirst),
               static_cast<void*>(pTftpFirst != nullptr ? pTftpFirst->next : nullptr));
    if (transfer->bPermanent) return;
    Unlink(transfer);
    FreeRecord(transfer);
}

void* TftpWorkerThread(void* argument);

bool StartWorker(TftpTransfer* transfer) {
    const char* name = transfer->bPermanent ? "kv-tftp-pool" : "kv-tftp-extra";
    if (!TftpStartThread(TftpWorkerThread, transfer, kWorkerStackRequest, name, &transfer->hThread)) return false;
    // Only the pool's own workers are waited for until they publish their identifier: an extra one
    // is started while requests queue behind it, and a loaded host may take long to run it.
    for (int i = 0; transfer->bPermanent && i < 2000 && std::atomic_ref<uint32_t>(transfer->dwThreadId).load() == 0;
         ++i) {
        usleep(50);
    }
    return true;
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

}  // namespace

int CountRecords() {
    int count = 0;
    for (TftpTransfer* p = pTftpFirst; p != nullptr; p = p->next) ++count;
    return count;
}

TftpTransfer* TakeIdleRecord() {
    for (TftpTransfer* p = pTftpFirst; p != nullptr; p = p->next) {
        if (p->bPermanent && !AtomicLoad(p->bActive)) return p;
    }
    return NewRecord();
}

void DiscardRecord(TftpTransfer* transfer) {
    if (transfer->bPermanent) return;
    Unlink(transfer);
    FreeRecord(transfer);
}

bool StartTransfer(TftpTransfer* transfer) {
    AtomicStore(transfer->bActive, 1);
    if (transfer->bPermanent) {
        LogMessage(LOG_DEBUG0, "waking up thread %d for transfer %d\n", static_cast<int>(transfer->dwThreadId),
                   transfer->nTransfer);
        TftpSetEvent(transfer->hWakeEvent);
        return true;
    }
    if (!StartWorker(transfer)) {
        LogMessage(LOG_MAJOR, "tftp cannot start worker thread: %s", std::strerror(errno));
        Unlink(transfer);
        FreeRecord(transfer);
        return false;
    }
    LogMessage(LOG_INFO, "Thread %d transfer %d started (records %p/%p)\n",
               static_cast<int>(std::atomic_ref<uint32_t>(transfer->dwThreadId).load()), transfer->nTransfer,
               static_cast<void*>(pTftpFirst), static_cast<void*>(transfer));
    LogMessage(LOG_INFO, "thread %lu started", static_cast<unsigned long>(transfer->hThread));
    return true;
}

void ResetTransfer(TftpTransfer* transfer) {
    transfer->cfg = &TftpSettings();
    CopyTftpRootDir(transfer->szRoot, sizeof transfer->szRoot);
    transfer->nTimeout = transfer->cfg->nTimeoutSec;
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
    transfer->bMd5 = transfer->cfg->bMd5Files;
    std::memset(transfer->dataPkt, 0, sizeof transfer->dataPkt);
    transfer->nAheadBlock = 0;
    transfer->nAheadLen = 0;
    std::memset(transfer->ctrlPkt, 0, sizeof transfer->ctrlPkt);
    std::memset(&transfer->peer, 0, sizeof transfer->peer);
    std::memset(transfer->reqPkt, 0, sizeof transfer->reqPkt);
    transfer->nReqLen = 0;
    transfer->nOpcode = 0;
    transfer->szName[0] = '\0';
    transfer->szFinalName[0] = '\0';
    transfer->szPath[0] = '\0';
    transfer->szTempName[0] = '\0';
    transfer->szRelPath[0] = '\0';
    transfer->szTargetBase[0] = '\0';
    transfer->hDir = -1;
    transfer->bAnnounced = 0;
    transfer->nAnnounced = 0;
    transfer->nReceived = 0;
    transfer->nStartDelayMs = 0;
    transfer->opened = TftpFileIdentity{};
    transfer->bWatchFile = 0;
    std::atomic_ref<int32_t>(transfer->bSuperseded).store(0);
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
        if (!TftpJoinWithin(head->hThread, kStopJoinMs)) {
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

bool TftpStartThread(void* (*body)(void*), void* argument, size_t requestedStack, const char* name,
                     pthread_t* thread) {
    pthread_attr_t attr;
    if (pthread_attr_init(&attr) != 0) return false;
    size_t stack = requestedStack;
    size_t floor = kStackFloor;
    if (floor < static_cast<size_t>(PTHREAD_STACK_MIN)) floor = static_cast<size_t>(PTHREAD_STACK_MIN);
    if (stack < floor) stack = floor;
    pthread_attr_setstacksize(&attr, stack);
    int rc = pthread_create(thread, &attr, body, argument);
    pthread_attr_destroy(&attr);
    if (rc == 0) pthread_setname_np(*thread, name);  // what crash dumps and top show
    return rc == 0;
}

void ResetPoolForStart() { g_quitWorkers = 0; }

bool TftpJoinWithin(pthread_t thread, int timeoutMs) {
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
