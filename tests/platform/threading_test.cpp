#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <thread>
#include <vector>

#include "platform/event.h"
#include "platform/thread.h"
#include "platform/thread_message.h"

namespace {

using namespace std::chrono_literals;

TEST(Thread, WaitForTimesOutUntilTheThreadHasEnded) {
    platform::Event release(true, false);
    auto thread = platform::Thread::Start([&] { return release.Wait(-1) ? 0 : 1; });
    ASSERT_TRUE(thread);
    EXPECT_FALSE(thread->WaitFor(20));
    release.Set();
    EXPECT_TRUE(thread->WaitFor(5000));
}

TEST(Thread, AnUnfinishedThreadIsLetGoAtDestruction) {
    auto flag = std::make_shared<std::atomic<bool>>(false);
    auto release = std::make_shared<platform::Event>(true, false);
    {
        auto thread = platform::Thread::Start([flag, release] {
            release->Wait(-1);
            *flag = true;
            return 0;
        });
        ASSERT_TRUE(thread);
    }  // destroyed while running: must not block or crash
    release->Set();
    for (int i = 0; i < 500 && !*flag; ++i) std::this_thread::sleep_for(2ms);
    EXPECT_TRUE(*flag);
}

TEST(ThreadMessage, PostFailsWithoutQueueAndMessagesKeepTheirOrder) {
    std::atomic<uint32_t> id{0};
    platform::Event ready(true, false);
    std::vector<uintptr_t> seen;
    auto consumer = platform::Thread::Start([&] {
        id = platform::GetCurrentThreadId();
        ready.Set();
        platform::ThreadMessage msg;
        while (platform::GetMessage(&msg) != 0) seen.push_back(msg.wParam);
        return 0;
    });
    ready.Wait(-1);
    // Until the thread first asks for a message it has no queue, so posts may fail; retry.
    while (!platform::PostThreadMessage(id, platform::kWmUser, 0, 0)) std::this_thread::sleep_for(1ms);
    for (uintptr_t i = 1; i <= 1000; ++i) ASSERT_TRUE(platform::PostThreadMessage(id, platform::kWmUser, i, 0));
    ASSERT_TRUE(platform::PostThreadMessage(id, platform::kWmQuit, 0, 0));
    ASSERT_TRUE(consumer->WaitFor(5000));
    ASSERT_EQ(seen.size(), 1001u);
    for (uintptr_t i = 0; i <= 1000; ++i) EXPECT_EQ(seen[i], i);

    // The thread has ended: its queue is gone and posts fail.
    EXPECT_FALSE(platform::PostThreadMessage(id, platform::kWmUser, 0, 0));
    EXPECT_FALSE(platform::PostThreadMessage(0xFFFFFFF0u, platform::kWmUser, 0, 0));
}

TEST(ThreadMessage, ReleaseHandsBackWhatWasWaiting) {
    platform::EnsureMessageQueue();
    uint32_t self = platform::GetCurrentThreadId();
    ASSERT_TRUE(platform::PostThreadMessage(self, 0x464, 7, 0) && platform::PostThreadMessage(self, 0x464, 8, 0));
    std::vector<platform::ThreadMessage> left = platform::ReleaseMessageQueue();
    ASSERT_EQ(left.size(), 2u);
    EXPECT_EQ(left[1].wParam, 8u);
    EXPECT_FALSE(platform::PostThreadMessage(self, 0x464, 9, 0));
}

// A post either fails or its message is handed back by the release: none may vanish in between.
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
