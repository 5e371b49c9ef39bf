#include "timer/CMTimer.h"

#include <cstring>

CMTimer::CMTimer(const void *bytes, int len, int firings, uint32_t period)
    : count(firings), periodMs(period), lastTime(TimerClock::now()), dataLen(0)
{
    if (bytes != nullptr && len > 0) {
        data.reset(new unsigned char[len]);
        memcpy(data.get(), bytes, static_cast<size_t>(len));
        dataLen = len;
    }
}

CMTimer::~CMTimer() = default;

void CMTimer::reset(uint32_t newPeriodMs)
{
    periodMs = newPeriodMs;
    lastTime = TimerClock::now();
}

int64_t CMTimer::msUntilDue(const TimerTime &now) const
{
    if (count == 0) {
        return -1;
    }
    const int64_t elapsed = (now.sec * 1000 + now.usec / 1000) - (lastTime.sec * 1000 + lastTime.usec / 1000);
    // As checkTimeout counts it: a clock set back makes the timer due.
    if (elapsed < 0 || elapsed >= static_cast<int64_t>(periodMs)) {
        return 0;
    }
    return static_cast<int64_t>(periodMs) - elapsed;
}

int CMTimer::checkTimeout()
{
    const TimerTime now = TimerClock::now();
    const int64_t elapsed = (now.sec * 1000 + now.usec / 1000) - (lastTime.sec * 1000 + lastTime.usec / 1000);
    // Compared unsigned on purpose: a clock set back gives a negative elapsed
    // time, which reads as huge, so every timer fires once and starts over
    // from the new time instead of waiting for the old one to come back.
    if (static_cast<uint64_t>(periodMs) > static_cast<uint64_t>(elapsed)) {
        return 0;
    }
    if (count == 0) {
        return 0;
    }
    if (count != -1) {
        --count;
    }
    // Measured from this firing, not from the due time: lateness is never
    // made up with extra firings.
    lastTime = now;
    if (callback) {
        callback(data.get(), dataLen);
    }
    return 1;
}
