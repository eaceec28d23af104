#pragma once
// Waiting for something another thread does, without depending on the machine's speed.

#include <chrono>
#include <functional>
#include <thread>

namespace tb_test {

// Polls `condition` every few milliseconds until it holds or `timeout` passes; true when it held.
// The timeout is generous on purpose: it only bounds a test that is already failing.
inline bool WaitUntil(const std::function<bool()>& condition,
                      std::chrono::milliseconds timeout = std::chrono::seconds(30)) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    while (std::chrono::steady_clock::now() < deadline) {
        if (condition()) {
            return true;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
    }
    return condition();
}

}  // namespace tb_test
