#include "timer/TimerClock.h"

#include <sys/time.h>

TimerClock::NowFunction TimerClock::nowFunction = nullptr;

TimerTime TimerClock::now()
{
    if (nowFunction != nullptr) {
        return nowFunction();
    }
    struct timeval tv;
    gettimeofday(&tv, nullptr);
    return TimerTime{static_cast<int64_t>(tv.tv_sec), static_cast<int64_t>(tv.tv_usec)};
}

void TimerClock::setNowFunction(NowFunction function)
{
    nowFunction = function;
}
