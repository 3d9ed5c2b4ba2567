#pragma once
// The threads of an upgrade run that receive device datagrams and hand them to their handlers:
// address requests each on a thread of its own, reports one by one on the message thread.
#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <memory>
#include <mutex>
#include <string>

#include "messaging/request_queue.h"
#include "platform/event.h"
#include "platform/net_interface.h"
#include "platform/thread.h"
#include "platform/thread_message.h"
#include "platform/udp_socket.h"

class DeviceDispatcher;

constexpr uint16_t kDeviceListenPort = 10011;
// Private thread message carrying a MsgParam to the message thread (WM_USER + 100).
constexpr uint32_t WM_OTHRE_MSG = platform::kWmUser + 100;

// Reports waiting for the message thread (2 KiB each). Devices do not repeat reports, so the
// bound is far above what honest devices ever queue and only stops a flood from taking memory.
constexpr int kMaxQueuedReports = 4096;

// Where the dispatch threads hand what they received: an address request on a thread of its
// own, a report (event 0..11) on the message thread.
class IDeviceMessageHandler {
public:
    virtual ~IDeviceMessageHandler() = default;
    virtual void RequestIpaddrProc(const char* text, int seq) = 0;
    // An address request as it arrived, with the address it came from.
    virtual void RequestFrom(const char* text, int seq, in_addr /*sender*/) { RequestIpaddrProc(text, seq); }
    virtual int ReportMsgProc(int event, const char* text) = 0;
    // A report as it arrived, with the address it came from; a handler that ties devices to
    // their lent addresses checks it.
    virtual int ReportFrom(int event, const char* text, in_addr /*sender*/) { return ReportMsgProc(event, text); }
};

// How the device listener of a run is doing; the run control shows a failure to the operator.
struct ListenerStatus {
    enum State { NotStarted, Listening, Ended, Failed };
    State state = NotStarted;
    int result = 0;     // the listener's result once it has ended
    std::string error;  // why it could not listen, for the operator
    int errorCode = 0;  // the system's error number behind `error`, for a text in the operator's language
};

struct RequestThreadInfo {
    std::atomic<int32_t> bRunning{0};  // cleared by the request thread as its very last action
    platform::Thread* hThread = nullptr;
    int nSeq = 0;
    uint32_t nSender = 0;  // the sender's IPv4 address (network order), whose share it counts in
    char szMsg[kRecvBufSize] = {};
    DeviceDispatcher* pOwner = nullptr;
    RequestThreadInfo* pNext = nullptr;
};

struct MsgParam {
    char szRecvBuf[kRecvBufSize] = {};
    uint32_t nSender = 0;  // the sender's IPv4 address (network order): for the log, and a report
                           // counts only from the address lent to its device
    DeviceDispatcher* pOwner = nullptr;
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

// The threads of a run and what they share: the run and pause flags, the local address, the
// request records, and a count of every thread that may still call the handler.
class DeviceDispatcher {
public:
    explicit DeviceDispatcher(IDeviceMessageHandler& handler);
    ~DeviceDispatcher();
    DeviceDispatcher(const DeviceDispatcher&) = delete;
    DeviceDispatcher& operator=(const DeviceDispatcher&) = delete;

    IDeviceMessageHandler& Handler() { return m_handler; }

    // Starts the clean-up thread, the message thread and, 20 ms later, the listener; stops and
    // joins them (10 s each). m_bRunning is set before the start and cleared before the stop.
    bool Start();
    void Stop();

    ListenerStatus GetListenerStatus() const;
    void SetListenerStatus(ListenerStatus::State state, int result, const std::string& error, int errorCode = 0);
    // Waits until the listener has bound its socket or given up; false on time-out.
    bool WaitListenerSettled(int timeoutMs) const;
    // Readable once a stop has begun, so the listener need not sit out its 2-s wait.
    int ListenerWakeFd() const { return m_wakeFd; }

    // Every thread that may call the handler counts itself in and out, so the handler's owner
    // can wait until none is left.
    void ThreadEnter();
    void ThreadLeave();
    bool WaitThreadsGone(int timeoutMs);
    void WaitThreadsGone();

    // The request threads' admission and waiting queue (messaging/request_queue.h).
    int AdmitRequest(const char* text, uint32_t sender, int seq) { return m_requests.Admit(text, sender, seq); }
    // A request thread done with its request takes the next waiting one it may serve into `info`
    // (true), or gives its slot back (false).
    bool TakeWaitingRequest(RequestThreadInfo* info);
    void ReleaseRequestSlot(uint32_t sender) { m_requests.Release(sender); }
    int RequestThreadsRunning() const { return m_requests.Running(); }
    int RequestsWaiting() const { return m_requests.Waiting(); }
    void DropWaitingRequests() { m_requests.DropWaiting(); }

    std::atomic<int32_t> m_bRunning{0};
    std::atomic<int32_t> m_bPauseTest{0};
    char m_szLocalIP[64] = {};
    std::atomic<uint32_t> m_dwMsgThreadId{0};
    int m_nRequestSeq = 0;  // written only by the listener
    RequestThreadInfo* m_pRequestThreadList = nullptr;
    std::mutex m_csRequestThread;
    // Set by each request thread as it ends, so that the clean-up thread joins it at once.
    platform::Event m_requestEnded{false};
    std::unique_ptr<platform::Thread> m_hCleanThread;
    std::unique_ptr<platform::Thread> m_hMsgThread;
    std::unique_ptr<platform::Thread> m_hListenThread;
    // Steady-clock milliseconds of the last well-formed message of a device that asked and was
    // answered, 0 before any; set by the handlers, since only they can tell. Junk does not count.
    std::atomic<int64_t> m_nLastDeviceMessageMs{0};
    // Reports posted to the message thread and not yet taken by it.
    std::atomic<int> m_nQueuedReports{0};
    // Opened by the start so that it can refuse a run no device would be heard in; the listener
    // takes it over (or opens its own when the start did not).
    DeviceListenSocket m_listenSocket;

private:
    std::unique_ptr<platform::Thread> StartRunThread(int (*body)(DeviceDispatcher*), platform::ThreadPriority priority,
                                                     const char* name);

    IDeviceMessageHandler& m_handler;
    int m_wakeFd = -1;
    mutable std::mutex m_listenerMutex;
    mutable std::condition_variable m_listenerCv;
    ListenerStatus m_listenerStatus;
    std::mutex m_threadMutex;
    std::condition_variable m_threadCv;
    int m_nActiveThreads = 0;
    RequestQueue m_requests;
};

// Thread bodies. Results: listener 0 normal end, -2 socket unusable, -3 bind failed;
// request thread 0 handled, -3 not an address request; message and clean-up threads 0.
int ListenIPCPortProc(DeviceDispatcher* dlg);
int RequestIpMsgProc(RequestThreadInfo* info);
int ReportDispatchProc(DeviceDispatcher* dlg);
int CleanRequestThreadProc(DeviceDispatcher* dlg);

// One sweep of the clean-up thread: frees every finished request record. Returns how many.
int SweepRequestThreads(DeviceDispatcher* dlg);
