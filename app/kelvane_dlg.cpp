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
        m_bRunning = 0;
        StopMessagingThreads();
    }
    // Request threads outlive a stop; none may find this object gone. Their work is bounded by
    // the probe and send time-outs, so the wait ends; a very late one is reported, then awaited.
    {
        std::unique_lock<std::mutex> lock(m_requestMutex);
        if (!m_requestCv.wait_for(lock, std::chrono::milliseconds(kCloseWaitMs),
                                  [this] { return m_nActiveRequests == 0; })) {
            LogMessage(LOG_MAJOR, "CKelvaneDlg close: %d request threads still running after %d ms",
                       m_nActiveRequests, kCloseWaitMs);
            m_requestCv.wait(lock, [this] { return m_nActiveRequests == 0; });
        }
    }
}

bool CKelvaneDlg::StartMessagingThreads() {
    uint64_t pending = 0;
    while (m_wakeFd >= 0 && read(m_wakeFd, &pending, sizeof pending) > 0) {
    }
    SetListenerStatus(ListenerStatus::NotStarted, 0, "");
    m_hCleanThread = platform::Thread::Start([this] { return CleanRequestThreadProc(this); });
    if (!m_hCleanThread) LogMessage(LOG_MAJOR, "Create CleanRequestThreadProc Thread fail");
    m_hMsgThread = platform::Thread::Start([this] { return ReportDispatchProc(this); });
    if (m_hMsgThread) {
        m_dwMsgThreadId = static_cast<uint32_t>(m_hMsgThread->Tid());
    } else {
        LogMessage(LOG_MAJOR, "Create ReportDispatchProc Thread fail");
    }
    // The message thread must own its queue before the listener posts the first report.
    usleep(kMsgThreadHeadStartMs * 1000);
    m_hListenThread =
        platform::Thread::Start([this] { return ListenIPCPortProc(this); }, platform::ThreadPriority::Highest);
    if (!m_hListenThread) {
        LogMessage(LOG_MAJOR, "Create ListenIPCPortProc Thread fail");
        SetListenerStatus(ListenerStatus::Failed, -1, "cannot create the listener thread");
    }
    return m_hCleanThread && m_hMsgThread && m_hListenThread;
}

void CKelvaneDlg::StopMessagingThreads() {
    uint64_t one = 1;
    if (m_wakeFd >= 0 && write(m_wakeFd, &one, sizeof one) < 0) {
        // Only the shortcut is lost: the listener still notices the stop within its 2-s wait.
    }
    // The message thread sleeps in GetMessage; a wake-up lets it see the cleared run flag now
    // instead of at the next device report. Posts are repeated in case its queue was not up yet.
    if (m_hMsgThread) {
        bool ended = false;
        for (int waited = 0; waited < kThreadJoinMs && !ended; waited += kWakeRetryMs) {
            platform::PostThreadMessage(m_dwMsgThreadId, platform::kWmNull, 0, 0);
            ended = m_hMsgThread->WaitFor(kWakeRetryMs);
        }
    }
    JoinRunThread(m_hMsgThread, "ReportDispatchProc");
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

void CKelvaneDlg::RequestThreadLeave() {
    std::lock_guard<std::mutex> lock(m_requestMutex);
    --m_nActiveRequests;
    m_requestCv.notify_all();
}
