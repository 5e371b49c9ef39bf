#pragma once
// How a module comes and goes: it connects, reserves and registers an id,
// closes (orderly, or with a reset once nothing is on its way or with
// frames still in flight) or falls silent until the hub drops it, and is
// forgotten.

#include <cstdint>
#include <string>

#include "tests/soak/ModuleTraffic.h"
#include "tests/support/Clock.h"

namespace soak {

const int64_t kConnectTimeoutMs = 20000;
// The hub drops a connection at the fourth 15 s tick after its last bytes;
// a little is allowed for the ticks' own lateness.
const int64_t kSilenceEarliestDropMs = 42000;
const int64_t kSilenceLatestDropMs = 110000;

class ModuleLifecycle {
public:
    ModuleLifecycle(HubModel &hub, Ledger &book, ModuleTraffic &moduleTraffic, SoakDice &random, SoakJournal &log,
                    uint16_t hubPort, const std::string &hubUnixPath)
        : model(hub), ledger(book), traffic(moduleTraffic), dice(random), journal(log), port(hubPort),
          unixPath(hubUnixPath)
    {
    }

    void connect(ModuleSlot &s)
    {
        std::string why;
        switch (s.link->open(port, unixPath, &why)) {
        case SoakLink::CONNECTED: onConnected(s); break;
        case SoakLink::IN_PROGRESS:
            s.state = SlotState::Connecting;
            s.connectDeadline = nowMs() + kConnectTimeoutMs;
            break;
        case SoakLink::RETRY_LATER: s.wakeAt = nowMs() + 50; break;
        case SoakLink::FAILED: journal.fail("cannot connect " + s.describe() + ": " + why); break;
        }
    }

    void onConnected(ModuleSlot &s)
    {
        const int64_t now = nowMs();
        s.state = SlotState::Open;
        s.lastWriteAt = now;
        if (!s.isStream()) {
            journal.counts.udpReopens += s.everConnected ? 1 : 0;
            s.everConnected = true;
            return;
        }
        s.inc = ++nextInc;
        ledger.receivers[s.inc] = Ledger::ReceiverInfo();
        ledger.senders[s.inc].slot = s.index;
        journal.counts.reconnects += s.everConnected ? 1 : 0;
        s.everConnected = true;
        s.wakeAt = warmingUp ? now : now + dice.pick(0, 300);
        journal.note("%s connected", s.describe().c_str());
    }

    // A UDP module takes a new socket: the hub cannot tell, and nothing may
    // be lost.
    void reopen(ModuleSlot &s)
    {
        s.link->close(false);
        s.state = SlotState::Idle;
        journal.note("%s opens a new socket", s.describe().c_str());
        connect(s);
    }

    bool reserveId(ModuleSlot &s)
    {
        int id = -1;
        if (!s.observer && dice.chance(0.03) && model.idState[0] == IdState::Free) {
            id = 0;
        }
        const std::set<int> *departureSubscribers = nullptr;
        const auto subs = model.table.find(0);
        if (model.event0Wanted && subs != model.table.end()) {
            departureSubscribers = &subs->second;
        }
        for (int tries = 0; id < 0 && tries < 30; ++tries) {
            const int candidate = dice.pick(kFirstStreamId, kLastStreamId);
            if (model.idState[candidate] == IdState::Free &&
                (departureSubscribers == nullptr || departureSubscribers->count(candidate) == 0)) {
                id = candidate;
            }
        }
        if (id < 0 || (id == 0 && departureSubscribers != nullptr && departureSubscribers->count(0) != 0)) {
            return false;
        }
        s.id = id;
        s.regSent = false;
        model.idState[id] = IdState::Reserved;
        model.idHolder[id] = s.index;
        return true;
    }

    // Sends the registration of a reserved id once nothing depends on who
    // holds it.
    void tryRegister(ModuleSlot &s)
    {
        if (s.id < 0 || s.regSent || model.idLockedForRegChange(s.id)) {
            return;
        }
        s.emptyName = !s.observer && dice.chance(0.1);
        traffic.sendRegistration(s);
        s.regSent = true;
        model.idState[s.id] = IdState::Registering;
        journal.note("%s registers", s.describe().c_str());
    }

    void beginClose(ModuleSlot &s, CloseMode mode)
    {
        if (mode == CloseMode::ResetInFlight && (s.state != SlotState::Registered || s.id == 0)) {
            mode = CloseMode::ResetDrained; // only an announced departure tells when the hub is done with it
        }
        if (s.state == SlotState::Registered) {
            model.idState[s.id] = IdState::Closing;
        }
        s.state = SlotState::Closing;
        s.closeMode = mode;
        s.closingSince = nowMs();
        s.silenceUnsubSent = false;
        static const char *const modeNames[] = {"orderly close", "reset once drained", "reset with frames in flight",
                                                "silence"};
        journal.note("%s decides on %s", s.describe().c_str(), modeNames[static_cast<int>(mode)]);
    }

    // What a closing module still waits for, or an empty string.
    std::string closingBlocker(ModuleSlot &s)
    {
        Ledger::SenderInfo &si = ledger.senders[s.inc];
        const Ledger::ReceiverInfo &ri = ledger.receivers[s.inc];
        if (ri.awaiting > 0) {
            return std::to_string(ri.awaiting) + " deliveries to it";
        }
        if (s.pendingReplies > 0) {
            return "a registration reply";
        }
        if (!si.ops.empty()) {
            return std::to_string(si.ops.size()) + " unconfirmed requests";
        }
        if (s.closeMode != CloseMode::ResetInFlight) {
            if (s.link->hasPendingOutput()) {
                return "its own unsent bytes";
            }
            if (si.inFlight > 0) {
                return std::to_string(si.inFlight) + " frames it sent";
            }
        }
        if (s.closeMode == CloseMode::Silence) {
            return model.eventsOf(s.id).empty() ? std::string() : "its unsubscriptions";
        }
        if (s.id >= 0) {
            if (model.idLockedForRegChange(s.id)) {
                return "publications of events it is subscribed to";
            }
            if (s.id != 0 && !model.departureStartAllowed(s.id)) {
                model.event0WantedNext = true;
                return "other changes of event 0";
            }
        }
        return std::string();
    }

    void progressClosing(ModuleSlot &s)
    {
        if (s.closeMode == CloseMode::Silence && !s.silenceUnsubSent) {
            const std::vector<int> events = model.eventsOf(s.id);
            if (events.empty() || traffic.changeSubscription(s, false, events)) {
                s.silenceUnsubSent = true;
            }
            return;
        }
        if (!closingBlocker(s).empty()) {
            return;
        }
        if (s.closeMode == CloseMode::Silence) {
            enterSilence(s);
        } else {
            closeNow(s);
        }
    }

    void onSilentDropped(ModuleSlot &s)
    {
        const int64_t silence = nowMs() - s.silentSince;
        if (silence < kSilenceEarliestDropMs) {
            journal.fail("the hub dropped " + s.describe() + " after only " + std::to_string(silence) +
                         " ms without a byte from it");
        }
        journal.counts.silentDrops++;
        journal.note("%s dropped by the hub after %lld ms of silence", s.describe().c_str(),
                     static_cast<long long>(silence));
        s.link->close(false);
        if (model.idState[s.id] == IdState::Silent) {
            model.idState[s.id] = IdState::Departing;
        }
        forgetConnection(s);
    }

    void closeLink(ModuleSlot &s, bool reset)
    {
        s.link->close(reset);
        (reset ? journal.counts.resets : journal.counts.orderlyCloses)++;
    }

    void forgetConnection(ModuleSlot &s)
    {
        ledger.receivers.erase(s.inc);
        const auto si = ledger.senders.find(s.inc);
        if (si != ledger.senders.end() && si->second.inFlight == 0 && si->second.ops.empty()) {
            ledger.senders.erase(si);
        }
        s.inc = 0;
        s.id = -1;
        s.regSent = false;
        s.pendingReplies = 0;
        s.state = SlotState::Idle;
        s.wakeAt = nowMs() + dice.pick(10, 400);
    }

    // While warming up, every module registers at once.
    bool warmingUp = false;

private:
    void closeNow(ModuleSlot &s)
    {
        const bool reset = s.closeMode != CloseMode::Orderly;
        if (s.closeMode == CloseMode::ResetInFlight) {
            ledger.makeInFlightOptional(s);
            journal.counts.resetsWithFramesInFlight++;
        }
        closeLink(s, reset);
        journal.note("%s %s", s.describe().c_str(), reset ? "resets its connection" : "closes its connection");
        const int id = s.id;
        if (id >= 0 && model.idState[id] == IdState::Closing) {
            if (id != 0) {
                ledger.addDeparture(s, true);
                model.event0Pending++;
                model.idState[id] = IdState::Departing;
            } else {
                // Id 0 goes without a notice; whenever the hub notices,
                // the id no longer matters to anything the driver checks.
                model.release(0);
            }
        }
        forgetConnection(s);
    }

    void enterSilence(ModuleSlot &s)
    {
        s.state = SlotState::Silent;
        s.silentSince = s.lastWriteAt;
        model.idState[s.id] = IdState::Silent;
        Ledger::Departure &d = ledger.addDeparture(s, false);
        d.silent = true;
        d.deadline = s.silentSince + kSilenceLatestDropMs;
        journal.note("%s falls silent", s.describe().c_str());
    }

    HubModel &model;
    Ledger &ledger;
    ModuleTraffic &traffic;
    SoakDice &dice;
    SoakJournal &journal;
    uint16_t port;
    std::string unixPath;
    uint64_t nextInc = 0;
};

} // namespace soak
