#include "app/kelvane_dlg.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <chrono>

#include "log/log.h"
#include "messaging/dispatch.h"
#include "platform/system_lang.h"

namespace {

constexpr int kThreadJoinMs = 10000;
constexpr int kMsgThreadHeadStartMs = 20;
constexpr int kWakeRetryMs = 50;
constexpr int kCloseWaitMs = 10000;

// Waits up to the bound for a run thread and lets it go either way, as the stop must go on.
void JoinRunThread(std::unique_ptr<platform::Thread>& thread, const char* name) {
    if (!thread) return;
    if (!thread->WaitFor(kThreadJoinMs)) LogMessage(LOG_MAJOR, "%s did not end within %d ms", name, kThreadJoinMs);
    thread.reset();
}

}  // namespace

CKelvaneDlg::CKelvaneDlg()
    : m_wLangID(platform::GetSystemDefaultLangID()), m_wakeFd(eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC)) {}

CKelvaneDlg::~CKelvaneDlg() {
    ShutDown();
    SweepRequestThreads(this);
    if (m_wakeFd >= 0) close(m_wakeFd);
}

void CKelvaneDlg::ShutDown() {
    if (m_bRunning) {
        std::lock_guard<std::mutex> lock(m_runControl);
        m_bRunning = 0;
        StopRun();
    }
    // Request threads outlive a stop, and a stop may let a run thread go; none may find this
    // object gone. Their work is bounded, so the wait ends; a very late one is reported, then awaited.
    if (!WaitThreadsGone(kCloseWaitMs)) {
        LogMessage(LOG_MAJOR, "CKelvaneDlg close: threads still running after %d ms", kCloseWaitMs);
        std::unique_lock<std::mutex> lock(m_requestMutex);
        m_requestCv.wait(lock, [this] { return m_nActiveRequests == 0; });
    }
}

bool CKelvaneDlg::StartMessagingThreads() {
    uint64_t pending = 0;
    while (m_wakeFd >= 0 && read(m_wakeFd, &pending, sizeof pending) > 0) {
    }
    SetListenerStatus(ListenerStatus::NotStarted, 0, "");
    m_hCleanThread = StartRunThread(CleanRequestThreadProc, platform::ThreadPriority::Normal);
    if (!m_hCleanThread) LogMessage(LOG_MAJOR, "Create CleanRequestThreadProc Thread fail");
    m_hMsgThread = StartRunThread(ReportDispatchProc, platform::ThreadPriority::Normal);
    if (m_hMsgThread) {
        m_dwMsgThreadId = static_cast<uint32_t>(m_hMsgThread->Tid());
    } else {
        LogMessage(LOG_MAJOR, "Create ReportDispatchProc Thread fail");
    }
    // The message thread must own its queue before the listener posts the first report.
    usleep(kMsgThreadHeadStartMs * 1000);
    m_hListenThread = StartRunThread(ListenIPCPortProc, platform::ThreadPriority::Highest);
    if (!m_hListenThread) {
        LogMessage(LOG_MAJOR, "Create ListenIPCPortProc Thread fail");
        SetListenerStatus(ListenerStatus::Failed, -1, "cannot create the listener thread");
    }
    return m_hCleanThread && m_hMsgThread && m_hListenThread;
}

std::unique_ptr<platform::Thread> CKelvaneDlg::StartRunThread(int (*body)(CKelvaneDlg*),
                                                              platform::ThreadPriority priority) {
    // Counted like a request thread: a stop may let it go after its bound, and the object must
    // then still outlive it.
    RequestThreadEnter();
    std::unique_ptr<platform::Thread> thread = platform::Thread::Start(
        [this, body] {
            int result = body(this);
            RequestThreadLeave();
            return result;
        },
        priority);
    if (!thread) RequestThreadLeave();
    return thread;
}

void CKelvaneDlg::StopMessagingThreads() {
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
}

ListenerStatus CKelvaneDlg::GetListenerStatus() const {
    std::lock_guard<std::mutex> lock(m_listenerMutex);
    return m_listenerStatus;
}

void CKelvaneDlg::SetListenerStatus(ListenerStatus::State state, int result, const std::string& error) {
    {
        std::lock_guard<std::mutex> lock(m_listenerMutex);
        m_listenerStatus.state = state;
        m_listenerStatus.result = result;
        m_listenerStatus.error = error;
    }
    m_listenerCv.notify_all();
}

bool CKelvaneDlg::WaitListenerSettled(int timeoutMs) const {
    std::unique_lock<std::mutex> lock(m_listenerMutex);
    return m_listenerCv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                 [this] { return m_listenerStatus.state != ListenerStatus::NotStarted; });
}

void CKelvaneDlg::RequestThreadEnter() {
    std::lock_guard<std::mutex> lock(m_requestMutex);
    ++m_nActiveRequests;
}

bool CKelvaneDlg::WaitThreadsGone(int timeoutMs) {
    std::unique_lock<std::mutex> lock(m_requestMutex);
    return m_requestCv.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                                [this] { return m_nActiveRequests == 0; });
}

void CKelvaneDlg::RequestThreadLeave() {
    std::lock_guard<std::mutex> lock(m_requestMutex);
    --m_nActiveRequests;
    m_requestCv.notify_all();
}
