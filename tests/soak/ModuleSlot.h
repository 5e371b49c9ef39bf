#pragma once
// One module of the soak: its link and what the driver knows about it.

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>

#include "tests/soak/SoakLink.h"

namespace soak {

// Stream modules register in [kFirstStreamId, kLastStreamId] (now and then
// as 0), UDP modules send as kFirstUdpId on, and nobody holds the rest.
const int kFirstStreamId = 0x02;
const int kLastStreamId = 0xBF;
const int kFirstUdpId = 0xC0;
const int kFirstNobodyId = 0xD0;
const int kLastNobodyId = 0xDE;
const uint8_t kUnregisteredSrc = 0xDF;
const uint64_t kUdpKeyBase = 0x80000000ull;
// The observer stays registered and hears of every departure.
const int kObserverSlot = 0;

enum class SlotState { Idle, Connecting, Open, Registered, Closing, Silent };
enum class CloseMode { Orderly, ResetDrained, ResetInFlight, Silence };

struct ModuleSlot {
    int index = 0;
    SoakLink::Kind kind = SoakLink::TCP;
    std::unique_ptr<SoakLink> link;
    bool observer = false;
    SlotState state = SlotState::Idle;
    uint64_t inc = 0; // connection number, 0 while there is none
    int id = -1; // the id reserved, being registered or registered
    bool regSent = false, emptyName = false, silenceUnsubSent = false, everConnected = false;
    int pendingReplies = 0;
    int64_t replyDeadline = 0, wakeAt = 0, lastWriteAt = 0, connectDeadline = 0, closingSince = 0, silentSince = 0;
    CloseMode closeMode = CloseMode::Orderly;
    int udpSrc = 0;

    bool isStream() const { return kind != SoakLink::UDP; }
    // A UDP module has no connection: its slot tells its frames apart.
    uint64_t senderKey() const { return isStream() ? inc : kUdpKeyBase + static_cast<uint64_t>(index); }
    int srcId() const
    {
        const bool registered = state == SlotState::Registered || state == SlotState::Closing;
        return !isStream() ? udpSrc : (registered ? id : kUnregisteredSrc);
    }

    std::string describe() const
    {
        const char *name = kind == SoakLink::TCP ? "tcp" : (kind == SoakLink::UNIX ? "unix" : "udp");
        const unsigned long long conn = inc;
        char text[96];
        if (kind == SoakLink::UDP) {
            snprintf(text, sizeof text, "module %d (udp, src 0x%02x)", index, udpSrc);
        } else if (id >= 0) {
            snprintf(text, sizeof text, "module %d (%s, id 0x%02x, connection #%llu)", index, name, id, conn);
        } else {
            snprintf(text, sizeof text, "module %d (%s, unregistered, connection #%llu)", index, name, conn);
        }
        return text;
    }
};

} // namespace soak
