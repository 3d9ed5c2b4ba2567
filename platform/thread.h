#pragma once
// A thread that can be waited for with a time-out, the way the run control waits for its
// workers: after the time runs out the thread is let go (detached) instead of blocking a stop.
#include <sys/types.h>

#include <atomic>
#include <functional>
#include <memory>
#include <thread>

#include "platform/event.h"

namespace platform {

enum class ThreadPriority { BelowNormal, Normal, Highest };

// Best effort: a thread's nice value cannot always be lowered without privileges.
bool SetCurrentThreadPriority(ThreadPriority priority);
// Names the calling thread as top, gdb and crash dumps show it; the kernel keeps 15 bytes, so a
// longer name is cut. Best effort, like the priority.
void SetCurrentThreadName(const char* name);

class Thread {
public:
    // Starts `body` on a new thread, named `name` when given (see SetCurrentThreadName); returns
    // null when the thread cannot be created.
    static std::unique_ptr<Thread> Start(std::function<int()> body, ThreadPriority priority = ThreadPriority::Normal,
                                         const char* name = nullptr);
    ~Thread();
    Thread(const Thread&) = delete;
    Thread& operator=(const Thread&) = delete;

    // True when the thread ended within the time.
    bool WaitFor(int timeoutMs);
    // The kernel thread id; waits until the thread has started running.
    pid_t Tid() const;

private:
    struct State {
        Event done{true, false};
        Event started{true, false};
        std::atomic<pid_t> tid{0};
    };
    Thread() = default;
    std::shared_ptr<State> m_state = std::make_shared<State>();
    std::thread m_thread;
};

}  // namespace platform
