#pragma once
// The driver's copy of the hub's state, without sockets: which id is held
// by which module, who is subscribed to what, and what is unconfirmed.
//
// Locks. The copy is exact only while nothing that changes it races with
// what depends on it. So, per event: no subscription change while a
// publication of that event is unconfirmed, and no publication while a
// subscription change is unconfirmed or one of its subscribers is between
// states (reserved, registering, closing, departed but not yet announced).
// An id does not change hands (registration, close) while a publication of
// an event it is subscribed to is unconfirmed; event 0 counts a departure
// as unconfirmed until the observer has its notice. The recipients of a
// publication or departure are fixed when it is sent. Events from 0x8000
// on never reach anyone and take no locks. Whoever waits for a lock holds
// back new actions that would take it again, so that nobody waits for ever.

#include <algorithm>
#include <cstdint>
#include <map>
#include <set>
#include <vector>

namespace soak {

// Departing: closed, the hub may still hold the id. Announced: the
// observer has the notice, so the hub no longer holds it, but frames of the
// departed module may still be on their way. Releasing: the same for frames
// addressed to the id by other modules that reset.
enum class IdState { Free, Reserved, Registering, Registered, Closing, Silent, Departing, Announced, Releasing };

class HubModel {
public:
    HubModel() { std::fill(idHolder, idHolder + 256, -1); }

    static const char *name(IdState state)
    {
        static const char *const names[] = {"free",   "reserved",  "registering", "registered", "closing",
                                            "silent", "departing", "announced",   "releasing"};
        return names[static_cast<int>(state)];
    }

    bool stableForPublish(int id) const
    {
        const IdState st = idState[id];
        return st == IdState::Free || st == IdState::Registered || st == IdState::Announced || st == IdState::Releasing;
    }

    // Events from 0x8000 on never reach a subscriber, so nothing about them
    // needs to wait for anything.
    bool eventLockedForChange(int event) const
    {
        if (event >= 0x8000) {
            return false;
        }
        const auto it = pubPending.find(event);
        if (it != pubPending.end() && it->second > 0) {
            return true;
        }
        return event == 0 && event0Pending > 0;
    }

    bool eventLockedForPublish(int event) const
    {
        if (event >= 0x8000) {
            return false;
        }
        const auto it = changePending.find(event);
        if (it != changePending.end() && it->second > 0) {
            return true;
        }
        const auto subs = table.find(event);
        if (subs != table.end()) {
            for (int id : subs->second) {
                if (!stableForPublish(id)) {
                    return true;
                }
            }
        }
        return false;
    }

    bool idLockedForRegChange(int id) const
    {
        for (const auto &entry : table) {
            if (entry.second.count(id) != 0 && eventLockedForChange(entry.first)) {
                return true;
            }
        }
        return false;
    }

    bool departureStartAllowed(int id) const
    {
        const auto it = changePending.find(0);
        if (it != changePending.end() && it->second > 0) {
            return false;
        }
        const auto subs = table.find(0);
        if (subs == table.end()) {
            return true;
        }
        for (int other : subs->second) {
            if (other == id) {
                continue;
            }
            const IdState st = idState[other];
            if (st != IdState::Free && st != IdState::Registered && st != IdState::Closing &&
                st != IdState::Announced && st != IdState::Releasing) {
                return false;
            }
        }
        return true;
    }

    std::vector<int> eventsOf(int id) const
    {
        std::vector<int> events;
        for (const auto &entry : table) {
            if (entry.second.count(id) != 0) {
                events.push_back(entry.first);
            }
        }
        return events;
    }

    // A subscription change of `id` on its way to the hub.
    void change(int id, bool subscribe, const std::set<int> &events)
    {
        for (int event : events) {
            if (subscribe) {
                table[event].insert(id);
                if (event == 0) {
                    everSubscribed0.insert(id);
                }
            } else {
                const auto it = table.find(event);
                if (it != table.end()) {
                    it->second.erase(id);
                    if (it->second.empty()) {
                        table.erase(it);
                    }
                }
            }
            changePending[event]++;
        }
    }

    void release(int id)
    {
        idState[id] = IdState::Free;
        idHolder[id] = -1;
        srcKey[id] = 0;
    }

    IdState idState[256] = {};
    int idHolder[256];
    uint64_t srcKey[256] = {};
    std::map<int, std::set<int>> table;
    std::map<int, int> changePending;
    std::map<int, int> pubPending;
    int event0Pending = 0;
    // A closing module waits for a moment when event 0 is settled; while
    // one does, nothing new unsettles it.
    bool event0Wanted = false;
    bool event0WantedNext = false;
    std::set<int> everSubscribed0;
};

} // namespace soak
