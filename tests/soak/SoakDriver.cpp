#include "tests/soak/SoakDriver.h"

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "tests/support/Clock.h"

namespace soak {

namespace {

const int64_t kClosingTimeoutMs = 60000;
const int64_t kHeartbeatEveryMs = 5000;
const int64_t kSilenceNeedsMs = 80000;

} // namespace

SoakDriver::SoakDriver(const SoakConfig &config)
    : cfg(config), dice(config.seed), journal(slots), ledger(model, slots, journal.counts),
      check(slots, model, ledger, journal), traffic(slots, model, ledger, dice, journal),
      lifecycle(model, ledger, traffic, dice, journal, config.port, config.unixPath),
      policy(slots, traffic, lifecycle, ledger, dice, journal)
{
    const int total = cfg.tcpModules + cfg.unixModules + cfg.udpModules;
    slots.resize(static_cast<size_t>(total));
    int udpIndex = 0;
    for (int i = 0; i < total; ++i) {
        ModuleSlot &s = slots[static_cast<size_t>(i)];
        s.index = i;
        s.kind = i < cfg.tcpModules ? SoakLink::TCP
                                    : (i < cfg.tcpModules + cfg.unixModules ? SoakLink::UNIX : SoakLink::UDP);
        s.link.reset(new SoakLink(s.kind));
        if (s.kind == SoakLink::UDP) {
            s.udpSrc = kFirstUdpId + udpIndex++;
            model.srcKey[s.udpSrc] = s.senderKey();
            ledger.senders[s.senderKey()].slot = i;
        }
    }
    slots[kObserverSlot].observer = true;
}

void SoakDriver::step(int timeoutMs)
{
    std::vector<struct pollfd> fds;
    std::vector<int> owners;
    for (ModuleSlot &s : slots) {
        if (s.link->isOpen()) {
            const bool out = s.state == SlotState::Connecting || s.link->hasPendingOutput();
            fds.push_back({s.link->fd(), static_cast<short>(out ? POLLIN | POLLOUT : POLLIN), 0});
            owners.push_back(s.index);
        }
    }
    const int ready = poll(fds.data(), fds.size(), timeoutMs);
    if (ready < 0 && errno != EINTR) {
        journal.fail(std::string("poll: ") + strerror(errno));
        return;
    }
    for (size_t i = 0; ready > 0 && i < fds.size() && !journal.failed(); ++i) {
        ModuleSlot &s = slots[static_cast<size_t>(owners[i])];
        if (fds[i].revents != 0 && s.link->isOpen() && s.link->fd() == fds[i].fd) {
            serve(s, fds[i].revents);
        }
    }
    if (!journal.failed()) {
        housekeeping();
    }
    for (int i = 0; acceptingWork && i < 6 && !journal.failed(); ++i) {
        policy.act(slots[static_cast<size_t>(dice.pick(0, static_cast<int>(slots.size()) - 1))]);
    }
}

void SoakDriver::serve(ModuleSlot &s, short revents)
{
    std::string why;
    if (s.state == SlotState::Connecting) {
        if ((revents & (POLLOUT | POLLERR | POLLHUP)) == 0) {
            return;
        }
        if (!s.link->finishConnect(&why)) {
            journal.fail("cannot connect " + s.describe() + ": " + why);
            return;
        }
        lifecycle.onConnected(s);
        traffic.flush(s);
        return;
    }
    if (!s.isStream()) {
        if (s.link->answered(&why)) {
            journal.fail("the hub answered a datagram of " + s.describe() + " (or the datagram bounced: " + why + ")");
        }
        return;
    }
    if ((revents & POLLOUT) != 0) {
        traffic.flush(s);
    }
    if ((revents & (POLLIN | POLLERR | POLLHUP)) == 0) {
        return;
    }
    bool closedByPeer = false;
    if (!s.link->receive(&closedByPeer, &why)) {
        journal.fail("reading from the hub failed for " + s.describe() + ": " + why);
        return;
    }
    std::vector<e2e::CutFrame> frames;
    std::string bad;
    s.link->takeFrames(&frames, &bad);
    for (const e2e::CutFrame &frame : frames) {
        check.onFrame(s, frame);
        if (journal.failed()) {
            return;
        }
    }
    if (!bad.empty()) {
        journal.fail("bytes that do not start a frame arrived at " + s.describe() + ": " + shortHex(bad));
    } else if (closedByPeer && s.state == SlotState::Silent) {
        lifecycle.onSilentDropped(s);
    } else if (closedByPeer) {
        journal.fail("the hub closed the connection of " + s.describe());
    }
}

void SoakDriver::housekeeping()
{
    const int64_t now = nowMs();
    if (cfg.hubAlive && now - lastAliveCheck >= 1000) {
        lastAliveCheck = now;
        if (!cfg.hubAlive()) {
            journal.fail("the hub is no longer running");
            return;
        }
    }
    ModuleSlot &obs = slots[kObserverSlot];
    if (obs.state == SlotState::Registered && !observerSubSent) {
        const int64_t index = ledger.senders[obs.inc].nextIndex;
        if (traffic.changeSubscription(obs, true, std::vector<int>(1, 0))) {
            observerSubSent = true;
            observerSubIndex = index;
        }
    }
    observerReady = observerReady || (observerSubSent && ledger.senders[obs.inc].maxDelivered > observerSubIndex);
    model.event0WantedNext = false;
    for (ModuleSlot &s : slots) {
        if (s.state == SlotState::Idle && policy.allowReconnect && now >= s.wakeAt) {
            lifecycle.connect(s);
        } else if (s.state == SlotState::Open && s.isStream() && s.id >= 0 && !s.regSent) {
            lifecycle.tryRegister(s);
        } else if (s.state == SlotState::Open && s.isStream() && lifecycle.warmingUp && s.id < 0) {
            if (lifecycle.reserveId(s)) {
                lifecycle.tryRegister(s);
            }
        } else if (s.state == SlotState::Closing) {
            lifecycle.progressClosing(s);
        }
        if (s.isStream() && s.link->isOpen() && s.state != SlotState::Connecting && s.state != SlotState::Silent &&
            now - s.lastWriteAt >= kHeartbeatEveryMs && !s.link->hasPendingOutput()) {
            traffic.sendHeartbeat(s);
        }
        if (journal.failed()) {
            return;
        }
    }
    model.event0Wanted = model.event0WantedNext;
    // A request whose sender has nothing else on its way gets a marker.
    std::vector<int> unconfirmed;
    for (const auto &entry : ledger.senders) {
        const Ledger::SenderInfo &si = entry.second;
        if (si.ops.empty() || si.inFlight > 0 || si.slot < 0) {
            continue;
        }
        const ModuleSlot &s = slots[static_cast<size_t>(si.slot)];
        if (s.senderKey() == entry.first &&
            (!s.isStream() || s.state == SlotState::Registered || s.state == SlotState::Closing)) {
            unconfirmed.push_back(si.slot);
        }
    }
    for (int i : unconfirmed) {
        traffic.sendMarker(slots[static_cast<size_t>(i)], true);
    }
    check.tidyDepartures(now);
    for (int id = 0; id < 256; ++id) {
        if (model.idState[id] == IdState::Releasing && ledger.optionalToId[id] == 0) {
            model.release(id);
        }
    }
    if (cfg.letModulesFallSilent && policy.allowClose && now >= policy.nextSilenceAt &&
        runEndsAt - now >= kSilenceNeedsMs) {
        policy.startSilence();
    }
    if (now - lastDeadlineCheck >= 200) {
        lastDeadlineCheck = now;
        checkDeadlines(now);
    }
}

void SoakDriver::checkDeadlines(int64_t now)
{
    if (!check.inTime(now)) {
        return;
    }
    for (ModuleSlot &s : slots) {
        if (s.state == SlotState::Connecting && now > s.connectDeadline) {
            journal.fail(s.describe() + " did not get connected in time");
        } else if (s.pendingReplies > 0 && now > s.replyDeadline) {
            journal.fail(s.describe() + " got no registration reply");
        } else if (s.state == SlotState::Closing && now - s.closingSince > kClosingTimeoutMs) {
            journal.fail(s.describe() + " could not close for a minute; it waits for " + lifecycle.closingBlocker(s));
        } else if (s.state == SlotState::Silent && now - s.silentSince > kSilenceLatestDropMs) {
            journal.fail("the hub did not drop " + s.describe() + " after " + std::to_string(now - s.silentSince) +
                         " ms of silence");
        }
        if (journal.failed()) {
            return;
        }
    }
}

std::string SoakDriver::outstanding() const
{
    if (!ledger.queues.empty()) {
        return std::to_string(ledger.queues.size()) + " frame queues";
    }
    if (!ledger.pubs.empty()) {
        return std::to_string(ledger.pubs.size()) + " publications";
    }
    if (!ledger.departures.empty()) {
        const Ledger::Departure &d = ledger.departures.front();
        return std::to_string(ledger.departures.size()) + " departures, the first of id 0x" +
               hexField(static_cast<uint64_t>(d.modId), 2) + (d.observed ? " announced" : " not announced") + ", " +
               std::to_string(d.outstanding) + " notices missing" + (d.finalized ? ", finalized" : "") +
               (d.silent ? ", silent" : "");
    }
    for (const auto &entry : ledger.senders) {
        if (!entry.second.ops.empty()) {
            return "requests of " + journal.describeKey(entry.first);
        }
    }
    for (const ModuleSlot &s : slots) {
        if (s.state == SlotState::Connecting || s.state == SlotState::Closing || s.state == SlotState::Silent ||
            (s.state == SlotState::Open && s.id >= 0) || s.pendingReplies > 0 || s.link->hasPendingOutput()) {
            return s.describe() + " still busy";
        }
    }
    for (int id = 0; id < 256; ++id) {
        if (model.idState[id] != IdState::Free && model.idState[id] != IdState::Registered) {
            return "id 0x" + hexField(static_cast<uint64_t>(id), 2) + " " + HubModel::name(model.idState[id]);
        }
    }
    return std::string();
}

bool SoakDriver::loopUntil(const std::function<bool()> &done, int64_t timeoutMs, const std::string &what)
{
    const int64_t deadline = nowMs() + timeoutMs;
    while (!journal.failed() && !done()) {
        if (nowMs() > deadline) {
            journal.fail(what + " took longer than " + std::to_string(timeoutMs / 1000) + " s; still waiting for " +
                         outstanding());
            break;
        }
        step(2);
    }
    return !journal.failed();
}

bool SoakDriver::warmUp(double seconds)
{
    lifecycle.warmingUp = true;
    policy.allowReconnect = true;
    policy.allowClose = false;
    acceptingWork = true;
    const int64_t now = nowMs();
    for (ModuleSlot &s : slots) {
        // Staggered, so that the listening backlogs do not overflow.
        s.wakeAt = now + 10 * s.index;
    }
    const auto registered = [](const ModuleSlot &s) { return !s.isStream() || s.state == SlotState::Registered; };
    if (!loopUntil([&] { return std::all_of(slots.begin(), slots.end(), registered) && observerReady; }, 60000,
                   "connecting and registering every module")) {
        return false;
    }
    lifecycle.warmingUp = false;
    const int64_t until = nowMs() + static_cast<int64_t>(seconds * 1000);
    if (!loopUntil([until] { return nowMs() >= until; }, static_cast<int64_t>(seconds * 1000) + 60000,
                   "warm-up traffic")) {
        return false;
    }
    acceptingWork = false;
    return loopUntil([this] { return outstanding().empty(); }, 60000, "delivering the warm-up traffic");
}

bool SoakDriver::run(double seconds)
{
    acceptingWork = true;
    policy.allowClose = true;
    policy.allowReconnect = true;
    const int64_t now = nowMs();
    runEndsAt = now + static_cast<int64_t>(seconds * 1000);
    policy.nextSilenceAt = now + 15000;
    const int64_t until = runEndsAt;
    return loopUntil([until] { return nowMs() >= until; }, static_cast<int64_t>(seconds * 1000) + 60000,
                     "the random phase");
}

bool SoakDriver::drain()
{
    acceptingWork = false;
    policy.allowClose = false;
    policy.allowReconnect = false;
    journal.note("draining");
    // A module that fell silent shortly before the end waits for the hub's
    // heartbeat check.
    return loopUntil([this] { return outstanding().empty(); }, kSilenceLatestDropMs + 30000,
                     "draining what was still on its way");
}

bool SoakDriver::disconnectAll()
{
    acceptingWork = false;
    policy.allowReconnect = false;
    journal.note("disconnecting everyone");
    for (ModuleSlot &s : slots) {
        if (s.observer || !s.isStream() || !s.link->isOpen()) {
            continue;
        }
        lifecycle.closeLink(s, dice.chance(0.5));
        if (s.state == SlotState::Registered && s.id != 0) {
            // Everybody else is going too: only the observer is sure to
            // be there for the notice.
            ledger.addDeparture(s, false);
            model.event0Pending++;
            model.idState[s.id] = IdState::Departing;
        } else if (s.id >= 0) {
            model.idState[s.id] = IdState::Free;
            model.idHolder[s.id] = -1;
        }
        lifecycle.forgetConnection(s);
    }
    if (!loopUntil([this] { return ledger.departures.empty(); }, 30000, "hearing of every departure")) {
        return false;
    }
    ModuleSlot &obs = slots[kObserverSlot];
    lifecycle.closeLink(obs, false);
    model.idState[obs.id] = IdState::Free;
    lifecycle.forgetConnection(obs);
    for (ModuleSlot &s : slots) {
        if (!s.isStream()) {
            s.link->close(false);
            s.state = SlotState::Idle;
        }
    }
    return !journal.failed();
}

} // namespace soak
