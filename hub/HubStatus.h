#pragma once
// The hub's status as one JSON document: its settings, totals, every stream
// connection with its counters, the subscriptions, descriptors and memory.
// Built only when asked for; nothing here is on the routing path.

#include <cstdint>
#include <string>

class CPellix;

class HubStatus {
public:
    // The document for the hub's state at nowMs (monotonic milliseconds).
    static std::string build(const CPellix &hub, int64_t nowMs);

    // Open descriptors of this process, -1 when /proc does not tell.
    static int descriptorsInUse();
    // Resident and private (anonymous resident) bytes of this process; false
    // when /proc does not tell.
    static bool memoryBytes(uint64_t &resident, uint64_t &privateBytes);
};
