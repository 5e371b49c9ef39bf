#pragma once
// The monotonic clock in milliseconds, for deadlines and time-outs in tests.

#include <chrono>
#include <cstdint>
#include <functional>
#include <thread>

inline int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

// Asks `done` every stepMs until it holds (true) or timeoutMs have passed
// (false); for what has no way to wait of its own.
inline bool waitUntil(int64_t timeoutMs, int stepMs, const std::function<bool()> &done)
{
    const int64_t deadline = nowMs() + timeoutMs;
    while (!done()) {
        if (nowMs() >= deadline) {
            return false;
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(stepMs));
    }
    return true;
}
