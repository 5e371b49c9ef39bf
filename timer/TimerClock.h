#pragma once
// The one place where timers read the wall clock. Tests replace the clock to
// set it back or make it jump forward; production reads gettimeofday().

#include <cstdint>

struct TimerTime {
    int64_t sec;
    int64_t usec;
};

class TimerClock {
public:
    typedef TimerTime (*NowFunction)();

    static TimerTime now();
    // nullptr restores the wall clock.
    static void setNowFunction(NowFunction function);

private:
    static NowFunction nowFunction;
};
