#pragma once
// Delays between attempts to reach a peer: exponential from `initialMs`,
// capped at `capMs`, each less a random part of up to a quarter so that many
// devices that lost the same broker do not all come back at the same
// instant. Never below 3/4 of initialMs: no tight loop.
//
// The random source is a parameter so that tests can drive the sequence.

#include <cstdint>
#include <functional>

namespace bridge {

class Backoff {
public:
    typedef std::function<uint32_t()> Random;

    Backoff(int64_t initialMs, int64_t capMs, Random random = Random());

    // The delay before the next attempt; each call doubles the next one.
    int64_t next();
    // After a success: the next delay is initialMs again.
    void reset() { failures = 0; }
    int failuresSoFar() const { return failures; }

private:
    int64_t initial;
    int64_t cap;
    Random random;
    int failures = 0;
};

} // namespace bridge
