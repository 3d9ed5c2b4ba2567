#include "messaging/request_queue.h"

#include <cstring>
#include <iterator>

#include "log/log.h"
#include "messaging/msg_format.h"
#include "platform/local_time.h"

bool RequestQueue::MayTakeSlotLocked(uint32_t sender) const {
    if (m_nRequestSlots >= kMaxRequestThreads) return false;
    auto found = m_requestsBySender.find(sender);
    int mine = found != m_requestsBySender.end() ? found->second : 0;
    return mine < kMaxRequestsPerSender || m_nRequestSlots < kMaxRequestThreads / 2;
}

void RequestQueue::TakeSlotLocked(uint32_t sender) {
    ++m_requestsBySender[sender];
    ++m_nRequestSlots;
}

void RequestQueue::ReleaseSlotLocked(uint32_t sender) {
    auto found = m_requestsBySender.find(sender);
    if (found == m_requestsBySender.end()) return;
    if (--found->second <= 0) m_requestsBySender.erase(found);
    --m_nRequestSlots;
}

int RequestQueue::Admit(const char* text, uint32_t sender, int seq) {
    char mac[64];
    if (ReadFlagValue(text, kKeyIpcMac, sizeof kKeyIpcMac - 1, mac, sizeof mac) != 0) mac[0] = '\0';
    std::lock_guard<std::mutex> lock(m_slotMutex);
    // Only when none of the sender's own wait ahead of it, so its requests keep their order; others'
    // waiting requests do not hold it up.
    int& waiting = m_waitingBySender[sender];
    if (waiting == 0 && MayTakeSlotLocked(sender) && (mac[0] == '\0' || m_busyMacs.count(mac) == 0)) {
        m_waitingBySender.erase(sender);
        TakeSlotLocked(sender);
        if (mac[0] != '\0') m_busyMacs.insert(mac);
        return 1;
    }
    if (static_cast<int>(m_waitingRequests.size()) >= kMaxWaitingRequests || waiting >= kMaxWaitingPerSender) {
        if (waiting == 0) m_waitingBySender.erase(sender);
        return -1;
    }
    auto request = std::make_unique<WaitingRequest>();
    std::memcpy(request->szMsg, text, kRecvBufSize);
    std::memcpy(request->szMac, mac, sizeof request->szMac);
    request->nSeq = seq;
    request->nSender = sender;
    request->queuedMs = platform::SteadyMs();
    m_waitingRequests.push_back(std::move(request));
    ++waiting;
    return 0;
}

bool RequestQueue::TakeWaiting(char* msg, int* seq, uint32_t* sender) {
    int stale = 0;
    bool taken = false;
    {
        std::lock_guard<std::mutex> lock(m_slotMutex);
        ReleaseSlotLocked(*sender);
        const int64_t now = platform::SteadyMs();
        NoteAnsweredLocked(msg, now);  // also frees the device for its next request
        for (auto it = m_waitingRequests.begin(); it != m_waitingRequests.end() && !taken;) {
            WaitingRequest& request = **it;
            // The device has asked again by now, or was answered while this one waited: answering it
            // would only lend a second address, and start the device over after it has finished.
            auto answered = request.szMac[0] != '\0' ? m_answeredMs.find(request.szMac) : m_answeredMs.end();
            const bool superseded = now - request.queuedMs > kMaxRequestWaitMs ||
                                    (answered != m_answeredMs.end() && answered->second >= request.queuedMs);
            const bool deviceBusy = request.szMac[0] != '\0' && m_busyMacs.count(request.szMac) != 0;
            if (!superseded && (deviceBusy || !MayTakeSlotLocked(request.nSender))) {
                ++it;
                continue;
            }
            const uint32_t from = request.nSender;
            if (superseded) {
                ++stale;
            } else {
                std::memcpy(msg, request.szMsg, kRecvBufSize);
                *seq = request.nSeq;
                *sender = from;
                TakeSlotLocked(from);
                if (request.szMac[0] != '\0') m_busyMacs.insert(request.szMac);
                taken = true;
            }
            it = m_waitingRequests.erase(it);
            if (--m_waitingBySender[from] <= 0) m_waitingBySender.erase(from);
        }
    }
    if (stale > 0) {
        LogMessage(LOG_GENERAL,
                   "%d waiting address requests dropped: their devices were answered meanwhile or "
                   "waited over %d ms",
                   stale, kMaxRequestWaitMs);
    }
    return taken;
}

void RequestQueue::NoteAnsweredLocked(const char* text, int64_t nowMs) {
    char mac[64];
    if (ReadFlagValue(text, kKeyIpcMac, sizeof kKeyIpcMac - 1, mac, sizeof mac) != 0 || mac[0] == '\0') return;
    m_busyMacs.erase(mac);
    // Only as long as a request may wait matters; invented MACs must not grow it.
    if (m_answeredMs.size() >= static_cast<size_t>(kMaxWaitingRequests)) {
        for (auto it = m_answeredMs.begin(); it != m_answeredMs.end();) {
            it = nowMs - it->second > kMaxRequestWaitMs ? m_answeredMs.erase(it) : std::next(it);
        }
        if (m_answeredMs.size() >= static_cast<size_t>(kMaxWaitingRequests)) m_answeredMs.clear();
    }
    m_answeredMs[mac] = nowMs;
}

void RequestQueue::Release(uint32_t sender) {
    std::lock_guard<std::mutex> lock(m_slotMutex);
    ReleaseSlotLocked(sender);
}

int RequestQueue::Waiting() const {
    std::lock_guard<std::mutex> lock(m_slotMutex);
    return static_cast<int>(m_waitingRequests.size());
}

void RequestQueue::DropWaiting() {
    std::lock_guard<std::mutex> lock(m_slotMutex);
    m_waitingRequests.clear();
    m_waitingBySender.clear();
    m_answeredMs.clear();
    m_busyMacs.clear();
}

int RequestQueue::Running() const {
    std::lock_guard<std::mutex> lock(m_slotMutex);
    return m_nRequestSlots;
}
