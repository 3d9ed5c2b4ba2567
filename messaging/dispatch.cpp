#include "messaging/dispatch.h"

#include <sys/eventfd.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>
#include <new>
#include <string>

#include "log/log.h"
#include "log/log_limit.h"
#include "messaging/msg_format.h"
#include "platform/local_time.h"
#include "platform/udp_socket.h"

namespace {

constexpr int kSelectTimeoutMs = 2000;
constexpr int kCleanPassMs = 200;
constexpr int kRequestThreadJoinMs = 10000;
// The listener's own nice value: above the request threads', whose probing it must never wait
// behind. Best effort, like every priority here.
constexpr int kListenerNice = -10;
constexpr int kThreadJoinMs = 10000;
constexpr int kMsgThreadHeadStartMs = 20;
constexpr int kWakeRetryMs = 50;
// Datagrams taken from the socket in one go before the run flag and the drop notes are looked at.
constexpr int kReceiveBatch = 256;
// Repeated notes (drops, junk) are written at most this often per key and summed up afterwards.
constexpr int kNoteBurst = 5;
constexpr int kNotePeriodMs = 10000;
constexpr size_t kNoteKeys = 256;
constexpr int kTraceBurst = 200;

std::string SenderText(uint32_t sender) {
    in_addr addr{};
    addr.s_addr = sender;
    return platform::FormatIPv4(addr);
}

// Waits up to the bound for a run thread and lets it go either way, as the stop must go on.
void JoinRunThread(std::unique_ptr<platform::Thread>& thread, const char* name) {
    if (!thread) return;
    if (!thread->WaitFor(kThreadJoinMs)) LogMessage(LOG_MAJOR, "%s did not end within %d ms", name, kThreadJoinMs);
    thread.reset();
}

void AppendRequestRecord(DeviceDispatcher* dispatcher, RequestThreadInfo* info) {
    std::lock_guard<std::mutex> lock(dispatcher->m_csRequestThread);
    RequestThreadInfo** link = &dispatcher->m_pRequestThreadList;
    while (*link != nullptr) link = &(*link)->pNext;
    *link = info;
}

// What the listener drops under a flood, noted per sender without letting the notes flood the log.
class ListenerNotes {
public:
    LogRepeatLimiter requests{kNoteBurst, kNotePeriodMs, kNoteKeys, "address requests dropped"};
    LogRepeatLimiter reports{kNoteBurst, kNotePeriodMs, kNoteKeys, "reports dropped"};
    // The trace of every datagram (diagnostic level): an honest device sends far fewer than this
    // per period; a flood must not make the listener write a line per datagram and fall behind.
    LogRepeatLimiter received{kTraceBurst, kNotePeriodMs, kNoteKeys, "datagrams received, not traced"};

    // The sender's address as text; a flood comes from few senders, so the last one is kept.
    const std::string& Key(uint32_t sender) {
        if (sender != m_keySender || m_key.empty()) {
            m_keySender = sender;
            m_key = SenderText(sender);
        }
        return m_key;
    }

private:
    uint32_t m_keySender = 0;
    std::string m_key;
};

void StartRequestThread(DeviceDispatcher* dispatcher, const char* recvBuf, uint32_t sender, ListenerNotes& notes) {
    // Decided before anything is allocated: under a flood most requests end here, cheaply.
    const int seq = dispatcher->m_nRequestSeq + 1;
    const int admitted = dispatcher->AdmitRequest(recvBuf, sender, seq);
    if (admitted < 0) {
        const std::string& from = notes.Key(sender);
        if (notes.requests.Take(from, platform::SteadyMs())) {
            LogMessage(LOG_MAJOR,
                       "Request_ipaddr from %s dropped: %d request threads busy, %d requests waiting (at most %d, %d "
                       "per sender)",
                       from.c_str(), dispatcher->RequestThreadsRunning(), dispatcher->RequestsWaiting(),
                       kMaxWaitingRequests, kMaxWaitingPerSender);
        }
        return;
    }
    dispatcher->m_nRequestSeq = seq;
    if (admitted == 0) {
        LogMessage(LOG_INFO, "*%d* RequestIpMsgProc waits for a request thread", seq);
        return;
    }
    RequestThreadInfo* info = new (std::nothrow) RequestThreadInfo();
    if (info == nullptr) {
        dispatcher->ReleaseRequestSlot(sender);
        LogMessage(LOG_MAJOR, "Malloc thread information buffer fail");
        return;
    }
    info->pOwner = dispatcher;
    info->nSender = sender;
    info->bRunning = 1;
    std::memcpy(info->szMsg, recvBuf, kRecvBufSize);
    info->nSeq = seq;

    // Counted in before the thread exists, so the handler cannot go away under it.
    dispatcher->ThreadEnter();
    std::unique_ptr<platform::Thread> thread =
        platform::Thread::Start([info] { return RequestIpMsgProc(info); }, platform::ThreadPriority::Highest, "kv-request");
    if (!thread) {
        dispatcher->ReleaseRequestSlot(sender);
        dispatcher->ThreadLeave();
        delete info;
        LogMessage(LOG_MAJOR, "Create RequestIpMsgProc Thread fail");
        return;
    }
    info->hThread = thread.release();
    LogMessage(LOG_INFO, "Create RequestIpMsgProc Thread, handle %p", static_cast<void*>(info->hThread));
    AppendRequestRecord(dispatcher, info);
}

// `trace`: whether the listener traces this datagram (see ListenerNotes::received).
void PostReport(DeviceDispatcher* dispatcher, const char* recvBuf, uint32_t sender, bool trace, ListenerNotes& notes) {
    if (dispatcher->m_nQueuedReports.load() >= kMaxQueuedReports) {
        const std::string& from = notes.Key(sender);
        if (notes.reports.Take(from, platform::SteadyMs())) {
            LogMessage(LOG_MAJOR, "Report from %s dropped: %d reports wait for the message thread", from.c_str(),
                       kMaxQueuedReports);
        }
        return;
    }
    MsgParam* param = new (std::nothrow) MsgParam();
    if (param == nullptr) {
        LogMessage(LOG_MAJOR, "Malloc msg buffer fail");
        return;
    }
    param->pOwner = dispatcher;
    param->nSender = sender;
    std::memcpy(param->szRecvBuf, recvBuf, strnlen(recvBuf, kRecvBufSize - 1));  // record is zero-filled
    if (trace) {
        LogMessage(LOG_INFO, "#MRDebug ListenIPCPortProc Begin PostThreadMessage(WM_OTHRE_MSG), pMsgParam.szRecvBuf=%s",
                   param->szRecvBuf);
    }
    ++dispatcher->m_nQueuedReports;
    if (!platform::PostThreadMessage(dispatcher->m_dwMsgThreadId, WM_OTHRE_MSG, reinterpret_cast<uintptr_t>(param),
                                     0)) {
        --dispatcher->m_nQueuedReports;
        delete param;
        LogMessage(LOG_GENERAL, "PostThreadMessage fail");
    }
}

}  // namespace

DeviceDispatcher::DeviceDispatcher(IDeviceMessageHandler& handler)
    : m_handler(handler), m_wakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

DeviceDispatcher::~DeviceDispatcher() {
    SweepRequestThreads(this);
    if (m_wakeFd >= 0) close(m_wakeFd);
}

bool DeviceDispatcher::Start() {
    uint64_t pending = 0;
    while (m_wakeFd >= 0 && read(m_wakeFd, &pending, sizeof pending) > 0) {
    }
    SetListenerStatus(ListenerStatus::NotStarted, 0, "");
    DropWaitingRequests();
    m_hCleanThread = StartRunThread(CleanRequestThreadProc, platform::ThreadPriority::Normal, "kv-clean");
    if (!m_hCleanThread) LogMessage(LOG_MAJOR, "Create CleanRequestThreadProc Thread fail");
    m_hMsgThread = StartRunThread(ReportDispatchProc, platform::ThreadPriority::Normal, "kv-msg");
    if (m_hMsgThread) {
        m_dwMsgThreadId = static_cast<uint32_t>(m_hMsgThread->Tid());
    } else {
        LogMessage(LOG_MAJOR, "Create ReportDispatchProc Thread fail");
    }
    // The message thread must own its queue before the listener posts the first report.
    usleep(kMsgThreadHeadStartMs * 1000);
    m_hListenThread = StartRunThread(ListenIPCPortProc, platform::ThreadPriority::Highest, "kv-listen");
    if (!m_hListenThread) {
        LogMessage(LOG_MAJOR, "Create ListenIPCPortProc Thread fail");
        SetListenerStatus(ListenerStatus::Failed, -1, "cannot create the listener thread", EAGAIN);
    }
    return m_hCleanThread && m_hMsgThread && m_hListenThread;
}

std::unique_ptr<platform::Thread> DeviceDispatcher::StartRunThread(int (*body)(DeviceDispatcher*),
                                                                   platform::ThreadPriority priority,
                                                                   const char* name) {
    // Counted like a request thread: a stop may let it go after its bound, and the handler's
    // owner must then still outlive it.
    ThreadEnter();
    std::unique_ptr<platform::Thread> thread = platform::Thread::Start(
        [this, body] {
            int result = body(this);
            ThreadLeave();
            return result;
        },
        priority, name);
    if (!thread) ThreadLeave();
    return thread;
}

void DeviceDispatcher::Stop() {
    uint64_t one = 1;
    if (m_wakeFd >= 0 && write(m_wakeFd, &one, sizeof one) < 0) {
        // Only the shortcut is lost: the listener still notices the stop within its 2-s wait.
    }
    // The message thread sleeps in GetMessage; a wake-up lets it see the cleared run flag now
    // instead of at the next device report. Posts are repeated in case its queue was not up yet;
    // wake-ups and the wait together stay within the one bound.
    if (m_hMsgThread) {
        bool ended = false;
        for (int waited = 0; waited < kThreadJoinMs && !ended; waited += kWakeRetryMs) {
            platform::PostThreadMessage(m_dwMsgThreadId, platform::kWmNull, 0, 0);
            ended = m_hMsgThread->WaitFor(kWakeRetryMs);
        }
        if (!ended) LogMessage(LOG_MAJOR, "%s did not end within %d ms", "ReportDispatchProc", kThreadJoinMs);
        m_hMsgThread.reset();
    }
    JoinRunThread(m_hListenThread, "ListenIPCPortProc");
    JoinRunThread(m_hCleanThread, "CleanRequestThreadProc");
    // Requests of a stopped run are not answered: the next run starts from its own.
    DropWaitingRequests();
}

ListenerStatus DeviceDispatcher::GetListenerStatus() const {
    std::lock_guard<std::mutex> lock(m_listenerMutex);
    return m_listenerStatus;
}

void DeviceDispatcher::SetListenerStatus(ListenerStatus::State state, int result, const std::string& error,
                                         int errorCode) {
    {
        std::lock_guard<std::mutex> lock(m_listenerMutex);
        m_listenerStatus.state = state;
        m_listenerStatus.result = result;
        m_listenerStatus.error = error;
        m_listenerStatus.errorCode = errorCode;
    }
    m_listenerCv.notify_all();
}

bool DeviceDispatcher::WaitListenerSettled(int timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_listenerMutex);
    return m_listenerCv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [this] { return m_listenerStatus.state != ListenerStatus::NotStarted; });
}

void DeviceDispatcher::ThreadEnter() {
    std::lock_guard<std::mutex> lock(m_threadMutex);
    ++m_nActiveThreads;
}

void DeviceDispatcher::ThreadLeave() {
    std::lock_guard<std::mutex> lock(m_threadMutex);
    --m_nActiveThreads;
    m_threadCv.notify_all();
}

bool DeviceDispatcher::WaitThreadsGone(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_threadMutex);
    return m_threadCv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_nActiveThreads == 0; });
}

void DeviceDispatcher::WaitThreadsGone() {
    std::unique_lock<std::mutex> lock(m_threadMutex);
    m_threadCv.wait(lock, [this] { return m_nActiveThreads == 0; });
}

bool DeviceDispatcher::TakeWaitingRequest(RequestThreadInfo* info) {
    return m_requests.TakeWaiting(info->szMsg, &info->nSeq, &info->nSender);
}

int ListenIPCPortProc(DeviceDispatcher* dispatcher) {
    // The run's start opens the socket, so that it can refuse a run nobody would hear.
    DeviceListenSocket device = std::move(dispatcher->m_listenSocket);
    if (!device.socket.Valid()) {
        int error = OpenDeviceListenSocket(dispatcher->m_szLocalIP, &device);
        if (error != 0) {
            // Without this socket no device is ever heard: the run must not look healthy.
            std::string why = std::strerror(error);
            LogMessage(LOG_MAJOR, "ListenIPCPortProc bind %s:%d fail: %s", dispatcher->m_szLocalIP, kDeviceListenPort,
                       why.c_str());
            dispatcher->SetListenerStatus(ListenerStatus::Failed, -3,
                                          std::string("cannot listen on ") + dispatcher->m_szLocalIP + ":" +
                                              std::to_string(kDeviceListenPort) + ": " + why,
                                          error);
            return -3;
        }
    }
    const platform::UdpSocket& sock = device.socket;
    dispatcher->SetListenerStatus(ListenerStatus::Listening, 0, "");
    if (setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), kListenerNice) != 0) {
        // Without the right to raise it the listener keeps the priority it was started with.
    }

    char recvBuf[kRecvBufSize];
    ListenerNotes notes;
    while (dispatcher->m_bRunning) {
        int ready = sock.WaitReadable(kSelectTimeoutMs, dispatcher->ListenerWakeFd());
        if (ready < 0) {
            LogMessage(LOG_MAJOR, "ListenIPCPortProc select iRet=%d", ready);
            continue;
        }
        // Whatever woke it, the notes of a flood that has ended are summed up now.
        int64_t now = platform::SteadyMs();
        notes.requests.Flush(now);
        notes.reports.Flush(now);
        notes.received.Flush(now);
        if (ready != 1) continue;  // time-out, or the stop's wake-up: the run flag decides

        // The socket is emptied before the next wait: the kernel's buffer is what keeps reports
        // during a flood, and nothing slow happens here (requests go to their threads or are
        // dropped, reports to the message thread's queue).
        for (int taken = 0; taken < kReceiveBatch && dispatcher->m_bRunning; ++taken) {
            std::memset(recvBuf, 0, sizeof recvBuf);
            in_addr destination{};
            unsigned ifindex = 0;
            sockaddr_in from{};
            long received = sock.ReceiveWithDestination(recvBuf, sizeof recvBuf, &destination, &ifindex, &from);
            if (received < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            if (received >= 0 && !device.Accepts(destination, ifindex)) continue;  // another link's traffic
            // A datagram that fills the buffer has no NUL of its own: it is cut to 2047 characters.
            recvBuf[kRecvBufSize - 1] = '\0';
            const uint32_t sender = from.sin_addr.s_addr;
            const bool trace = LogWouldWrite(LOG_INFO) && notes.received.Take(notes.Key(sender), platform::SteadyMs());
            if (trace) {
                LogMessage(LOG_INFO, "#MRDebug ListenIPCPortProc recvfrom szRecvBuf=%s", recvBuf);
            }
            if (received <= 0 || received > kRecvBufSize) continue;  // error, empty, or longer than the buffer

            if (dispatcher->m_bPauseTest) {
                LogMessage(LOG_INFO, "#MRDebug m_bPauseTest = true, continue");
                continue;
            }
            if (IsRequestIpaddr(recvBuf)) {
                StartRequestThread(dispatcher, recvBuf, sender, notes);
            } else {
                PostReport(dispatcher, recvBuf, sender, trace, notes);
            }
        }
    }
    dispatcher->SetListenerStatus(ListenerStatus::Ended, 0, "");
    return 0;
}

int RequestIpMsgProc(RequestThreadInfo* info) {
    DeviceDispatcher* owner = info->pOwner;
    int result = 0;
    // A thread that is done with its request serves those that wait for one, instead of ending
    // while the listener has to drop or start another.
    bool slotReturned = false;
    for (;;) {
        if (info->szMsg[0] != '\0') {
            LogMessage(LOG_INFO, "*%d* Enter RequestIpMsgProc,message %s!", info->nSeq, info->szMsg);
        } else {
            LogMessage(LOG_INFO, "*%d* Enter RequestIpMsgProc!", info->nSeq);
        }
        if (IsRequestIpaddr(info->szMsg)) {
            in_addr sender{};
            sender.s_addr = info->nSender;
            owner->Handler().RequestFrom(info->szMsg, info->nSeq, sender);
            result = 0;
        } else {
            LogMessage(LOG_GENERAL, "*%d* RequestIpMsgProc pMsgType not Request_ipaddr", info->nSeq);
            result = -3;
        }
        if (!owner->m_bRunning) break;
        if (!owner->TakeWaitingRequest(info)) {
            slotReturned = true;
            break;
        }
    }
    if (!slotReturned) owner->ReleaseRequestSlot(info->nSender);
    // After this the clean-up thread may free the record; the owner is released last.
    info->bRunning = 0;
    owner->m_requestEnded.Set();
    owner->ThreadLeave();
    return result;
}

int ReportDispatchProc(DeviceDispatcher* dispatcher) {
    platform::EnsureMessageQueue();
    platform::ThreadMessage msg;
    // A sender whose messages keep being rejected gets a few log lines per period; after that its
    // messages are still handled, but silently, and summed up once the period is over.
    LogRepeatLimiter junk(kNoteBurst, kNotePeriodMs, kNoteKeys, "junk messages ignored");
    while (dispatcher->m_bRunning) {
        if (platform::GetMessage(&msg) == 0 || msg.message != WM_OTHRE_MSG) {
            junk.Flush(platform::SteadyMs());
            continue;
        }
        --dispatcher->m_nQueuedReports;
        MsgParam* param = reinterpret_cast<MsgParam*>(msg.wParam);
        std::string sender = SenderText(param->nSender);
        int64_t now = platform::SteadyMs();
        bool loud = junk.Allow(sender, now);
        {
            LogMuteScope mute(!loud);
            LogMessage(LOG_INFO, "#MRDebug WM_OTHRE_MSG, pMsgParam=%p, dlg=%p", static_cast<void*>(param),
                       static_cast<void*>(param->pOwner));
            if (param->pOwner != nullptr) {
                int type = GetMsgType(param->szRecvBuf);
                LogMessage(LOG_INFO, "#MRDebug GetMsgType %d start======", type);
                int result = 0;
                if (type >= 1 && type <= 12) {
                    in_addr from{};
                    from.s_addr = param->nSender;
                    result = param->pOwner->Handler().ReportFrom(type - 1, param->szRecvBuf, from);
                }
                LogMessage(LOG_INFO, "#MRDebug GetMsgType %d end======", type);
                if (type < 1 || type > 12 || result < 0) junk.Note(sender, loud);
            }
        }
        junk.Flush(now);
        delete param;
    }
    // Reports still queued at the stop are not handled, but their records must not leak;
    // releasing the queue also makes every later post fail, so the listener frees its own.
    int dropped = 0;
    for (const platform::ThreadMessage& left : platform::ReleaseMessageQueue()) {
        if (left.message != WM_OTHRE_MSG) continue;
        --dispatcher->m_nQueuedReports;
        delete reinterpret_cast<MsgParam*>(left.wParam);
        ++dropped;
    }
    if (dropped > 0) LogMessage(LOG_GENERAL, "#MRDebug ReportDispatchProc stop, %d queued messages dropped", dropped);
    return 0;
}

int SweepRequestThreads(DeviceDispatcher* dispatcher) {
    int freed = 0;
    std::unique_lock<std::mutex> lock(dispatcher->m_csRequestThread);
    RequestThreadInfo** link = &dispatcher->m_pRequestThreadList;
    while (*link != nullptr) {
        RequestThreadInfo* info = *link;
        if (info->bRunning) {
            link = &info->pNext;
            continue;
        }
        *link = info->pNext;
        lock.unlock();
        LogMessage(LOG_INFO, "Clean RequestIpMsgProc Thread, handle %p", static_cast<void*>(info->hThread));
        if (info->hThread != nullptr) {
            info->hThread->WaitFor(kRequestThreadJoinMs);
            delete info->hThread;  // let go even when it has not ended in time
            info->hThread = nullptr;
        }
        delete info;
        ++freed;
        lock.lock();
    }
    return freed;
}

int CleanRequestThreadProc(DeviceDispatcher* dispatcher) {
    // An ended thread keeps its stack mapped until it is joined. Sweeping only every few seconds
    // let thousands of them pile up under a burst of requests, so every end wakes the sweep.
    while (dispatcher->m_bRunning) {
        dispatcher->m_requestEnded.Wait(kCleanPassMs);
        SweepRequestThreads(dispatcher);
    }
    return 0;
}
