#pragma once
// The hub's one clock for connection times, budgets and the status: the
// monotonic one, in milliseconds.

#include <cstdint>

class Clock {
public:
    static int64_t nowMs();
};
