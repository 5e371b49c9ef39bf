#pragma once
// The bridge's counters, printed on SIGUSR1 and at the end, and reported to
// the hub for its status.

#include <cstdint>
#include <string>

namespace bridge {

struct BridgeStats {
    uint64_t sent = 0;        // taken by the broker (QoS 1: acknowledged)
    uint64_t received = 0;    // from the broker, passed into the hub
    uint64_t queued = 0;      // waiting for the broker now
    uint64_t dropped = 0;     // oldest given up for newer ones, or not fitting the queue at all
    uint64_t refused = 0;     // from the broker, too large for a frame
    uint64_t undelivered = 0; // from the broker while the hub was away (or refused by it)
    uint64_t echoes = 0;      // our own messages coming back, not passed on
    uint64_t reconnects = 0;  // broker connections made after the first

    std::string line() const
    {
        return "sent=" + std::to_string(sent) + " received=" + std::to_string(received) +
               " queued=" + std::to_string(queued) + " dropped=" + std::to_string(dropped) +
               " refused=" + std::to_string(refused) + " undelivered=" + std::to_string(undelivered) +
               " echoes=" + std::to_string(echoes) + " reconnects=" + std::to_string(reconnects);
    }

    // The same as one JSON object, with the broker link's state.
    std::string json(bool brokerUp) const
    {
        return "{\"bridge\":{\"broker\":\"" + std::string(brokerUp ? "up" : "down") +
               "\",\"sent\":" + std::to_string(sent) + ",\"received\":" + std::to_string(received) +
               ",\"queued\":" + std::to_string(queued) + ",\"dropped\":" + std::to_string(dropped) +
               ",\"refused\":" + std::to_string(refused) + ",\"undelivered\":" + std::to_string(undelivered) +
               ",\"echoes\":" + std::to_string(echoes) + ",\"reconnects\":" + std::to_string(reconnects) + "}}";
    }
};

} // namespace bridge
