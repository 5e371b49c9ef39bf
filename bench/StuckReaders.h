#pragma once
// The stuck-reader run: a few modules register and never read, one more
// floods them with large messages as fast as the hub or broker takes them,
// and a healthy pair sends each other a probe every 100 ms through the
// same hub or broker. It measures how long forwarding between the healthy
// pair froze while the stuck ones filled up, and whether a probe was lost.
//
// Modules 0..stuck-1 are the stuck ones, module `stuck` the flooder, the
// two after it the healthy pair. Only the healthy pair's connections are
// ever read.

#include <sys/types.h>

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "bench/Wire.h"

namespace bench {

struct StuckPlan {
    int stuckModules = 3;
    size_t floodBodySize = 60000;
    size_t probeBodySize = 32; // at least 16: sequence and send time
    double seconds = 40;       // how long probes are sent (and the flood lasts)
    int probeIntervalMs = 100;
    int frozenAfterMs = 200;   // a probe slower than this counts its excess as frozen
    int drainMs = 35000;       // how long probes still on their way are waited for
    int keepAliveMs = 10000;
};

struct StuckOutcome {
    bool ok = false;
    std::string error;
    long probesSent = 0;
    long probesReceived = 0;
    int64_t frozenNs = 0;
    std::vector<int64_t> latenciesNs; // one per probe received
    long floodMessages = 0;           // whole messages the flooder got written
    long rssKb = -1;                  // the server's, after the drain (-1: unknown)
    long hwmKb = -1;
};

class StuckReaders {
public:
    // `serverPid` (0: none) is the hub or broker whose memory is read.
    StuckReaders(Wire &wire, const StuckPlan &plan, pid_t serverPid);

    // Connects, runs and disconnects.
    StuckOutcome run();
    // Probes received so far; may be read from another thread during run().
    long probesArrived() const { return probesReceived.load(); }

    // The time covered by at least one probe's excess over `thresholdNs`;
    // probes are (sent, arrived) pairs. Probes stuck behind the same block
    // overlap, so the excesses are merged, not summed.
    static int64_t frozenNs(std::vector<std::pair<int64_t, int64_t>> probes, int64_t thresholdNs);

private:
    void flood();
    void receive();
    void fail(const std::string &why);
    bool sendProbes(long sequence);
    void keepAlive(int64_t &dueNs);

    Wire &wire;
    const StuckPlan plan;
    const pid_t serverPid;
    const int flooder;
    const int healthyA;
    const int healthyB;

    std::atomic<bool> stopFlood{false};
    std::atomic<bool> probing{true};
    std::atomic<bool> receiverDone{false};
    std::atomic<bool> failed{false};
    std::atomic<long> probesSent{0};
    std::atomic<long> probesReceived{0};
    std::atomic<long> floodMessages{0};
    std::mutex errorMutex;
    std::string error; // the first failure
    std::vector<std::pair<int64_t, int64_t>> probeTimes; // receiver thread only, read after it ends
};

} // namespace bench
