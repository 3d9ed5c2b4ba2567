#include "messaging/dispatch.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <new>
#include <string>

#include "app/kelvane_dlg.h"
#include "log/log.h"
#include "messaging/msg_format.h"
#include "platform/local_time.h"
#include "platform/udp_socket.h"

namespace {

constexpr int kSelectTimeoutMs = 2000;
constexpr int kCleanPassMs = 200;
constexpr int kPassesPerSweep = 10;
constexpr int kRequestThreadJoinMs = 10000;
constexpr int kListenReceiveBuffer = 4 * 1024 * 1024;

void AppendRequestRecord(CKelvaneDlg* dlg, RequestThreadInfo* info) {
    std::lock_guard<std::mutex> lock(dlg->m_csRequestThread);
    RequestThreadInfo** link = &dlg->m_pRequestThreadList;
    while (*link != nullptr) link = &(*link)->pNext;
    *link = info;
}

void StartRequestThread(CKelvaneDlg* dlg, const char* recvBuf) {
    RequestThreadInfo* info = new (std::nothrow) RequestThreadInfo();
    if (info == nullptr) {
        LogMessage(LOG_MAJOR, "Malloc thread information buffer fail");
        return;
    }
    info->pOwner = dlg;
    info->bRunning = 1;
    std::memcpy(info->szMsg, recvBuf, kRecvBufSize);
    info->nSeq = ++dlg->m_nRequestSeq;

    // Counted in before the thread exists, so the window object cannot go away under it.
    dlg->RequestThreadEnter();
    std::unique_ptr<platform::Thread> thread =
        platform::Thread::Start([info] { return RequestIpMsgProc(info); }, platform::ThreadPriority::Highest);
    if (!thread) {
        dlg->RequestThreadLeave();
        delete info;
        LogMessage(LOG_MAJOR, "Create RequestIpMsgProc Thread fail");
        return;
    }
    info->hThread = thread.release();
    LogMessage(LOG_INFO, "Create RequestIpMsgProc Thread, handle %p", static_cast<void*>(info->hThread));
    AppendRequestRecord(dlg, info);
}

void PostReport(CKelvaneDlg* dlg, const char* recvBuf) {
    MsgParam* param = new (std::nothrow) MsgParam();
    if (param == nullptr) {
        LogMessage(LOG_MAJOR, "Malloc msg buffer fail");
        return;
    }
    param->pOwner = dlg;
    std::memcpy(param->szRecvBuf, recvBuf, strnlen(recvBuf, kRecvBufSize - 1));  // record is zero-filled
    LogMessage(LOG_INFO,
               "#MRDebug ListenIPCPortProc Begin PostThreadMessage(WM_OTHRE_MSG), pMsgParam.szRecvBuf=%s",
               param->szRecvBuf);
    if (!platform::PostThreadMessage(dlg->m_dwMsgThreadId, WM_OTHRE_MSG, reinterpret_cast<uintptr_t>(param), 0)) {
        delete param;
        LogMessage(LOG_GENERAL, "PostThreadMessage fail");
    }
}

}  // namespace

bool DeviceListenSocket::Accepts(in_addr destination, unsigned ifindex) const {
    if (ifindex != iface.index) return false;
    return destination.s_addr == iface.address.s_addr || destination.s_addr == htonl(INADDR_BROADCAST) ||
           (iface.broadcast.s_addr != htonl(INADDR_ANY) && destination.s_addr == iface.broadcast.s_addr);
}

int OpenDeviceListenSocket(const char* localIp, DeviceListenSocket* out) {
    if (!platform::FindLocalInterface(localIp, &out->iface)) return EADDRNOTAVAIL;
    out->socket = platform::UdpSocket::OpenIPv4();
    if (!out->socket.Valid()) return errno;
    if (!out->socket.SetNonBlocking(true) || !out->socket.SetReceiveDestination(true)) {
        int error = errno;
        out->socket.Close();
        return error;
    }
    in_addr any{};
    any.s_addr = htonl(INADDR_ANY);
    int error = out->socket.Bind(platform::MakeSockaddrIn(any, kDeviceListenPort));
    if (error != 0) {
        out->socket.Close();
        return error;
    }
    // Many devices report at once after a reboot wave; a roomy kernel buffer rides out a burst
    // while the listener is busy, instead of dropping reports.
    out->socket.SetReceiveBuffer(kListenReceiveBuffer);
    return 0;
}

int ListenIPCPortProc(CKelvaneDlg* dlg) {
    // The run's start opens the socket, so that it can refuse a run nobody would hear.
    DeviceListenSocket device = std::move(dlg->m_listenSocket);
    if (!device.socket.Valid()) {
        int error = OpenDeviceListenSocket(dlg->m_szLocalIP, &device);
        if (error != 0) {
            // Without this socket no device is ever heard: the run must not look healthy.
            std::string why = std::strerror(error);
            LogMessage(LOG_MAJOR, "ListenIPCPortProc bind %s:%d fail: %s", dlg->m_szLocalIP, kDeviceListenPort,
                       why.c_str());
            dlg->SetListenerStatus(ListenerStatus::Failed, -3,
                                   std::string("cannot listen on ") + dlg->m_szLocalIP + ":" +
                                       std::to_string(kDeviceListenPort) + ": " + why);
            return -3;
        }
    }
    const platform::UdpSocket& sock = device.socket;
    dlg->SetListenerStatus(ListenerStatus::Listening, 0, "");

    char recvBuf[kRecvBufSize];
    while (dlg->m_bRunning) {
        int ready = sock.WaitReadable(kSelectTimeoutMs, dlg->ListenerWakeFd());
        if (ready < 0) {
            LogMessage(LOG_MAJOR, "ListenIPCPortProc select iRet=%d", ready);
            continue;
        }
        if (ready != 1) continue;  // time-out, or the stop's wake-up: the run flag decides

        std::memset(recvBuf, 0, sizeof recvBuf);
        in_addr destination{};
        unsigned ifindex = 0;
        long received = sock.ReceiveWithDestination(recvBuf, sizeof recvBuf, &destination, &ifindex);
        if (received >= 0 && !device.Accepts(destination, ifindex)) continue;  // another link's traffic
        // A datagram that fills the buffer has no NUL of its own: it is cut to 2047 characters.
        recvBuf[kRecvBufSize - 1] = '\0';
        LogMessage(LOG_INFO, "#MRDebug ListenIPCPortProc recvfrom szRecvBuf=%s", recvBuf);
        if (received <= 0 || received > kRecvBufSize) continue;  // error, empty, or longer than the buffer
        dlg->m_nLastDeviceMessageMs = platform::SteadyMs();

        if (dlg->m_bPauseTest) {
            LogMessage(LOG_INFO, "#MRDebug m_bPauseTest = true, continue");
            continue;
        }
        if (IsRequestIpaddr(recvBuf)) {
            StartRequestThread(dlg, recvBuf);
        } else {
            PostReport(dlg, recvBuf);
        }
    }
    dlg->SetListenerStatus(ListenerStatus::Ended, 0, "");
    return 0;
}

int RequestIpMsgProc(RequestThreadInfo* info) {
    CKelvaneDlg* owner = info->pOwner;
    int result = 0;
    if (info->szMsg[0] != '\0') {
        LogMessage(LOG_INFO, "*%d* Enter RequestIpMsgProc,message %s!", info->nSeq, info->szMsg);
    } else {
        LogMessage(LOG_INFO, "*%d* Enter RequestIpMsgProc!", info->nSeq);
    }
    if (IsRequestIpaddr(info->szMsg)) {
        owner->RequestIpaddrProc(info->szMsg, info->nSeq);
    } else {
        LogMessage(LOG_GENERAL, "*%d* RequestIpMsgProc pMsgType not Request_ipaddr", info->nSeq);
        result = -3;
    }
    // After this the clean-up thread may free the record; the owner is released last.
    info->bRunning = 0;
    owner->RequestThreadLeave();
    return result;
}

int ReportDispatchProc(CKelvaneDlg* dlg) {
    platform::EnsureMessageQueue();
    platform::ThreadMessage msg;
    while (dlg->m_bRunning) {
        if (platform::GetMessage(&msg) == 0 || msg.message != WM_OTHRE_MSG) continue;
        MsgParam* param = reinterpret_cast<MsgParam*>(msg.wParam);
        LogMessage(LOG_INFO, "#MRDebug WM_OTHRE_MSG, pMsgParam=%p, dlg=%p", static_cast<void*>(param),
                   static_cast<void*>(param->pOwner));
        if (param->pOwner != nullptr) {
            int type = GetMsgType(param->szRecvBuf);
            LogMessage(LOG_INFO, "#MRDebug GetMsgType %d start======", type);
            if (type >= 1 && type <= 12) param->pOwner->ReportMsgProc(type - 1, param->szRecvBuf);
            LogMessage(LOG_INFO, "#MRDebug GetMsgType %d end======", type);
        }
        delete param;
    }
    // Reports still queued at the stop are not handled, but their records must not leak;
    // releasing the queue also makes every later post fail, so the listener frees its own.
    int dropped = 0;
    for (const platform::ThreadMessage& left : platform::ReleaseMessageQueue()) {
        if (left.message != WM_OTHRE_MSG) continue;
        delete reinterpret_cast<MsgParam*>(left.wParam);
        ++dropped;
    }
    if (dropped > 0) LogMessage(LOG_GENERAL, "#MRDebug ReportDispatchProc stop, %d queued messages dropped", dropped);
    return 0;
}

int SweepRequestThreads(CKelvaneDlg* dlg) {
    int freed = 0;
    std::unique_lock<std::mutex> lock(dlg->m_csRequestThread);
    RequestThreadInfo** link = &dlg->m_pRequestThreadList;
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

int CleanRequestThreadProc(CKelvaneDlg* dlg) {
    for (int pass = 1; dlg->m_bRunning; ++pass) {
        if (pass % kPassesPerSweep == 0) SweepRequestThreads(dlg);
        usleep(kCleanPassMs * 1000);
    }
    return 0;
}
