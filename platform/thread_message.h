#pragma once
// Per-thread message queues in the Win32 manner: a thread gets a queue the first time it asks
// for a message, and a post to a thread without a queue fails. The message thread of an
// upgrade run depends on exactly that to receive the device reports in order.
#include <sys/types.h>

#include <cstdint>
#include <vector>

namespace platform {

constexpr uint32_t kWmNull = 0x0000;
constexpr uint32_t kWmQuit = 0x0012;
constexpr uint32_t kWmUser = 0x0400;

struct ThreadMessage {
    uint32_t message = 0;
    uintptr_t wParam = 0;
    intptr_t lParam = 0;
};

uint32_t GetCurrentThreadId();
// False when the target thread has no queue (it never asked for a message, or it has ended).
bool PostThreadMessage(uint32_t threadId, uint32_t message, uintptr_t wParam, intptr_t lParam);
// Blocks until a message arrives. Returns 0 for kWmQuit, 1 for any other message.
int GetMessage(ThreadMessage* out);
// Makes sure the calling thread has a queue, so posts to it succeed from now on.
void EnsureMessageQueue();
// Removes the calling thread's queue (later posts to it fail) and hands back what was still
// waiting in it, so the owner can free whatever those messages carry.
std::vector<ThreadMessage> ReleaseMessageQueue();

}  // namespace platform
