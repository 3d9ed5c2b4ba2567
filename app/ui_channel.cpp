#include "app/ui_channel.h"

void UiChannel::SetView(IKelvaneView* view) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_view = view;
}

void UiChannel::Queue(Change change) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pending.push_back(std::move(change));
}

void UiChannel::DrainLocked(std::unique_lock<std::mutex>& lock) {
    while (!m_pending.empty()) {
        Change change = std::move(m_pending.front());
        m_pending.pop_front();
        IKelvaneView* view = m_view;
        lock.unlock();
        if (view != nullptr) change(*view);
        lock.lock();
    }
}

void UiChannel::Deliver() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_delivering) return;  // the thread that is delivering will take ours too, in order
    m_delivering = true;
    DrainLocked(lock);
    m_delivering = false;
    m_idle.notify_all();
}

bool UiChannel::Ask(const std::function<bool(IKelvaneView&)>& question) {
    std::unique_lock<std::mutex> lock(m_mutex);
    m_idle.wait(lock, [this] { return !m_delivering; });
    m_delivering = true;  // holds back other deliveries until the answer is in
    DrainLocked(lock);
    IKelvaneView* view = m_view;
    lock.unlock();
    bool answer = view != nullptr && question(*view);
    lock.lock();
    DrainLocked(lock);  // what others queued while the question was open
    m_delivering = false;
    m_idle.notify_all();
    return answer;
}
