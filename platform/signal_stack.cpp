#include "platform/signal_stack.h"

#include <signal.h>
#include <sys/mman.h>

#include <atomic>

namespace platform {
namespace {

std::atomic<bool> g_enabled{false};
// Room for the handler's own frames plus libunwind's cursor; pages are only touched on a crash.
constexpr size_t kSignalStackSize = 256 * 1024;

class ThreadSignalStack {
public:
    ThreadSignalStack() {
        void* memory = mmap(nullptr, kSignalStackSize, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
        if (memory == MAP_FAILED) return;
        stack_t stack{};
        stack.ss_sp = memory;
        stack.ss_size = kSignalStackSize;
        if (sigaltstack(&stack, nullptr) != 0) {
            munmap(memory, kSignalStackSize);
            return;
        }
        m_memory = memory;
    }
    ~ThreadSignalStack() {
        if (m_memory == nullptr) return;
        stack_t off{};
        off.ss_flags = SS_DISABLE;
        sigaltstack(&off, nullptr);
        munmap(m_memory, kSignalStackSize);
    }
    ThreadSignalStack(const ThreadSignalStack&) = delete;
    ThreadSignalStack& operator=(const ThreadSignalStack&) = delete;

private:
    void* m_memory = nullptr;
};

}  // namespace

void EnableThreadSignalStacks() {
    g_enabled = true;
}

void PrepareThreadSignalStack() {
    if (!g_enabled.load(std::memory_order_relaxed)) return;
    thread_local ThreadSignalStack stack;
}

}  // namespace platform
