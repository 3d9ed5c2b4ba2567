#pragma once
// Polls until a condition holds: bounds are generous (a whole run of devices fits in the default)
// and stretched in slow builds, so that a loaded machine does not fail a test, and a test never sleeps a fixed time and then asserts.
#include <chrono>
#include <thread>

#include "support/time_scale.h"

namespace testsupport {

template <typename Pred>
bool WaitUntil(Pred pred, int timeoutMs = 30000) {
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(Scaled(timeoutMs));
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= deadline) return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    return true;
}

}  // namespace testsupport
