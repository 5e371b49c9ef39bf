#pragma once
// What the modules have sent and where each piece must still arrive.
//
// Frames. Every forwarded frame carries, in ASCII so that its payload can
// never hold a "<", the sender's key, the receiving connection's number, a
// sequence number for that pair, the body length and a CRC-32 of the body.
// The driver queues its exact bytes per (sender, receiving connection); an
// arrival must be the head of its queue. A module is closed only once
// nothing is on its way to it, so every queued frame has a live receiver.
// A frame with an empty payload is told apart by its srcId instead.
//
// Requests. Subscriptions, unsubscriptions and publications are confirmed
// by the next frame of the same sender that comes back (a module pings
// itself after each); the hub handles one connection's frames in order, and
// datagrams in the order they reached its one UDP socket.
//
// Resets with frames in flight. A module that resets its connection may
// lose what the hub had not read yet, but only from some frame on: the
// frames that had reached the kernel become optional, and once the
// departure is announced those still missing at a receiver that is still
// connected must all come after every frame of that module that did
// arrive. Its id is not given out again until then, so a late frame cannot
// reach a new holder.

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <list>
#include <unordered_map>

#include "tests/soak/HubModel.h"
#include "tests/soak/SoakJournal.h"
#include "tests/support/Clock.h"

namespace soak {

const int64_t kDeliveryTimeoutMs = 10000;
const int64_t kRequestTimeoutMs = 30000;
// After the observer has a departure notice, what the departed module had
// sent may still sit unread in other sockets of this driver for a moment.
const int64_t kFinalizeGraceMs = 500;
const int64_t kDepartureKeepMs = 2000;
const int64_t kMaxInFlightBytes = 256 * 1024;
const int64_t kMaxSenderBytes = 16 * 1024;
const int64_t kMaxUdpInFlightBytes = 32 * 1024;
// The hub reads one datagram per pass of its loop, and its socket buffer
// holds only so many: datagrams sent and not yet read are kept below this.
const uint64_t kMaxUdpBacklog = 24;
const size_t kMaxOutputQueue = 32 * 1024;
const size_t kFrameOverhead = 18;
const size_t kTagSize = 37; // "D", sender, connection, sequence number, size, CRC-32
const size_t kPubTagSize = 17; // "P", publication number, publisher

// The fields of the tags: lower-case hex of a fixed width, and a CRC-32.
inline std::string hexField(uint64_t value, int digits)
{
    char text[20];
    snprintf(text, sizeof text, "%0*llx", digits, static_cast<unsigned long long>(value));
    return std::string(text + strlen(text) - digits);
}

inline bool parseHexField(const std::string &text, size_t pos, size_t digits, uint64_t *value)
{
    if (pos + digits > text.size() || text.find_first_not_of("0123456789abcdef", pos) < pos + digits) {
        return false;
    }
    *value = strtoull(text.substr(pos, digits).c_str(), nullptr, 16);
    return true;
}

inline uint32_t crc32Of(const std::string &data, size_t from)
{
    static uint32_t table[256];
    static bool ready = false;
    if (!ready) {
        for (uint32_t i = 0; i < 256; ++i) {
            uint32_t c = i;
            for (int k = 0; k < 8; ++k) {
                c = (c & 1) != 0 ? 0xEDB88320u ^ (c >> 1) : c >> 1;
            }
            table[i] = c;
        }
        ready = true;
    }
    uint32_t crc = 0xFFFFFFFFu;
    for (size_t i = from; i < data.size(); ++i) {
        crc = table[(crc ^ static_cast<unsigned char>(data[i])) & 0xFF] ^ (crc >> 8);
    }
    return crc ^ 0xFFFFFFFFu;
}

class Ledger {
public:
    struct PendingFrame {
        std::string bytes;
        int64_t sendIndex = 0, deadline = 0;
        uint64_t endOffset = 0, udpIndex = 0;
        int destId = 0, toSlot = 0;
        uint32_t seq = 0;
        bool optional = false;
    };
    enum class OpType { Subscribe, Unsubscribe, Publish };
    struct Op {
        int64_t sendIndex = 0, deadline = 0;
        OpType type = OpType::Publish;
        std::vector<int> events;
        uint64_t pubId = 0;
    };
    struct SenderInfo {
        int slot = -1, inFlight = 0;
        int64_t nextIndex = 0, maxDelivered = -1, inFlightBytes = 0;
        std::map<uint64_t, uint32_t> nextSeq; // by receiving connection
        std::deque<Op> ops;
    };
    struct ReceiverInfo {
        int awaiting = 0; // frames, deliveries and replies it must still get
        std::map<uint64_t, uint64_t> lastPub; // by publisher
    };
    struct Delivery {
        int id = 0;
        bool received = false;
    };
    struct Publication {
        int event = 0, outstanding = 0;
        std::string payload;
        uint64_t publisherKey = 0;
        int64_t deadline = 0;
        bool settled = false;
        std::map<uint64_t, Delivery> recipients;
    };
    struct Departure {
        int modId = 0, slot = 0, outstanding = 0;
        uint64_t departedKey = 0;
        bool silent = false, observed = false, finalized = false;
        std::map<uint64_t, Delivery> required;
        std::set<uint64_t> optionalGot;
        int64_t deadline = 0, finalizeAt = 0, eraseAt = 0;
    };

    Ledger(HubModel &hub, const std::vector<ModuleSlot> &modules, SoakJournal::Counters &counters)
        : model(hub), slots(modules), stats(counters)
    {
    }

    bool underCaps(const ModuleSlot &from, size_t size)
    {
        const SenderInfo &si = senders[from.senderKey()];
        if (inFlightBytes + static_cast<int64_t>(size) > kMaxInFlightBytes ||
            si.inFlightBytes + static_cast<int64_t>(size) > kMaxSenderBytes) {
            return false;
        }
        if (!from.isStream()) {
            return udpInFlightBytes + static_cast<int64_t>(size) <= kMaxUdpInFlightBytes &&
                   udpSent - udpRead < kMaxUdpBacklog;
        }
        return from.link->pendingOutput() < kMaxOutputQueue;
    }

    // What has just been sent, from now on expected.
    void expectFrame(const ModuleSlot &from, const ModuleSlot &to, const std::string &frame, uint32_t seq, bool empty)
    {
        SenderInfo &si = senders[from.senderKey()];
        PendingFrame pending;
        pending.bytes = frame;
        pending.sendIndex = si.nextIndex++;
        pending.endOffset = from.isStream() ? from.link->queuedBytes() : 0;
        pending.deadline = nowMs() + kDeliveryTimeoutMs;
        pending.destId = to.id;
        pending.toSlot = to.index;
        pending.seq = seq;
        pending.udpIndex = udpSent;
        queues[std::make_pair(from.senderKey(), to.inc)].push_back(pending);
        si.nextSeq[to.inc] = seq + 1;
        receivers[to.inc].awaiting++;
        const int64_t bytes = static_cast<int64_t>(frame.size());
        si.inFlight++;
        si.inFlightBytes += bytes;
        inFlightBytes += bytes;
        if (!from.isStream()) {
            udpInFlightBytes += bytes;
            stats.udpFrames++;
        }
        stats.framesSent++;
        stats.emptyFrames += empty ? 1 : 0;
    }

    void expectPublication(const ModuleSlot &from, int event, const std::string &payload, uint64_t pubId,
                           const std::vector<std::pair<uint64_t, int>> &recipients)
    {
        Publication pub;
        pub.event = event;
        pub.payload = payload;
        pub.publisherKey = from.senderKey();
        pub.deadline = nowMs() + kDeliveryTimeoutMs;
        for (const auto &r : recipients) {
            Delivery d;
            d.id = r.second;
            pub.recipients[r.first] = d;
            receivers[r.first].awaiting++;
            inFlightBytes += static_cast<int64_t>(payload.size());
        }
        pub.outstanding = static_cast<int>(recipients.size());
        pubs[pubId] = pub;
        model.pubPending[event]++;
        addOp(from, OpType::Publish, std::vector<int>(1, event), pubId);
        stats.publications++;
    }

    void addOp(const ModuleSlot &from, OpType type, const std::vector<int> &events, uint64_t pubId)
    {
        SenderInfo &si = senders[from.senderKey()];
        Op op;
        op.sendIndex = si.nextIndex++;
        op.type = type;
        op.events = events;
        op.pubId = pubId;
        op.deadline = nowMs() + kRequestTimeoutMs;
        si.ops.push_back(op);
    }

    void settleUpTo(uint64_t key, int64_t index)
    {
        const auto it = senders.find(key);
        if (it == senders.end()) {
            return;
        }
        SenderInfo &si = it->second;
        if (index > si.maxDelivered) {
            si.maxDelivered = index;
        }
        while (!si.ops.empty() && si.ops.front().sendIndex < index) {
            const Op op = si.ops.front();
            si.ops.pop_front();
            settleOp(op);
        }
    }

    // The frames of a module about to reset: those the kernel has may
    // still arrive, the rest never left.
    void makeInFlightOptional(const ModuleSlot &s)
    {
        SenderInfo &si = senders[s.inc];
        const uint64_t written = s.link->writtenBytes();
        for (const auto &entry : si.nextSeq) {
            const auto q = queues.find(std::make_pair(s.inc, entry.first));
            if (q == queues.end()) {
                continue;
            }
            std::deque<PendingFrame> &frames = q->second;
            const auto r = receivers.find(entry.first);
            if (r != receivers.end()) {
                r->second.awaiting -= static_cast<int>(frames.size());
            }
            while (!frames.empty() && frames.back().endOffset > written) {
                const int64_t bytes = static_cast<int64_t>(frames.back().bytes.size());
                si.inFlight--;
                si.inFlightBytes -= bytes;
                inFlightBytes -= bytes;
                frames.pop_back();
            }
            for (PendingFrame &f : frames) {
                f.optional = true;
                optionalToId[f.destId]++;
            }
            if (frames.empty()) {
                queues.erase(q);
            }
        }
    }

    Departure &addDeparture(const ModuleSlot &s, bool requiredFromAll)
    {
        Departure d;
        d.modId = s.id;
        d.departedKey = s.inc;
        d.slot = s.index;
        d.deadline = nowMs() + kDeliveryTimeoutMs;
        const ModuleSlot &obs = slots[kObserverSlot];
        if (requiredFromAll) {
            const auto subs = model.table.find(0);
            if (subs != model.table.end()) {
                for (int other : subs->second) {
                    if (other != s.id &&
                        (model.idState[other] == IdState::Registered || model.idState[other] == IdState::Closing)) {
                        Delivery delivery;
                        delivery.id = other;
                        d.required[slots[static_cast<size_t>(model.idHolder[other])].inc] = delivery;
                    }
                }
            }
        } else if (obs.state == SlotState::Registered) {
            Delivery delivery;
            delivery.id = obs.id;
            d.required[obs.inc] = delivery;
        }
        for (const auto &entry : d.required) {
            receivers[entry.first].awaiting++;
        }
        d.outstanding = static_cast<int>(d.required.size());
        departures.push_back(d);
        return departures.back();
    }

    std::map<std::pair<uint64_t, uint64_t>, std::deque<PendingFrame>> queues;
    std::unordered_map<uint64_t, SenderInfo> senders;
    std::unordered_map<uint64_t, ReceiverInfo> receivers;
    std::map<uint64_t, Publication> pubs;
    uint64_t pubSerial = 0;
    std::list<Departure> departures;
    int optionalToId[256] = {};
    int64_t inFlightBytes = 0;
    int64_t udpInFlightBytes = 0;
    // Datagrams sent, and how many of them the hub has read for sure (all
    // in front of the last datagram frame that came back).
    uint64_t udpSent = 0;
    uint64_t udpRead = 0;

private:
    void settleOp(const Op &op)
    {
        if (op.type == OpType::Publish) {
            model.pubPending[op.events[0]]--;
            const auto it = pubs.find(op.pubId);
            if (it != pubs.end()) {
                it->second.settled = true;
                if (it->second.outstanding == 0) {
                    pubs.erase(it);
                }
            }
            return;
        }
        for (int event : op.events) {
            model.changePending[event]--;
        }
    }

    HubModel &model;
    const std::vector<ModuleSlot> &slots;
    SoakJournal::Counters &stats;
};

} // namespace soak
