#pragma once
// A rate with a burst: capacity tokens at most, refilled at perSecond. A
// cost larger than what is left still passes while the bucket is not empty
// and leaves it in debt, so that large costs pass at the rate too instead of
// never.

#include <cstdint>

class TokenBucket {
public:
    TokenBucket(double capacity, double perSecond);

    // Whether take would pass now.
    bool ready(int64_t nowMs);
    // Takes cost when ready; false, taking nothing, when not.
    bool take(int64_t nowMs, double cost = 1.0);
    // Milliseconds until ready, 0 when it is.
    int64_t waitMs(int64_t nowMs);

private:
    void refill(int64_t nowMs);

    double capacity;
    double rate;
    double tokens;
    int64_t lastMs = 0;
    bool started = false;
};
