#pragma once
// The threads of an upgrade run that receive device datagrams and hand them to their handlers:
// address requests each on a thread of its own, reports one by one on the message thread.
#include <atomic>
#include <cstdint>

#include "platform/net_interface.h"
#include "platform/thread.h"
#include "platform/thread_message.h"
#include "platform/udp_socket.h"

class CKelvaneDlg;

constexpr uint16_t kDeviceListenPort = 10011;
constexpr int kRecvBufSize = 2048;
// Private thread message carrying a MsgParam to the message thread (WM_USER + 100).
constexpr uint32_t WM_OTHRE_MSG = platform::kWmUser + 100;

struct RequestThreadInfo {
    std::atomic<int32_t> bRunning{0};  // cleared by the request thread as its very last action
    platform::Thread* hThread = nullptr;
    int nSeq = 0;
    char szMsg[kRecvBufSize] = {};
    CKelvaneDlg* pOwner = nullptr;
    RequestThreadInfo* pNext = nullptr;
};

struct MsgParam {
    char szRecvBuf[kRecvBufSize] = {};
    CKelvaneDlg* pOwner = nullptr;
};

// The listener's socket and what it takes in. Linux gives a socket bound to a unicast address no
// broadcasts, yet devices without a usable address broadcast their requests; so the socket is
// bound to every address and keeps what was sent to the chosen address, or broadcast (limited
// or subnet) on the chosen address's interface. No address reuse: a second run on the port
// must fail to start rather than share the devices' messages with the first.
struct DeviceListenSocket {
    platform::UdpSocket socket;
    platform::LocalInterface iface;
    bool Accepts(in_addr destination, unsigned ifindex) const;
};
// 0, or the errno of the failing step: EADDRNOTAVAIL when no interface carries `localIp`,
// EADDRINUSE when another socket holds the port.
int OpenDeviceListenSocket(const char* localIp, DeviceListenSocket* out);

// Thread bodies. Results: listener 0 normal end, -2 socket unusable, -3 bind failed;
// request thread 0 handled, -3 not an address request; message and clean-up threads 0.
int ListenIPCPortProc(CKelvaneDlg* dlg);
int RequestIpMsgProc(RequestThreadInfo* info);
int ReportDispatchProc(CKelvaneDlg* dlg);
int CleanRequestThreadProc(CKelvaneDlg* dlg);

// One sweep of the clean-up thread: frees every finished request record. Returns how many.
int SweepRequestThreads(CKelvaneDlg* dlg);
