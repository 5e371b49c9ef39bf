#pragma once
// Everything the hub holds for one accepted stream connection, in one
// record: its frame splitter, its heartbeat (the periods that passed since
// bytes last arrived), who is at the other end, the ids it registered, what
// went through it, its report and its status budget. A read finds it once,
// the id table points at it, and forgetting the connection is one erase.
//
// The endpoint belongs to the socket manager; the record keeps a plain
// pointer and is erased before the endpoint goes (see SessionTable).

#include <sys/types.h>

#include <bitset>
#include <cstdint>
#include <string>

#include <memory>

#include "hub/AccessGrant.h"
#include "hub/StatusService.h"
#include "hub/TokenBucket.h"
#include "hub/TrafficCounters.h"
#include "net/PeerIdentity.h"
#include "proto/CDecoupler.h"

class CSocketClient;

struct Session {
    Session(CSocketClient *connection, int64_t nowMs);
    Session(const Session &) = delete;
    Session &operator=(const Session &) = delete;

    // What went through it, its send queue's drops included.
    TrafficCounters counters() const;

    CSocketClient *const endpoint;
    CDecoupler splitter;
    int missCount = 0;
    std::bitset<256> ids; // the module ids registered to it

    // Who is at the other end, as of accept: for the Unix socket always, for
    // TCP from this host with access rules (see PeerIdentity).
    PeerIdentity identity;
    bool loopbackPeer = false; // the Unix socket or loopback, asked where a setting needs it
    std::string peer;          // "address:port" of a TCP peer

    int64_t connectedAtMs;
    int64_t lastInputMs;
    TrafficCounters traffic;
    std::string report; // the module's last report, compact JSON; empty for none
    TokenBucket statusBudget = StatusService::connectionBudget();
    int statusLateFor = -1; // srcId of a status answer owed, -1 for none

    // With access rules: what it may do, which kinds of refusal were traced
    // in the episode under way, and whether it counts towards its uid's
    // connections.
    std::shared_ptr<const AccessGrant> grant;
    unsigned refusalsTraced = 0;
    bool countedForUid = false;
};
