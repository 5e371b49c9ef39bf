#pragma once
// A wall clock that only moves when a test moves it. Installed for the
// lifetime of one FakeClock object; the real clock is back afterwards.

#include <cstdint>

#include "timer/TimerClock.h"

class FakeClock {
public:
    FakeClock()
    {
        current() = TimerTime{1700000000, 250000};
        TimerClock::setNowFunction(&FakeClock::read);
    }
    ~FakeClock() { TimerClock::setNowFunction(nullptr); }
    FakeClock(const FakeClock &) = delete;
    FakeClock &operator=(const FakeClock &) = delete;

    void advanceMs(int64_t ms)
    {
        int64_t usec = current().sec * 1000000 + current().usec + ms * 1000;
        current() = TimerTime{usec / 1000000, usec % 1000000};
    }
    void set(int64_t sec, int64_t usec) { current() = TimerTime{sec, usec}; }
    TimerTime now() const { return current(); }

private:
    static TimerTime &current()
    {
        static TimerTime value;
        return value;
    }
    static TimerTime read() { return current(); }
};
