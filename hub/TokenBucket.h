#pragma once
// A rate with a burst: capacity tokens at most, refilled at perSecond. A cost
// larger than the capacity waits for a full bucket and leaves it in debt, so
// that large costs pass at the rate too instead of never.

#include <cstdint>

class TokenBucket {
public:
    TokenBucket(double capacity, double perSecond);

    // Whether a take of cost would pass now.
    bool ready(int64_t nowMs, double cost = 1.0);
    // Takes cost when ready; false, taking nothing, when not.
    bool take(int64_t nowMs, double cost = 1.0);
    // Takes cost whether ready or not: for a cost known only afterwards.
    void spend(int64_t nowMs, double cost);
    // Milliseconds until a take of cost would pass, 0 when it would now.
    int64_t waitMs(int64_t nowMs, double cost = 1.0);

private:
    void refill(int64_t nowMs);
    double needed(double cost) const { return cost < capacity ? cost : capacity; }

    double capacity;
    double rate;
    double tokens;
    int64_t lastMs = 0;
    bool started = false;
};
