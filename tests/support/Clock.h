#pragma once
// The monotonic clock in milliseconds, for deadlines and time-outs in tests.

#include <chrono>
#include <cstdint>

inline int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}
