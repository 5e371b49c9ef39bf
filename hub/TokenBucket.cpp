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

bool TokenBucket::ready(int64_t nowMs)
{
    refill(nowMs);
    return tokens > 0.0;
}

bool TokenBucket::take(int64_t nowMs, double cost)
{
    if (!ready(nowMs)) {
        return false;
    }
    tokens -= cost;
    return true;
}

int64_t TokenBucket::waitMs(int64_t nowMs)
{
    if (ready(nowMs) || rate <= 0.0) {
        return 0;
    }
    return static_cast<int64_t>(std::ceil((1e-9 - tokens) * 1000.0 / rate));
}
