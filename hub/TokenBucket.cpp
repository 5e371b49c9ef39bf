#include "hub/TokenBucket.h"

#include <algorithm>
#include <cmath>

TokenBucket::TokenBucket(double most, double perSecond) : capacity(most), rate(perSecond), tokens(most) {}

void TokenBucket::refill(int64_t nowMs)
{
    // A clock set back neither refills nor drains.
    if (started && nowMs > lastMs) {
        tokens = std::min(capacity, tokens + rate * static_cast<double>(nowMs - lastMs) / 1000.0);
    }
    if (!started || nowMs > lastMs) {
        lastMs = nowMs;
    }
    started = true;
}

bool TokenBucket::ready(int64_t nowMs, double cost)
{
    refill(nowMs);
    // A hair below the count still counts: refills come in fractions.
    return tokens + 1e-9 >= needed(cost);
}

bool TokenBucket::take(int64_t nowMs, double cost)
{
    if (!ready(nowMs, cost)) {
        return false;
    }
    tokens -= cost;
    return true;
}

void TokenBucket::spend(int64_t nowMs, double cost)
{
    refill(nowMs);
    tokens -= cost;
}

int64_t TokenBucket::waitMs(int64_t nowMs, double cost)
{
    if (ready(nowMs, cost) || rate <= 0.0) {
        return 0;
    }
    return static_cast<int64_t>(std::ceil((needed(cost) - tokens) * 1000.0 / rate - 1e-6));
}
