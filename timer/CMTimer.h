#pragma once
// One named timer's state: what to call, how often and how many more times.
//
// Owned by the timer manager's maps; never copied.

#include <cstdint>
#include <memory>

#include "timer/TimerCallback.h"
#include "timer/TimerClock.h"

class CMTimer {
public:
    // count: -1 unlimited, 0 finished, N > 0 firings left. The first firing
    // comes one period after construction.
    CMTimer(const void *data, int dataLen, int count, uint32_t periodMs);
    virtual ~CMTimer();
    CMTimer(const CMTimer &) = delete;
    CMTimer &operator=(const CMTimer &) = delete;

    void setCallback(const TimerCallback &cb) { callback = cb; }
    bool isActive() const { return count != 0; }
    void stop() { count = 0; }
    void reset(uint32_t newPeriodMs);
    // Fires the timer when its period has elapsed; 1 when it fired.
    int checkTimeout();

    // Milliseconds until the timer is due at now: 0 when it is, -1 when it
    // never will be again.
    int64_t msUntilDue(const TimerTime &now) const;

    int getCount() const { return count; }
    uint32_t getPeriodMs() const { return periodMs; }

private:
    TimerCallback callback;
    int count;
    uint32_t periodMs;
    TimerTime lastTime;
    std::unique_ptr<unsigned char[]> data;
    int dataLen;
};
