#pragma once
// One measured run: modules connected through a wire, a sender thread that
// writes messages (as fast as a bounded window allows, or at a fixed rate),
// and a receiver thread that reads every receiving connection, checks that
// each message arrives once and in order, and time-stamps it.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>
#include <utility>
#include <vector>

#include "bench/Wire.h"

namespace bench {

struct Plan {
    int modules = 2;
    std::vector<std::pair<int, int>> routes; // (sender, receiver); message k takes route k % size
    bool fanOut = false;                     // module 0 publishes to modules 1..N-1
    long messages = 0;                       // sends (publications for fan-out)
    double rate = 0;                         // sends per second; 0: as fast as the window allows
    long window = 500;                       // sends in flight at most
    size_t bodySize = 32;                    // bytes of each message's body (at least 16)
    int stallTimeoutMs = 10000;              // no delivery for this long: the run fails
    int keepAliveMs = 10000;                 // every module's keep-alive at most this often
    // A message missing from a route is counted, not a failure; the run
    // ends when the last one arrived or deliveries stalled (QoS 0 under
    // load, where a broker may drop).
    bool lossTolerated = false;
};

struct Outcome {
    bool ok = false;
    std::string error;
    long sent = 0;
    long delivered = 0;
    long expected = 0;
    double seconds = 0;
    std::vector<int64_t> latenciesNs; // one per delivery, in arrival order
};

// Connects the plan's modules through `wire`, runs it and disconnects.
// With a hub or broker pid, its CPU seconds over the run go to *cpuSeconds.
Outcome runPlan(Wire &wire, const Plan &plan, pid_t serverPid, double *cpuSeconds);

// Percentile (0..100) of a set of values, in the values' unit; 0 when empty.
double percentile(std::vector<int64_t> values, double pct);

} // namespace bench
