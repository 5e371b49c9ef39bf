#pragma once
// What a product may harden, from optional keys of the configuration file.
// Every default is the hub's plain behaviour: a file without these keys runs
// the hub exactly as one that never heard of them.

#include <netinet/in.h>

#include <cstddef>
#include <cstdint>
#include <string>

struct HubSettings {
    enum EventLoop {
        LOOP_SELECT, // select() over every descriptor each pass
        LOOP_EPOLL,  // epoll: an interest set kept across passes
    };
    enum KillPolicy {
        KILL_BY_NAME, // killall with the module's name
        KILL_PEER,    // only the process at the other end of the connection
        KILL_NONE,    // close and announce, never kill
    };

    // The IPv4 address, in network order, that TCP and UDP bind.
    uint32_t bindAddress = htonl(INADDR_ANY);
    // The pause after each served descriptor; -1: the build's default.
    long servePauseUs = -1;
    // 0: blocking writes bounded by the send timeout. N: non-blocking
    // writes, at most N bytes queued per connection.
    size_t sendQueueBytes = 0;
    // Ids are owned: no take-over of a live id, no registration of the
    // hub's own ids, no frames under an id the connection did not register,
    // no forwarded frame from a reserved id, no datagram under an id a
    // stream holds, no subscriptions by datagram, no forged departures
    // (event 0), datagrams from loopback only.
    bool strictModules = false;
    // The hub's own switches (data print, socket dump, trace level) only
    // from the Unix socket or loopback.
    bool localHubCommands = false;
    KillPolicy killPolicy = KILL_BY_NAME;
    EventLoop eventLoop = LOOP_SELECT;
    // Connections that may be monitors at once.
    size_t maxMonitors = 4;
    // An unsubscription also takes the pair out of the saved record, so
    // that it does not come back at the next start.
    bool recordUnsubscriptions = false;
    // Rules of who may do what (see AccessRules); empty: none, as before.
    std::string accessFile;
};
