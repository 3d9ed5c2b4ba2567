#pragma once
// An event in the Win32 sense: manual- or auto-reset, waited on with a time-out.
#include <chrono>
#include <condition_variable>
#include <mutex>

namespace platform {

class Event {
public:
    explicit Event(bool manualReset = true, bool initiallySet = false)
        : m_manualReset(manualReset), m_set(initiallySet) {}

    void Set() {
        {
            std::lock_guard<std::mutex> lock(m_mutex);
            m_set = true;
        }
        if (m_manualReset) {
            m_cv.notify_all();
        } else {
            m_cv.notify_one();
        }
    }

    bool IsSet() const {
        std::lock_guard<std::mutex> lock(m_mutex);
        return m_set;
    }

    // True when the event was set within the time; a negative time-out waits without limit.
    bool Wait(int timeoutMs) {
        std::unique_lock<std::mutex> lock(m_mutex);
        if (timeoutMs < 0) {
            m_cv.wait(lock, [this] { return m_set; });
        } else if (!m_cv.wait_for(lock, std::chrono::milliseconds(timeoutMs), [this] { return m_set; })) {
            return false;
        }
        if (!m_manualReset) m_set = false;
        return true;
    }

private:
    mutable std::mutex m_mutex;
    std::condition_variable m_cv;
    const bool m_manualReset;
    bool m_set;
};

}  // namespace platform
