// Polls until a condition holds or 30 seconds have passed; answers whether it held. For waiting on
// another thread's progress without a fixed sleep.
#pragma once

#include <chrono>
#include <thread>

template <class Condition>
bool WaitUntil(Condition condition) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
    while (!condition()) {
        if (std::chrono::steady_clock::now() > deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}
