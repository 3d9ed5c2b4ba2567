#include "app/ui_channel.h"

void UiChannel::SetView(IKelvaneView* view) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_view = view;
}

void UiChannel::Queue(Change change) {
    std::lock_guard<std::mutex> lock(m_mutex);
    m_pending.push_back(std::move(change));
}

void UiChannel::Deliver() {
    std::unique_lock<std::mutex> lock(m_mutex);
    if (m_delivering) return;  // the thread that is delivering will take ours too, in order
    m_delivering = true;
    while (!m_pending.empty()) {
        Change change = std::move(m_pending.front());
        m_pending.pop_front();
        IKelvaneView* view = m_view;
        lock.unlock();
        if (view != nullptr) change(*view);
        lock.lock();
    }
    m_delivering = false;
}
