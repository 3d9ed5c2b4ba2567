#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <numeric>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/thread.h"
#include "platform/thread_message.h"

namespace {

using namespace std::chrono_literals;

TEST(Thread, WaitForTimesOutUntilTheEndAndAnUnfinishedThreadIsLetGoAtDestruction) {
    platform::Event release(true, false);
    auto thread = platform::Thread::Start([&] { return release.Wait(-1) ? 0 : 1; });
    ASSERT_TRUE(thread);
    EXPECT_FALSE(thread->WaitFor(20));
    release.Set();
    EXPECT_TRUE(thread->WaitFor(5000));

    auto letGo = std::make_shared<platform::Event>(true, false);
    auto done = std::make_shared<platform::Event>(true, false);
    // The handle goes at once, while the thread waits: it must neither block nor end the thread.
    platform::Thread::Start([letGo, done] {
        letGo->Wait(-1);
        done->Set();
        return 0;
    });
    letGo->Set();
    EXPECT_TRUE(done->Wait(5000));
}

TEST(ThreadMessage, PostFailsWithoutQueueAndMessagesKeepTheirOrder) {
    std::vector<uintptr_t> seen;
    auto consumer = platform::Thread::Start([&] {
        platform::ThreadMessage msg;
        while (platform::GetMessage(&msg) != 0) seen.push_back(msg.wParam);
        return 0;
    });
    const uint32_t id = static_cast<uint32_t>(consumer->Tid());
    // Until the thread first asks for a message it has no queue, so posts may fail; retry.
    while (!platform::PostThreadMessage(id, platform::kWmUser, 0, 0)) std::this_thread::sleep_for(1ms);
    std::vector<uintptr_t> sent(1001);
    std::iota(sent.begin(), sent.end(), 0);
    for (uintptr_t i = 1; i <= 1000; ++i) ASSERT_TRUE(platform::PostThreadMessage(id, platform::kWmUser, i, 0));
    ASSERT_TRUE(platform::PostThreadMessage(id, platform::kWmQuit, 0, 0));
    ASSERT_TRUE(consumer->WaitFor(5000));
    EXPECT_EQ(seen, sent);

    // The thread has ended: its queue is gone and posts fail.
    EXPECT_FALSE(platform::PostThreadMessage(id, platform::kWmUser, 0, 0));
    EXPECT_FALSE(platform::PostThreadMessage(0xFFFFFFF0u, platform::kWmUser, 0, 0));
}

// A post either fails or its message is handed back by the release: none may vanish in between,
// and once released, posts fail (the posting threads end).
TEST(ThreadMessage, PostRacingTheReleaseIsNeverLost) {
    uint32_t self = platform::GetCurrentThreadId();
    for (int round = 0; round < 100; ++round) {
        platform::EnsureMessageQueue();
        std::atomic<int> accepted{0};
        auto post = [&] {
            while (platform::PostThreadMessage(self, 0x464, 1, 0)) ++accepted;
        };
        std::thread first(post), second(post);
        while (accepted < 100) std::this_thread::yield();  // release while both are posting
        size_t handedBack = platform::ReleaseMessageQueue().size();
        first.join();
        second.join();
        ASSERT_EQ(handedBack, static_cast<size_t>(accepted.load())) << "round " << round;
    }
}

}  // namespace
