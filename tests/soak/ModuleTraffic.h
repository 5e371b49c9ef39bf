#pragma once
// What modules send, each frame recorded where the ledger and the model
// expect its effect: data frames, publications, subscription changes,
// registrations, heartbeats, and stray bytes and commands nobody checks.

#include <set>
#include <string>
#include <vector>

#include "tests/soak/Ledger.h"
#include "tests/soak/SoakDice.h"
#include "tests/support/Clock.h"
#include "tests/support/Frames.h"

namespace soak {

// The hub reads at most 2048 bytes of a datagram.
const size_t kUdpMaxFrame = 2048;
// Events modules publish; 0 is only subscribed to. 0x8001 can be subscribed
// to but never matches a publication.
const int kEvents[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0x7FFF, 0x8001};
const size_t kEventCount = sizeof kEvents / sizeof kEvents[0];
const uint16_t kDataCmds[] = {0x0042, 0x0100, 0x1234, 0x0008, 0x00FF, 0x7A7A, 0x0000, 0x0001, 0x0005};

class ModuleTraffic {
public:
    ModuleTraffic(std::vector<ModuleSlot> &modules, HubModel &hub, Ledger &book, SoakDice &random, SoakJournal &log)
        : slots(modules), model(hub), ledger(book), dice(random), journal(log)
    {
    }

    // Writes what the kernel takes of the module's output queue.
    void flush(ModuleSlot &s)
    {
        if (!s.isStream() || !s.link->isOpen() || s.state == SlotState::Connecting) {
            return;
        }
        const uint64_t before = s.link->writtenBytes();
        std::string why;
        if (!s.link->flush(&why)) {
            journal.fail("writing to the hub failed for " + s.describe() + ": " + why);
            return;
        }
        if (s.link->writtenBytes() != before) {
            s.lastWriteAt = nowMs();
        }
    }

    // Stream: queues the bytes and writes what the kernel takes. UDP: one
    // datagram now. False when the link is closed or the datagram refused.
    bool send(ModuleSlot &s, const std::string &bytes)
    {
        const uint64_t before = s.link->writtenBytes();
        if (!s.link->send(bytes)) {
            return false;
        }
        ledger.udpSent += s.isStream() ? 0 : 1;
        if (!s.isStream() || s.link->writtenBytes() != before) {
            s.lastWriteAt = nowMs();
        }
        flush(s);
        return true;
    }

    // A frame from `from` to the module of slot `to`, recorded as expected.
    bool sendDataFrame(ModuleSlot &from, ModuleSlot &to, bool empty, bool force)
    {
        const uint64_t key = from.senderKey();
        Ledger::SenderInfo &si = ledger.senders[key];
        const int src = from.srcId();
        if (src == kUnregisteredSrc) {
            empty = false; // only a registered id tells the sender apart
        }
        const size_t most = from.isStream() ? kMaxBody : kUdpMaxFrame - kFrameOverhead - kTagSize;
        const size_t size = empty ? 0 : dice.bodySize(most);
        if (!force && !ledger.underCaps(from, size + kTagSize + kFrameOverhead)) {
            return false;
        }
        const uint32_t seq = si.nextSeq[to.inc];
        std::string payload;
        uint16_t cmd = 0;
        if (empty) {
            cmd = static_cast<uint16_t>(0x5000 | (seq & 0x0FFF));
        } else {
            const std::string body = dice.body(size);
            payload = "D" + hexField(key, 8) + hexField(to.inc, 8) + hexField(seq, 8) + hexField(size, 4) +
                      hexField(crc32Of(body, 0), 8) + body;
            cmd = kDataCmds[dice.rand64() % (sizeof kDataCmds / sizeof kDataCmds[0])];
        }
        const std::string frame = e2e::makeFrame(static_cast<uint8_t>(to.id), static_cast<uint8_t>(src), cmd, payload);
        if (!send(from, frame)) {
            return false;
        }
        ledger.expectFrame(from, to, frame, seq, empty);
        return true;
    }

    // A slot in the Registered state chosen at random, or -1.
    int randomRegistered(int except)
    {
        for (int tries = 0; tries < 24; ++tries) {
            const int i = dice.pick(0, static_cast<int>(slots.size()) - 1);
            const ModuleSlot &s = slots[static_cast<size_t>(i)];
            if (i != except && s.isStream() && s.state == SlotState::Registered) {
                return i;
            }
        }
        return -1;
    }

    bool sendToRandom(ModuleSlot &from, bool empty)
    {
        const int to = randomRegistered(-1);
        return to >= 0 && sendDataFrame(from, slots[static_cast<size_t>(to)], empty, false);
    }

    // The frame after a request that tells when it has been handled.
    bool sendMarker(ModuleSlot &from, bool force)
    {
        if (from.isStream()) {
            return sendDataFrame(from, from, false, force);
        }
        const int to = randomRegistered(-1);
        return to >= 0 && sendDataFrame(from, slots[static_cast<size_t>(to)], false, force);
    }

    bool publish(ModuleSlot &from)
    {
        // Of the events whose subscribers are settled, one at random.
        const size_t first = dice.rand64() % kEventCount;
        int event = -1;
        for (size_t i = 0; i < kEventCount && event < 0; ++i) {
            const int candidate = kEvents[(first + i) % kEventCount];
            if (!model.eventLockedForPublish(candidate)) {
                event = candidate;
            }
        }
        if (event < 0) {
            return false;
        }
        const size_t most = from.isStream() ? 1500 : kUdpMaxFrame - kFrameOverhead - kPubTagSize - 2;
        const size_t size = dice.bodySize(most);
        std::vector<std::pair<uint64_t, int>> recipients;
        const auto subs = model.table.find(event);
        if (event < 0x8000 && subs != model.table.end()) {
            for (int id : subs->second) {
                if (model.idState[id] == IdState::Registered) {
                    recipients.push_back(std::make_pair(slots[static_cast<size_t>(model.idHolder[id])].inc, id));
                }
            }
        }
        const size_t frameSize = size + 2 + kPubTagSize + kFrameOverhead;
        if (!ledger.underCaps(from, frameSize * (recipients.size() + 1))) {
            return false;
        }
        int marker = -1;
        if (!from.isStream()) {
            marker = randomRegistered(-1);
            if (marker < 0) {
                return false;
            }
        }
        const uint64_t key = from.senderKey();
        const uint64_t pubId = ++ledger.pubSerial;
        const std::string payload = le16(event) + "P" + hexField(pubId, 8) + hexField(key, 8) + dice.body(size);
        const uint8_t dev = static_cast<uint8_t>(dice.pick(0xE1, 0xFF));
        if (!send(from, e2e::makeFrame(dev, static_cast<uint8_t>(from.srcId()), e2e::kCmdPublishEvent, payload))) {
            return false;
        }
        ledger.expectPublication(from, event, payload, pubId, recipients);
        journal.note("%s publishes event %d as #%llu to %zu subscribers", from.describe().c_str(), event,
                     static_cast<unsigned long long>(pubId), recipients.size());
        if (marker >= 0) {
            sendDataFrame(from, slots[static_cast<size_t>(marker)], false, true);
        } else {
            sendMarker(from, true);
        }
        return true;
    }

    // Subscribes or unsubscribes the module to a few events (none, now and
    // then, and sometimes one event twice).
    bool changeSubscription(ModuleSlot &from, bool subscribe, std::vector<int> events)
    {
        const int id = from.id;
        if (events.empty()) {
            const int count = dice.chance(0.05) ? 0 : dice.pick(1, 3);
            const std::vector<int> mine = model.eventsOf(id);
            for (int i = 0; i < count; ++i) {
                int event = 0;
                if (!subscribe && !mine.empty() && dice.chance(0.7)) {
                    event = mine[dice.rand64() % mine.size()];
                } else if (dice.chance(0.12)) {
                    event = 0;
                } else {
                    event = kEvents[dice.rand64() % kEventCount];
                }
                if (!subscribe && event == 0 && from.observer) {
                    continue; // the observer hears every departure
                }
                events.push_back(event);
            }
            if (!events.empty() && dice.chance(0.05)) {
                events.push_back(events[0]);
            }
        }
        const std::set<int> distinct(events.begin(), events.end());
        for (int event : distinct) {
            if (model.eventLockedForChange(event) || (event == 0 && model.event0Wanted)) {
                return false;
            }
        }
        std::string payload(1, static_cast<char>(events.size()));
        std::string list;
        for (int event : events) {
            payload += le16(event);
            list += " " + std::to_string(event);
        }
        const uint8_t dev = static_cast<uint8_t>(dice.pick(0xE1, 0xFF));
        if (!send(from, e2e::makeFrame(dev, static_cast<uint8_t>(id),
                                       subscribe ? e2e::kCmdRegEvent : e2e::kCmdUnregEvent, payload))) {
            return false;
        }
        model.change(id, subscribe, distinct);
        ledger.addOp(from, subscribe ? Ledger::OpType::Subscribe : Ledger::OpType::Unsubscribe,
                     std::vector<int>(distinct.begin(), distinct.end()), 0);
        (subscribe ? journal.counts.subscriptions : journal.counts.unsubscriptions)++;
        journal.note("%s %s:%s", from.describe().c_str(), subscribe ? "subscribes" : "unsubscribes", list.c_str());
        sendMarker(from, true);
        return true;
    }

    void sendRegistration(ModuleSlot &s)
    {
        const std::string name =
            s.emptyName ? std::string() : "soak" + std::to_string(s.index) + "-" + std::to_string(s.inc);
        send(s, e2e::makeFrame(e2e::kHubId, static_cast<uint8_t>(s.id), e2e::kCmdReg, name));
        s.pendingReplies++;
        s.replyDeadline = nowMs() + kDeliveryTimeoutMs;
        ledger.receivers[s.inc].awaiting++;
    }

    void sendHeartbeat(ModuleSlot &s)
    {
        send(s, e2e::makeFrame(e2e::kHubId, static_cast<uint8_t>(s.srcId()), e2e::kCmdHeart));
        journal.counts.heartbeats++;
    }

    void sendStray(ModuleSlot &s)
    {
        // Bytes in front of a start marker are dropped by the hub; these
        // hold no "<", so they can never start or end a frame.
        static const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .,-_";
        std::string stray;
        const int count = dice.pick(1, 40);
        for (int i = 0; i < count; ++i) {
            stray += alphabet[dice.rand64() % (sizeof alphabet - 1)];
        }
        if (send(s, stray)) {
            journal.counts.strayBytes += stray.size();
        }
        sendToRandom(s, false);
    }

    // Commands that change nothing the driver checks: the socket table,
    // the trace level it already has, unknown commands, a frame for an id
    // nobody holds.
    void sendOtherCommand(ModuleSlot &s)
    {
        const uint8_t src = static_cast<uint8_t>(s.srcId());
        const double r = dice.uniform();
        if (r < 0.1) {
            send(s, e2e::makeFrame(e2e::kHubId, src, e2e::kCmdDumpSocket));
        } else if (r < 0.3) {
            send(s, e2e::makeFrame(e2e::kHubId, src, e2e::kCmdSetDebugLevel, e2e::bytes({0x04, 0x00, 0x00, 0x00})));
        } else if (r < 0.5) {
            send(s, e2e::makeFrame(e2e::kHubId, src, static_cast<uint16_t>(dice.pick(0x0010, 0x0060))));
        } else if (r < 0.7) {
            send(s, e2e::makeFrame(static_cast<uint8_t>(dice.pick(0xE1, 0xFF)), src,
                                   static_cast<uint16_t>(dice.pick(8, 0x40))));
        } else if (r < 0.8 && !s.isStream()) {
            // Registration and heartbeat by datagram: the hub ignores both.
            send(s, e2e::makeFrame(e2e::kHubId, static_cast<uint8_t>(dice.pick(kFirstNobodyId, kLastNobodyId)),
                                   e2e::kCmdReg, "udp-nobody"));
            send(s, e2e::makeFrame(e2e::kHubId, src, e2e::kCmdHeart));
        } else {
            send(s, e2e::makeFrame(static_cast<uint8_t>(dice.pick(kFirstNobodyId, kLastNobodyId)), src, 0x0042,
                                   dice.body(static_cast<size_t>(dice.pick(0, 200)))));
        }
        journal.counts.otherCommands++;
    }

private:
    static std::string le16(int value) { return e2e::bytes({value & 0xFF, (value >> 8) & 0xFF}); }

    std::vector<ModuleSlot> &slots;
    HubModel &model;
    Ledger &ledger;
    SoakDice &dice;
    SoakJournal &journal;
};

} // namespace soak
