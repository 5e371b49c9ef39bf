#pragma once
// Record of one accepted stream connection: its heartbeat (the heartbeat
// periods that passed since bytes last arrived on it), what it is and what
// went through it, for the status command.

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "hub/StatusService.h"
#include "hub/TokenBucket.h"
#include "hub/TrafficCounters.h"

struct HeartInfo {
    int missCount = 0;
    // The peer is this host's own (Unix socket or loopback), asked at accept
    // only where a setting needs it.
    bool loopbackPeer = false;

    bool unixSocket = false;
    std::string peer; // "address:port" of a TCP peer
    pid_t pid = -1;   // of a Unix-socket peer, as of connect
    uid_t uid = static_cast<uid_t>(-1);
    int64_t connectedAtMs = 0; // monotonic
    int64_t lastInputMs = 0;
    TrafficCounters traffic;
    std::string report; // the module's last report, compact JSON; empty for none
    TokenBucket statusBudget = StatusService::connectionBudget();
    int statusLateFor = -1; // srcId of a status answer owed, -1 for none
};
