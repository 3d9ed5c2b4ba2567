#include "platform/thread_message.h"

#include <unistd.h>

#include <condition_variable>
#include <deque>
#include <memory>
#include <mutex>
#include <unordered_map>

namespace platform {

namespace {

struct Queue {
    std::mutex mutex;
    std::condition_variable cv;
    std::deque<ThreadMessage> messages;
    // Set when the owner takes its queue back: a post that found the queue just before then must
    // fail too, not land in a queue nobody reads.
    bool closed = false;
};

struct Registry {
    std::mutex mutex;
    std::unordered_map<uint32_t, std::shared_ptr<Queue>> queues;
};

Registry& TheRegistry() {
    static Registry* registry = new Registry();  // never destroyed: threads may post during exit
    return *registry;
}

// Unregisters the queue when its thread ends, so later posts fail as they should.
struct QueueOwner {
    uint32_t id = 0;
    std::shared_ptr<Queue> queue;
    ~QueueOwner() {
        if (!queue) return;
        Registry& registry = TheRegistry();
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.queues.erase(id);
    }
};

thread_local QueueOwner t_owner;

Queue& OwnQueue() {
    if (!t_owner.queue) {
        t_owner.id = GetCurrentThreadId();
        t_owner.queue = std::make_shared<Queue>();
        Registry& registry = TheRegistry();
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.queues[t_owner.id] = t_owner.queue;
    }
    return *t_owner.queue;
}

}  // namespace

uint32_t GetCurrentThreadId() { return static_cast<uint32_t>(gettid()); }

void EnsureMessageQueue() { OwnQueue(); }

std::vector<ThreadMessage> ReleaseMessageQueue() {
    std::vector<ThreadMessage> remaining;
    if (!t_owner.queue) return remaining;
    {
        Registry& registry = TheRegistry();
        std::lock_guard<std::mutex> lock(registry.mutex);
        registry.queues.erase(t_owner.id);
    }
    {
        std::lock_guard<std::mutex> lock(t_owner.queue->mutex);
        t_owner.queue->closed = true;
        remaining.assign(t_owner.queue->messages.begin(), t_owner.queue->messages.end());
        t_owner.queue->messages.clear();
    }
    t_owner.queue.reset();
    return remaining;
}

bool PostThreadMessage(uint32_t threadId, uint32_t message, uintptr_t wParam, intptr_t lParam) {
    std::shared_ptr<Queue> queue;
    {
        Registry& registry = TheRegistry();
        std::lock_guard<std::mutex> lock(registry.mutex);
        auto it = registry.queues.find(threadId);
        if (it == registry.queues.end()) return false;
        queue = it->second;
    }
    {
        std::lock_guard<std::mutex> lock(queue->mutex);
        if (queue->closed) return false;
        queue->messages.push_back(ThreadMessage{message, wParam, lParam});
    }
    queue->cv.notify_one();
    return true;
}

int GetMessage(ThreadMessage* out) {
    Queue& queue = OwnQueue();
    std::unique_lock<std::mutex> lock(queue.mutex);
    queue.cv.wait(lock, [&queue] { return !queue.messages.empty(); });
    *out = queue.messages.front();
    queue.messages.pop_front();
    return out->message == kWmQuit ? 0 : 1;
}

}  // namespace platform
