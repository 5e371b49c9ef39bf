#pragma once
// Crosses what reaches the modules off the ledger: every frame, event
// delivery, departure notice and registration reply must be expected, and
// arrive once, in order, with the exact bytes and in time.

#include <cstdint>
#include <string>
#include <vector>

#include "tests/soak/Ledger.h"
#include "tests/support/Clock.h"
#include "tests/support/Frames.h"

namespace soak {

class DeliveryCheck {
public:
    DeliveryCheck(std::vector<ModuleSlot> &modules, HubModel &hub, Ledger &book, SoakJournal &log)
        : slots(modules), model(hub), ledger(book), journal(log)
    {
    }

    void onFrame(ModuleSlot &s, const e2e::CutFrame &cut)
    {
        const std::string &frame = cut.bytes;
        if (cut.src == e2e::kHubId && cut.cmd == e2e::kCmdReg) {
            onReply(s, frame);
            return;
        }
        if (s.state != SlotState::Registered && s.state != SlotState::Closing) {
            journal.fail("a frame arrived at " + s.describe() + ", which holds no id: " + shortHex(frame));
            return;
        }
        if (cut.dev != s.id) {
            journal.fail("a frame for id " + std::to_string(cut.dev) + " arrived at " + s.describe() + ": " +
                         shortHex(frame));
            return;
        }
        const std::string payload = frame.substr(13, frame.size() - kFrameOverhead);
        if (cut.src == e2e::kEventMgrId) {
            if (cut.cmd != e2e::kCmdPublishEvent) {
                journal.fail("a frame from the event source with cmd " + std::to_string(cut.cmd) + " arrived at " +
                             s.describe() + ": " + shortHex(frame));
            } else if (payload.size() == 3 && payload[0] == 0 && payload[1] == 0) {
                onDepartureNotice(s, static_cast<uint8_t>(payload[2]));
            } else {
                onEventDelivery(s, frame, payload);
            }
            return;
        }
        onDataFrame(s, frame, payload, cut.src);
    }

    // Fails on the first frame, publication, departure or request overdue.
    bool inTime(int64_t now)
    {
        for (const auto &entry : ledger.queues) {
            const Ledger::PendingFrame &f = entry.second.front();
            if (!f.optional && now > f.deadline) {
                journal.fail("frame " + std::to_string(f.seq) + " from " + journal.describeKey(entry.first.first) +
                             " to " + slots[static_cast<size_t>(f.toSlot)].describe() + " did not arrive within " +
                             std::to_string(kDeliveryTimeoutMs) + " ms: " + shortHex(f.bytes));
                return false;
            }
        }
        for (const auto &entry : ledger.pubs) {
            const Ledger::Publication &pub = entry.second;
            if (pub.outstanding > 0 && now > pub.deadline) {
                journal.fail("publication #" + std::to_string(entry.first) + " of event " + std::to_string(pub.event) +
                             " by " + journal.describeKey(pub.publisherKey) + " did not reach the subscribers" +
                             missing(pub.recipients));
                return false;
            }
        }
        for (const Ledger::Departure &d : ledger.departures) {
            if ((!d.observed || d.outstanding > 0) && now > d.deadline) {
                journal.fail("the departure notice of id" + idHex(d.modId) +
                             (d.silent ? " (dropped for silence)" : "") + " did not reach" + missing(d.required));
                return false;
            }
        }
        for (const auto &entry : ledger.senders) {
            if (!entry.second.ops.empty() && now > entry.second.ops.front().deadline) {
                journal.fail("a request of " + journal.describeKey(entry.first) +
                             " was never confirmed by a later frame");
                return false;
            }
        }
        return true;
    }

    // Finalizes the departures announced a moment ago and forgets those
    // whose notices have all arrived.
    void tidyDepartures(int64_t now)
    {
        for (auto d = ledger.departures.begin(); d != ledger.departures.end();) {
            const ModuleSlot &s = slots[static_cast<size_t>(d->slot)];
            const bool stillSilent = d->silent && s.state == SlotState::Silent && s.inc == d->departedKey;
            if (d->observed && !d->finalized && now >= d->finalizeAt && !stillSilent) {
                finalizeDeparture(*d);
            }
            if (d->finalized && d->outstanding == 0 && now >= d->eraseAt) {
                d = ledger.departures.erase(d);
            } else {
                ++d;
            }
        }
    }

private:
    void onReply(ModuleSlot &s, const std::string &frame)
    {
        if (s.pendingReplies == 0 || s.id < 0) {
            journal.fail("a registration reply nobody asked for arrived at " + s.describe() + ": " + shortHex(frame));
            return;
        }
        const std::string expected = e2e::makeFrame(static_cast<uint8_t>(s.id), e2e::kHubId, e2e::kCmdReg);
        if (frame != expected) {
            journal.fail("wrong registration reply at " + s.describe() + ": expected " + e2e::hex(expected) + ", got " +
                         shortHex(frame));
            return;
        }
        s.pendingReplies--;
        ledger.receivers[s.inc].awaiting--;
        if (s.state == SlotState::Open && s.regSent && s.pendingReplies == 0) {
            s.state = SlotState::Registered;
            model.idState[s.id] = IdState::Registered;
            model.srcKey[s.id] = s.inc;
            journal.counts.registrations++;
            journal.note("%s registered", s.describe().c_str());
        }
    }

    void onDataFrame(ModuleSlot &s, const std::string &frame, const std::string &payload, uint8_t src)
    {
        uint64_t key = 0;
        uint64_t seq = 0;
        if (payload.empty()) {
            key = model.srcKey[src];
            if (key == 0) {
                journal.fail("an empty frame from id " + std::to_string(src) + ", which sent none, arrived at " +
                             s.describe() + ": " + shortHex(frame));
                return;
            }
        } else {
            uint64_t to = 0, size = 0, crc = 0;
            if (payload[0] != 'D' || !parseHexField(payload, 1, 8, &key) || !parseHexField(payload, 9, 8, &to) ||
                !parseHexField(payload, 17, 8, &seq) || !parseHexField(payload, 25, 4, &size) ||
                !parseHexField(payload, 29, 8, &crc)) {
                journal.fail("a frame this driver never sent arrived at " + s.describe() + ": " + shortHex(frame));
                return;
            }
            if (size != payload.size() - kTagSize || crc != crc32Of(payload, kTagSize)) {
                journal.fail("a frame with a damaged payload (length or checksum) arrived at " + s.describe() + ": " +
                             shortHex(frame));
                return;
            }
            if (to != s.inc) {
                journal.fail("frame " + std::to_string(seq) + " of " + journal.describeKey(key) + " for connection #" +
                             std::to_string(to) + " arrived at " + s.describe());
                return;
            }
        }
        const auto q = ledger.queues.find(std::make_pair(key, s.inc));
        if (q == ledger.queues.end() || q->second.empty()) {
            journal.fail("a frame from " + journal.describeKey(key) +
                         " that was not expected (again, or never sent) arrived at " + s.describe() + ": " +
                         shortHex(frame));
            return;
        }
        Ledger::PendingFrame &head = q->second.front();
        if (head.bytes != frame) {
            std::string what = "expected frame " + std::to_string(head.seq) + " (" + shortHex(head.bytes) + ")";
            if (payload.empty()) {
                what += ", got an empty one";
            } else {
                what += ", got frame " + std::to_string(seq);
                if (seq == head.seq) {
                    size_t at = 0;
                    while (at < frame.size() && at < head.bytes.size() && frame[at] == head.bytes[at]) {
                        ++at;
                    }
                    what += ", which differs from byte " + std::to_string(at) + " on";
                }
            }
            journal.fail("out of order or damaged: from " + journal.describeKey(key) + " at " + s.describe() + ": " +
                         what + "; arrived: " + shortHex(frame));
            return;
        }
        const Ledger::PendingFrame f = head;
        q->second.pop_front();
        if (q->second.empty()) {
            ledger.queues.erase(q);
        }
        if (f.optional) {
            ledger.optionalToId[f.destId]--;
        } else {
            ledger.receivers[s.inc].awaiting--;
        }
        const int64_t bytes = static_cast<int64_t>(f.bytes.size());
        Ledger::SenderInfo &si = ledger.senders[key];
        si.inFlight--;
        si.inFlightBytes -= bytes;
        ledger.inFlightBytes -= bytes;
        if (key >= kUdpKeyBase) {
            ledger.udpInFlightBytes -= bytes;
            if (f.udpIndex > ledger.udpRead) {
                ledger.udpRead = f.udpIndex;
            }
        }
        journal.counts.framesDelivered++;
        journal.counts.bytesDelivered += static_cast<uint64_t>(bytes);
        ledger.settleUpTo(key, f.sendIndex);
    }

    void onEventDelivery(ModuleSlot &s, const std::string &frame, const std::string &payload)
    {
        uint64_t pubId = 0, publisher = 0;
        if (payload.size() < 2 + kPubTagSize || payload[2] != 'P' || !parseHexField(payload, 3, 8, &pubId) ||
            !parseHexField(payload, 11, 8, &publisher)) {
            journal.fail("an event delivery nobody published arrived at " + s.describe() + ": " + shortHex(frame));
            return;
        }
        const auto it = ledger.pubs.find(pubId);
        if (it == ledger.pubs.end()) {
            journal.fail("publication #" + std::to_string(pubId) + " arrived at " + s.describe() +
                         " after all its deliveries were done (delivered twice?): " + shortHex(frame));
            return;
        }
        Ledger::Publication &pub = it->second;
        const auto r = pub.recipients.find(s.inc);
        if (r == pub.recipients.end()) {
            journal.fail("publication #" + std::to_string(pubId) + " of event " + std::to_string(pub.event) + " by " +
                         journal.describeKey(pub.publisherKey) + " arrived at " + s.describe() +
                         ", which was not subscribed");
            return;
        }
        if (r->second.received) {
            journal.fail("publication #" + std::to_string(pubId) + " arrived twice at " + s.describe());
            return;
        }
        const std::string expected = e2e::eventDelivery(static_cast<uint8_t>(r->second.id), pub.payload);
        if (frame != expected) {
            journal.fail("publication #" + std::to_string(pubId) + " arrived damaged at " + s.describe() +
                         ": expected " + shortHex(expected) + ", got " + shortHex(frame));
            return;
        }
        Ledger::ReceiverInfo &ri = ledger.receivers[s.inc];
        uint64_t &last = ri.lastPub[publisher];
        if (pubId <= last) {
            journal.fail("publication #" + std::to_string(pubId) + " of " + journal.describeKey(publisher) +
                         " arrived at " + s.describe() + " after its later publication #" + std::to_string(last));
            return;
        }
        last = pubId;
        r->second.received = true;
        pub.outstanding--;
        ri.awaiting--;
        ledger.inFlightBytes -= static_cast<int64_t>(pub.payload.size());
        journal.counts.eventDeliveries++;
        if (pub.outstanding == 0 && pub.settled) {
            ledger.pubs.erase(it);
        }
    }

    void onDepartureNotice(ModuleSlot &s, int modId)
    {
        const bool atObserver = s.index == kObserverSlot;
        for (Ledger::Departure &d : ledger.departures) {
            if (d.modId != modId) {
                continue;
            }
            const auto r = d.required.find(s.inc);
            if (r != d.required.end() && !r->second.received) {
                r->second.received = true;
                d.outstanding--;
                ledger.receivers[s.inc].awaiting--;
                if (atObserver) {
                    d.observed = true;
                    if (model.idState[modId] == IdState::Departing || model.idState[modId] == IdState::Silent) {
                        model.idState[modId] = IdState::Announced;
                    }
                    d.finalizeAt = nowMs() + kFinalizeGraceMs;
                    if (!d.silent) {
                        model.event0Pending--;
                    }
                }
                journal.counts.departureNotices++;
                return;
            }
            // A module dropped for silence may be announced to whoever was
            // subscribed to event 0 at the time, which the driver does not
            // pin down.
            if (d.silent && r == d.required.end() && d.optionalGot.count(s.inc) == 0 &&
                model.everSubscribed0.count(s.id) != 0) {
                d.optionalGot.insert(s.inc);
                journal.counts.departureNotices++;
                return;
            }
        }
        journal.fail("a departure notice (" + e2e::hex(e2e::bytes({0, 0, modId})) +
                     ") that was not expected arrived at " + s.describe() + "; id" + idHex(modId) + " is " +
                     HubModel::name(model.idState[modId]));
    }

    // What a module that reset has not delivered by its announced departure
    // is lost, and must all have been sent after what did arrive.
    void finalizeDeparture(Ledger::Departure &d)
    {
        const auto si = ledger.senders.find(d.departedKey);
        if (si != ledger.senders.end()) {
            for (const auto &entry : si->second.nextSeq) {
                const auto q = ledger.queues.find(std::make_pair(d.departedKey, entry.first));
                if (q == ledger.queues.end()) {
                    continue;
                }
                // A receiver that has gone since could not read what the hub
                // still forwarded to it.
                const bool receiverLive = ledger.receivers.count(entry.first) != 0;
                for (const Ledger::PendingFrame &f : q->second) {
                    if (receiverLive && f.sendIndex < si->second.maxDelivered) {
                        journal.fail("frame " + std::to_string(f.seq) + " (item " + std::to_string(f.sendIndex) +
                                     ") from reset connection #" + std::to_string(d.departedKey) + " to " +
                                     slots[static_cast<size_t>(f.toSlot)].describe() + " was lost, but item " +
                                     std::to_string(si->second.maxDelivered) +
                                     " it sent later arrived; the frame: " + shortHex(f.bytes));
                    }
                    ledger.optionalToId[f.destId]--;
                    ledger.inFlightBytes -= static_cast<int64_t>(f.bytes.size());
                    journal.counts.framesLostInReset++;
                }
                ledger.queues.erase(q);
            }
            ledger.senders.erase(si);
        }
        if (model.idState[d.modId] == IdState::Announced) {
            model.idState[d.modId] = IdState::Releasing;
        }
        d.finalized = true;
        d.eraseAt = nowMs() + kDepartureKeepMs;
    }

    static std::string idHex(int id) { return " 0x" + hexField(static_cast<uint64_t>(id), 2); }

    static std::string missing(const std::map<uint64_t, Ledger::Delivery> &recipients)
    {
        std::string ids;
        for (const auto &r : recipients) {
            if (!r.second.received) {
                ids += idHex(r.second.id);
            }
        }
        return ids;
    }

    std::vector<ModuleSlot> &slots;
    HubModel &model;
    Ledger &ledger;
    SoakJournal &journal;
};

} // namespace soak
