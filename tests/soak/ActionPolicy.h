#pragma once
// What the modules do at random: the odds of each action by the state of
// the module, within what the phase of the run allows.

#include <cstdint>
#include <vector>

#include "tests/soak/ModuleLifecycle.h"
#include "tests/support/Clock.h"

namespace soak {

const int64_t kSilenceEveryMs = 100000;

class ActionPolicy {
public:
    ActionPolicy(std::vector<ModuleSlot> &modules, ModuleTraffic &moduleTraffic, ModuleLifecycle &moduleLifecycle,
                 const Ledger &book, SoakDice &random, SoakJournal &log)
        : slots(modules), traffic(moduleTraffic), lifecycle(moduleLifecycle), ledger(book), dice(random), journal(log)
    {
    }

    void act(ModuleSlot &s)
    {
        const int64_t now = nowMs();
        if (!s.isStream() && s.state == SlotState::Idle && allowReconnect) {
            lifecycle.connect(s);
        } else if (!s.isStream() && s.state == SlotState::Open) {
            actUdp(s);
        } else if (s.isStream() && s.state == SlotState::Open && s.id < 0 && now >= s.wakeAt && !lifecycle.warmingUp) {
            actOpen(s);
        } else if (s.isStream() && s.state == SlotState::Registered) {
            actRegistered(s);
        }
    }

    // One registered module (not the observer) stops sending, unless one
    // already does.
    void startSilence()
    {
        for (const ModuleSlot &s : slots) {
            if (s.state == SlotState::Silent || (s.state == SlotState::Closing && s.closeMode == CloseMode::Silence)) {
                return;
            }
        }
        for (int tries = 0; tries < 20; ++tries) {
            const int i = traffic.randomRegistered(kObserverSlot);
            if (i < 0) {
                continue;
            }
            ModuleSlot &s = slots[static_cast<size_t>(i)];
            if (s.id != 0 && !s.emptyName) {
                lifecycle.beginClose(s, CloseMode::Silence);
                nextSilenceAt = nowMs() + kSilenceEveryMs;
                return;
            }
        }
    }

    bool allowClose = false;
    bool allowReconnect = false;
    int64_t nextSilenceAt = 0;

private:
    void actOpen(ModuleSlot &s)
    {
        const double r = dice.uniform();
        if (r < 0.80 || !allowClose) {
            if (lifecycle.reserveId(s)) {
                lifecycle.tryRegister(s);
            }
        } else if (r < 0.94) {
            traffic.sendToRandom(s, false);
        } else {
            lifecycle.beginClose(s, dice.chance(0.5) ? CloseMode::Orderly : CloseMode::ResetDrained);
            return;
        }
        s.wakeAt = nowMs() + dice.pick(0, 200);
    }

    void actRegistered(ModuleSlot &s)
    {
        double r = dice.uniform() * 100.0;
        if ((r -= 60) < 0) {
            traffic.sendToRandom(s, false);
        } else if ((r -= 4) < 0) {
            traffic.sendToRandom(s, true);
        } else if ((r -= 3) < 0) {
            traffic.sendDataFrame(s, s, dice.chance(0.3), false);
        } else if ((r -= 11) < 0) {
            traffic.publish(s);
        } else if ((r -= 2) < 0) {
            traffic.changeSubscription(s, true, std::vector<int>());
        } else if ((r -= 3) < 0) {
            traffic.changeSubscription(s, false, std::vector<int>());
        } else if ((r -= 2) < 0) {
            traffic.sendHeartbeat(s);
        } else if ((r -= 0.3) < 0) {
            // The same id again, perhaps under another name: one more reply.
            s.emptyName = dice.chance(0.2);
            traffic.sendRegistration(s);
            journal.counts.reRegistrations++;
        } else if ((r -= 1) < 0) {
            traffic.sendStray(s);
        } else if ((r -= 1) < 0) {
            traffic.sendOtherCommand(s);
        } else if ((r -= 0.6) < 0 && allowClose && !s.observer) {
            const double m = dice.uniform();
            lifecycle.beginClose(s, m < 0.45 ? CloseMode::Orderly
                                             : (m < 0.70 ? CloseMode::ResetDrained : CloseMode::ResetInFlight));
        }
    }

    void actUdp(ModuleSlot &s)
    {
        if (ledger.udpSent - ledger.udpRead >= kMaxUdpBacklog) {
            return;
        }
        double r = dice.uniform() * 100.0;
        if ((r -= 72) < 0) {
            traffic.sendToRandom(s, dice.chance(0.05));
        } else if ((r -= 20) < 0) {
            traffic.publish(s);
        } else if ((r -= 1) < 0) {
            traffic.sendStray(s);
        } else if ((r -= 1.5) < 0) {
            traffic.sendOtherCommand(s);
        } else if ((r -= 0.5) < 0 && allowClose) {
            lifecycle.reopen(s);
        }
    }

    std::vector<ModuleSlot> &slots;
    ModuleTraffic &traffic;
    ModuleLifecycle &lifecycle;
    const Ledger &ledger;
    SoakDice &dice;
    SoakJournal &journal;
};

} // namespace soak
