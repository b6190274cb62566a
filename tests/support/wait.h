// Waiting for something in a test: poll a condition until a deadline.
#pragma once

#include <chrono>
#include <functional>
#include <thread>

namespace pylox_test {

// Polls pred every millisecond until it holds or the limit passes; returns pred().
inline bool eventually(const std::function<bool()> &pred, std::chrono::milliseconds limit)
{
    const auto end = std::chrono::steady_clock::now() + limit;
    while (!pred()) {
        if (std::chrono::steady_clock::now() >= end)
            return pred();
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace pylox_test
