#pragma once
// Hands changes to the front end in exactly the order the core made them, without holding any
// of the core's locks while the front end runs: a change is queued (cheap, under the queue's
// own mutex, so it can be queued while a core lock is held and thereby keep that lock's
// order), and whichever thread finds nobody delivering drains the queue.
#include <condition_variable>
#include <deque>
#include <functional>
#include <mutex>

#include "app/kelvane_view.h"

class UiChannel {
public:
    using Change = std::function<void(IKelvaneView&)>;

    void SetView(IKelvaneView* view);
    // Queues a change; call Deliver() once no core lock is held any more.
    void Queue(Change change);
    void Deliver();
    void Post(Change change) {
        Queue(std::move(change));
        Deliver();
    }

    // Asks the front end a question on the calling thread, after every change queued before it,
    // and returns its answer (false without a front end). Changes queued meanwhile wait for it.
    bool Ask(const std::function<bool(IKelvaneView&)>& question);

private:
    void DrainLocked(std::unique_lock<std::mutex>& lock);

    std::mutex m_mutex;
    std::deque<Change> m_pending;
    IKelvaneView* m_view = nullptr;
    bool m_delivering = false;
    std::condition_variable m_idle;  // signalled when a delivery ends
};
