#pragma once
// Which address requests may have a request thread now, and the bounded queue of those waiting for
// one: what a flood of requests can make the dispatch spend stops here.
#include <cstdint>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <unordered_map>
#include <unordered_set>

constexpr int kRecvBufSize = 2048;

// What any host on the LAN can make the dispatch spend is bounded. At most kMaxRequestThreads
// request threads run; once half of them are busy, a sender that already holds
// kMaxRequestsPerSender gets no more, so a flood from one host leaves room for the others while
// devices that share one address (a factory default) still get half of them when alone. Requests
// that find no thread wait for one, a bounded number per sender and in all, and not for longer
// than devices take to ask again; the rest are dropped (devices repeat their requests).
constexpr int kMaxRequestThreads = 64;
constexpr int kMaxRequestsPerSender = 16;
constexpr int kMaxWaitingRequests = 1024;
constexpr int kMaxWaitingPerSender = 256;
constexpr int kMaxRequestWaitMs = 3000;

class RequestQueue {
public:
    // Admits an address request of `sender` (the limits above): 1 when a request thread may start
    // for it (its slot is taken), 0 when it waits with sequence number `seq` for a thread that
    // ends its own request, -1 when it is dropped.
    int Admit(const char* text, uint32_t sender, int seq);
    // A request thread is done with the request in `msg` (kRecvBufSize bytes) of `*sender`: true
    // with the next waiting request it may serve in `msg`, `*seq` and `*sender` (its slot taken);
    // false when its slot was given back.
    bool TakeWaiting(char* msg, int* seq, uint32_t* sender);
    void Release(uint32_t sender);
    int Running() const;
    int Waiting() const;
    void DropWaiting();

private:
    struct WaitingRequest {
        char szMsg[kRecvBufSize];
        char szMac[64];  // its "IPCMac:", empty when it has none
        int nSeq;
        uint32_t nSender;
        int64_t queuedMs;
    };
    bool MayTakeSlotLocked(uint32_t sender) const;
    void TakeSlotLocked(uint32_t sender);
    void ReleaseSlotLocked(uint32_t sender);
    void NoteAnsweredLocked(const char* text, int64_t nowMs);

    mutable std::mutex m_slotMutex;
    int m_nRequestSlots = 0;
    std::unordered_map<uint32_t, int> m_requestsBySender;  // at most kMaxRequestThreads entries
    std::deque<std::unique_ptr<WaitingRequest>> m_waitingRequests;
    std::unordered_map<uint32_t, int> m_waitingBySender;
    // When each device (by "IPCMac:") was last answered, for the last kMaxRequestWaitMs or so: a
    // request that waited while the device was answered is not answered again.
    std::unordered_map<std::string, int64_t> m_answeredMs;
    // Devices (by "IPCMac:") whose request a thread is answering: a second request of the same
    // device waits until the first is answered, and is then dropped as answered.
    std::unordered_set<std::string> m_busyMacs;
};
