#include "platform/thread.h"

#include <pthread.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstring>
#include <string>
#include <system_error>

#include "platform/signal_stack.h"

namespace platform {

namespace {
int NiceFor(ThreadPriority priority) {
    switch (priority) {
        case ThreadPriority::BelowNormal:
            return 1;
        case ThreadPriority::Highest:
            return -2;
        case ThreadPriority::Normal:
            break;
    }
    return 0;
}
}  // namespace

void SetCurrentThreadName(const char* name) {
    if (name == nullptr || *name == '\0') return;
    char cut[16];
    std::strncpy(cut, name, sizeof cut - 1);
    cut[sizeof cut - 1] = '\0';
    pthread_setname_np(pthread_self(), cut);
}

bool SetCurrentThreadPriority(ThreadPriority priority) {
    return setpriority(PRIO_PROCESS, static_cast<id_t>(gettid()), NiceFor(priority)) == 0;
}

std::unique_ptr<Thread> Thread::Start(std::function<int()> body, ThreadPriority priority, const char* name) {
    std::unique_ptr<Thread> thread(new Thread());
    std::shared_ptr<State> state = thread->m_state;
    try {
        thread->m_thread = std::thread([state, priority, body = std::move(body), name = std::string(name ? name : "")] {
            PrepareThreadSignalStack();
            SetCurrentThreadName(name.c_str());
            state->tid = gettid();
            if (priority != ThreadPriority::Normal) SetCurrentThreadPriority(priority);
            state->started.Set();
            body();
            state->done.Set();
        });
    } catch (const std::system_error&) {
        return nullptr;
    }
    // Not waiting for the new thread to run: a listener starting one thread per request must
    // not stall on the scheduler for each of them.
    return thread;
}

Thread::~Thread() {
    if (!m_thread.joinable()) return;
    if (m_state->done.IsSet()) {
        m_thread.join();
    } else {
        m_thread.detach();
    }
}

pid_t Thread::Tid() const {
    m_state->started.Wait(-1);
    return m_state->tid.load();
}

bool Thread::WaitFor(int timeoutMs) {
    if (!m_state->done.Wait(timeoutMs)) return false;
    if (m_thread.joinable()) m_thread.join();
    return true;
}

}  // namespace platform
