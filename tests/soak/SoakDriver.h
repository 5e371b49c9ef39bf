#pragma once
// Drives many modules against one running hub from a single thread, at
// random, and checks everything that comes back.
//
// Every module is a slot: a TCP, Unix-domain or UDP link and what the
// driver knows about it. Stream slots connect, register under an id that no
// other live module holds, forward frames, subscribe, unsubscribe, publish,
// send heartbeats, go away (orderly or with a reset) and come back; UDP
// slots forward and publish by datagram only. One stream slot, the
// observer, stays registered all the time and subscribed to event 0, so
// every departure of a registered module is confirmed by its notice.
//
// The driver keeps its own copy of the hub's state (which id is held by
// which connection, who is subscribed to what) and only starts an action
// whose outcome that copy can tell exactly: a publication is not sent while
// a subscription to its event or the registration of one of its
// subscribers is still on its way, and so on (see HubModel.h and
// Ledger.h). So every frame and every event delivery is expected
// exactly once, at one connection, with known bytes; the only deliveries
// left open are those of a module that reset its connection with frames
// still on their way (they may be lost, but only from some frame on) and
// the departure notice of a module the hub dropped for silence.

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/soak/ActionPolicy.h"
#include "tests/soak/DeliveryCheck.h"

namespace soak {

struct SoakConfig {
    uint16_t port = 0;
    std::string unixPath;
    int tcpModules = 24;
    int unixModules = 24;
    int udpModules = 16;
    uint64_t seed = 0;
    // Whether now and then a module stops sending to be dropped by the
    // hub's heartbeat check (which takes about a minute each time).
    bool letModulesFallSilent = false;
    // Polled about once a second; a false result ends the run.
    std::function<bool()> hubAlive;
};

class SoakDriver {
public:
    explicit SoakDriver(const SoakConfig &config);
    SoakDriver(const SoakDriver &) = delete;
    SoakDriver &operator=(const SoakDriver &) = delete;

    // Connects and registers every stream module, subscribes the observer
    // to departures, runs traffic without disconnects for `seconds` and
    // waits until all of it has been delivered. False on a failure.
    bool warmUp(double seconds);
    // The random phase, disconnects included.
    bool run(double seconds);
    // Starts nothing new and waits until everything sent has arrived and
    // every module that was going away has gone.
    bool drain();
    // Closes every module (the observer last, once it has heard of every
    // departure) and every UDP socket.
    bool disconnectAll();

    int streamModules() const { return cfg.tcpModules + cfg.unixModules; }
    const SoakJournal::Counters &counters() const { return journal.counts; }
    // Each failure with the driver's recent actions; empty while all is well.
    const std::vector<std::string> &failures() const { return journal.failures(); }

private:
    void step(int timeoutMs);
    // What poll() reported for the module's link.
    void serve(ModuleSlot &s, short revents);
    void housekeeping();
    void checkDeadlines(int64_t now);
    // What is still on its way, or an empty string.
    std::string outstanding() const;
    bool loopUntil(const std::function<bool()> &done, int64_t timeoutMs, const std::string &what);

    SoakConfig cfg;
    std::vector<ModuleSlot> slots;
    SoakDice dice;
    SoakJournal journal;
    HubModel model;
    Ledger ledger;
    DeliveryCheck check;
    ModuleTraffic traffic;
    ModuleLifecycle lifecycle;
    ActionPolicy policy;
    bool acceptingWork = false;
    bool observerSubSent = false;
    bool observerReady = false;
    int64_t observerSubIndex = 0;
    int64_t runEndsAt = 0;
    int64_t lastAliveCheck = 0;
    int64_t lastDeadlineCheck = 0;
};

} // namespace soak
