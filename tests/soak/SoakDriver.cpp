#include "tests/soak/SoakDriver.h"

#include <poll.h>
#include <sys/socket.h>

#include <chrono>
#include <cerrno>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <deque>
#include <list>
#include <map>
#include <random>
#include <set>
#include <unordered_map>

#include "tests/soak/SoakLink.h"
#include "tests/support/Frames.h"

// How the driver keeps its expectations exact.
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
// Locks. The driver's copy of the subscription table and of who holds
// which id is exact only while nothing that changes it races with what
// depends on it. So, per event: no subscription change while a publication
// of that event is unconfirmed, and no publication while a subscription
// change is unconfirmed or one of its subscribers is between states
// (reserved, registering, closing, departed but not yet announced). An id
// does not change hands (registration, close) while a publication of an
// event it is subscribed to is unconfirmed; event 0 counts a departure as
// unconfirmed until the observer has its notice. The recipients of a
// publication or departure are fixed when it is sent. Events from 0x8000 on
// never reach anyone and take no locks. Whoever waits for a lock holds back
// new actions that would take it again, so that nobody waits for ever.
//
// Resets with frames in flight. A module that resets its connection may
// lose what the hub had not read yet, but only from some frame on: the
// frames that had reached the kernel become optional, and once the
// departure is announced those still missing at a receiver that is still
// connected must all come after every frame of that module that did
// arrive. Its id is not given out again until then, so a late frame cannot
// reach a new holder.

namespace soak {

namespace {

using e2e::makeFrame;

const int64_t kDeliveryTimeoutMs = 10000;
const int64_t kConnectTimeoutMs = 20000;
const int64_t kRequestTimeoutMs = 30000;
const int64_t kClosingTimeoutMs = 60000;
const int64_t kHeartbeatEveryMs = 5000;
// The hub drops a connection at the fourth 15 s tick after its last bytes;
// a little is allowed for the ticks' own lateness.
const int64_t kSilenceEarliestDropMs = 42000;
const int64_t kSilenceLatestDropMs = 110000;
const int64_t kSilenceNeedsMs = 80000;
const int64_t kSilenceEveryMs = 100000;
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
// The hub reads at most 2048 bytes of a datagram.
const size_t kUdpMaxFrame = 2048;
const size_t kMaxBody = 4096;
const size_t kFrameOverhead = 18;
const size_t kTagSize = 37;
const size_t kPubTagSize = 17; // "P", publication number, publisher

const uint8_t kHubId = 0x01;
const uint8_t kEventSrc = 0xE1;
const uint16_t kCmdReg = 0x0001;
const uint16_t kCmdHeart = 0x0002;
const uint16_t kCmdDumpSocket = 0x0004;
const uint16_t kCmdPublish = 0x0005;
const uint16_t kCmdSubscribe = 0x0006;
const uint16_t kCmdUnsubscribe = 0x0007;
const uint16_t kCmdSetLevel = 0x0068;
const int kFirstStreamId = 0x02;
const int kLastStreamId = 0xBF;
const int kFirstUdpId = 0xC0;
const int kFirstNobodyId = 0xD0;
const int kLastNobodyId = 0xDE;
const uint8_t kUnregisteredSrc = 0xDF;
const uint64_t kUdpKeyBase = 0x80000000ull;

// Events modules publish; 0 is only subscribed to. 0x8001 can be subscribed
// to but never matches a publication.
const int kEvents[] = {1, 2, 3, 4, 5, 6, 7, 8, 9, 10, 0x7FFF, 0x8001};
const uint16_t kDataCmds[] = {0x0042, 0x0100, 0x1234, 0x0008, 0x00FF, 0x7A7A, 0x0000, 0x0001, 0x0005};

int64_t nowMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

std::string hexField(uint64_t value, int digits)
{
    char text[20];
    snprintf(text, sizeof text, "%0*llx", digits, static_cast<unsigned long long>(value));
    return std::string(text + strlen(text) - digits);
}

bool parseHexField(const std::string &text, size_t pos, size_t digits, uint64_t *value)
{
    if (pos + digits > text.size()) {
        return false;
    }
    uint64_t v = 0;
    for (size_t i = pos; i < pos + digits; ++i) {
        const char c = text[i];
        v <<= 4;
        if (c >= '0' && c <= '9') {
            v |= static_cast<uint64_t>(c - '0');
        } else if (c >= 'a' && c <= 'f') {
            v |= static_cast<uint64_t>(c - 'a' + 10);
        } else {
            return false;
        }
    }
    *value = v;
    return true;
}

uint32_t crc32Of(const std::string &data, size_t from)
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

std::string le16(int value)
{
    std::string out;
    out += static_cast<char>(value & 0xFF);
    out += static_cast<char>((value >> 8) & 0xFF);
    return out;
}

std::string shortHex(const std::string &data)
{
    const size_t shown = 48;
    if (data.size() <= shown) {
        return e2e::hex(data);
    }
    return e2e::hex(data.substr(0, shown)) + " ... (" + std::to_string(data.size()) + " bytes)";
}

enum class SlotState { Idle, Connecting, Open, Registered, Closing, Silent };
enum class CloseMode { Orderly, ResetDrained, ResetInFlight, Silence };
// Departing: closed, the hub may still hold the id. Announced: the
// observer has the notice, so the hub no longer holds it, but frames of the
// departed module may still be on their way. Releasing: the same for frames
// addressed to the id by other modules that reset.
enum class IdState { Free, Reserved, Registering, Registered, Closing, Silent, Departing, Announced, Releasing };

const char *idStateName(IdState state)
{
    switch (state) {
    case IdState::Free: return "free";
    case IdState::Reserved: return "reserved";
    case IdState::Registering: return "registering";
    case IdState::Registered: return "registered";
    case IdState::Closing: return "closing";
    case IdState::Silent: return "silent";
    case IdState::Departing: return "departing";
    case IdState::Announced: return "announced";
    case IdState::Releasing: return "releasing";
    }
    return "?";
}

struct Slot {
    int index = 0;
    SoakLink::Kind kind = SoakLink::TCP;
    std::unique_ptr<SoakLink> link;
    bool observer = false;
    SlotState state = SlotState::Idle;
    uint64_t inc = 0; // connection number, 0 while there is none
    int id = -1;      // the id reserved, being registered or registered
    bool regSent = false;
    bool emptyName = false;
    int pendingReplies = 0;
    int64_t replyDeadline = 0;
    int64_t wakeAt = 0;
    int64_t lastWriteAt = 0;
    int64_t connectDeadline = 0;
    CloseMode closeMode = CloseMode::Orderly;
    int64_t closingSince = 0;
    bool silenceUnsubSent = false;
    int64_t silentSince = 0;
    int udpSrc = 0;
    bool everConnected = false;
};

struct PendingFrame {
    std::string bytes;
    int64_t sendIndex = 0;
    uint64_t endOffset = 0;
    int64_t deadline = 0;
    int destId = 0;
    int fromSlot = 0;
    int toSlot = 0;
    uint32_t seq = 0;
    uint64_t udpIndex = 0;
    bool optional = false;
};

enum class OpType { Subscribe, Unsubscribe, Publish };

struct Op {
    int64_t sendIndex = 0;
    OpType type = OpType::Publish;
    std::vector<int> events;
    uint64_t pubId = 0;
    int64_t deadline = 0;
};

struct SenderInfo {
    int slot = -1;
    int64_t nextIndex = 0;
    int64_t maxDelivered = -1;
    int inFlight = 0;
    int64_t inFlightBytes = 0;
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
    int event = 0;
    std::string payload;
    uint64_t publisherKey = 0;
    int fromSlot = 0;
    int64_t deadline = 0;
    bool settled = false;
    std::map<uint64_t, Delivery> recipients;
    int outstanding = 0;
};

struct Departure {
    int modId = 0;
    uint64_t departedKey = 0;
    int slot = 0;
    bool silent = false;
    std::map<uint64_t, Delivery> required;
    std::set<uint64_t> optionalGot;
    int outstanding = 0;
    bool observed = false;
    int64_t deadline = 0;
    int64_t finalizeAt = 0;
    bool finalized = false;
    int64_t eraseAt = 0;
};

} // namespace

struct SoakDriver::Impl {
    SoakConfig cfg;
    std::mt19937_64 rng;
    std::vector<Slot> slots;
    int observerSlot = 0;
    uint64_t nextInc = 0;
    int64_t startedAt = 0;

    IdState idState[256];
    int idHolder[256];
    int optionalToId[256];
    uint64_t srcKey[256];

    std::map<int, std::set<int>> table;
    std::map<int, int> changePending;
    std::map<int, int> pubPending;
    int event0Pending = 0;
    // A closing module waits for a moment when event 0 is settled; while
    // one does, nothing new unsettles it.
    bool event0Wanted = false;
    bool event0WantedNext = false;
    std::set<int> everSubscribed0;

    std::map<std::pair<uint64_t, uint64_t>, std::deque<PendingFrame>> queues;
    std::unordered_map<uint64_t, SenderInfo> senders;
    std::unordered_map<uint64_t, ReceiverInfo> receivers;
    std::map<uint64_t, Publication> pubs;
    uint64_t pubSerial = 0;
    std::list<Departure> departures;
    int64_t inFlightBytes = 0;
    int64_t udpInFlightBytes = 0;
    // Datagrams sent, and how many of them the hub has read for sure (all
    // in front of the last datagram frame that came back).
    uint64_t udpSent = 0;
    uint64_t udpRead = 0;

    bool acceptingWork = false;
    bool allowClose = false;
    bool allowReconnect = false;
    bool warmingUp = false;
    bool observerSubSent = false;
    bool observerReady = false;
    int64_t observerSubIndex = 0;
    int64_t runEndsAt = 0;
    int64_t nextSilenceAt = 0;
    int64_t lastAliveCheck = 0;
    int64_t lastDeadlineCheck = 0;

    SoakCounters stats;
    std::vector<std::string> failureList;
    std::deque<std::string> notes;

    explicit Impl(const SoakConfig &config) : cfg(config), rng(config.seed)
    {
        for (int i = 0; i < 256; ++i) {
            idState[i] = IdState::Free;
            idHolder[i] = -1;
            optionalToId[i] = 0;
            srcKey[i] = 0;
        }
        const int total = cfg.tcpModules + cfg.unixModules + cfg.udpModules;
        slots.resize(static_cast<size_t>(total));
        int udpIndex = 0;
        for (int i = 0; i < total; ++i) {
            Slot &s = slots[static_cast<size_t>(i)];
            s.index = i;
            s.kind = i < cfg.tcpModules ? SoakLink::TCP
                                         : (i < cfg.tcpModules + cfg.unixModules ? SoakLink::UNIX : SoakLink::UDP);
            s.link.reset(new SoakLink(s.kind));
            if (s.kind == SoakLink::UDP) {
                s.udpSrc = kFirstUdpId + udpIndex++;
                srcKey[s.udpSrc] = udpKey(s);
                senders[udpKey(s)].slot = i;
            }
        }
        slots[0].observer = true;
        startedAt = nowMs();
    }

    // ---- small helpers -------------------------------------------------

    bool failed() const { return !failureList.empty(); }

    uint64_t udpKey(const Slot &s) const { return kUdpKeyBase + static_cast<uint64_t>(s.index); }
    uint64_t senderKey(const Slot &s) const { return s.kind == SoakLink::UDP ? udpKey(s) : s.inc; }
    bool isStream(const Slot &s) const { return s.kind != SoakLink::UDP; }

    uint64_t rand64() { return rng(); }
    int pick(int lo, int hi) { return lo + static_cast<int>(rng() % static_cast<uint64_t>(hi - lo + 1)); }
    double uniform() { return static_cast<double>(rng() >> 11) * (1.0 / 9007199254740992.0); }
    bool chance(double p) { return uniform() < p; }

    std::string describe(const Slot &s) const
    {
        const char *kind = s.kind == SoakLink::TCP ? "tcp" : (s.kind == SoakLink::UNIX ? "unix" : "udp");
        char text[96];
        if (s.kind == SoakLink::UDP) {
            snprintf(text, sizeof text, "module %d (udp, src 0x%02x)", s.index, s.udpSrc);
        } else if (s.id >= 0) {
            snprintf(text, sizeof text, "module %d (%s, id 0x%02x, connection #%llu)", s.index, kind, s.id,
                     static_cast<unsigned long long>(s.inc));
        } else {
            snprintf(text, sizeof text, "module %d (%s, unregistered, connection #%llu)", s.index, kind,
                     static_cast<unsigned long long>(s.inc));
        }
        return text;
    }

    std::string describeKey(uint64_t key) const
    {
        if (key >= kUdpKeyBase) {
            return describe(slots[static_cast<size_t>(key - kUdpKeyBase)]);
        }
        for (const Slot &s : slots) {
            if (s.inc == key && isStream(s)) {
                return describe(s);
            }
        }
        return "connection #" + std::to_string(key) + " (closed)";
    }

    void note(const char *format, ...) __attribute__((format(printf, 2, 3)))
    {
        char text[256];
        va_list args;
        va_start(args, format);
        vsnprintf(text, sizeof text, format, args);
        va_end(args);
        char stamp[32];
        snprintf(stamp, sizeof stamp, "%9.3f ", static_cast<double>(nowMs() - startedAt) / 1000.0);
        notes.push_back(std::string(stamp) + text);
        if (notes.size() > 200) {
            notes.pop_front();
        }
    }

    void fail(const std::string &what)
    {
        if (failureList.size() >= 10) {
            return;
        }
        std::string text = what + "\n  recent actions of the driver (seconds since start):\n";
        const size_t shown = 60;
        const size_t from = notes.size() > shown ? notes.size() - shown : 0;
        for (size_t i = from; i < notes.size(); ++i) {
            text += "    " + notes[i] + "\n";
        }
        failureList.push_back(text);
    }

    std::string randomBody(size_t size)
    {
        std::string body(size, '\0');
        uint64_t bits = 0;
        for (size_t i = 0; i < size; ++i) {
            if (i % 8 == 0) {
                bits = rand64();
            }
            char c = static_cast<char>(bits & 0xFF);
            bits >>= 8;
            // No "<" in a payload: a frame is cut at the first "<end>".
            if (c == '<') {
                c = '>';
            }
            body[i] = c;
        }
        return body;
    }

    size_t bodySize(size_t most)
    {
        const double r = uniform();
        size_t size = 0;
        if (r < 0.35) {
            size = static_cast<size_t>(pick(0, 64));
        } else if (r < 0.80) {
            size = static_cast<size_t>(pick(65, 1024));
        } else {
            size = static_cast<size_t>(pick(1025, static_cast<int>(kMaxBody)));
        }
        return size < most ? size : most;
    }

    // ---- the driver's copy of the hub's state ----------------------------

    bool stableForPublish(int id) const
    {
        const IdState st = idState[id];
        return st == IdState::Free || st == IdState::Registered || st == IdState::Announced ||
               st == IdState::Releasing;
    }

    // Events from 0x8000 on never reach a subscriber, so nothing about them
    // needs to wait for anything.
    bool eventLockedForChange(int event) const
    {
        if (event >= 0x8000) {
            return false;
        }
        std::map<int, int>::const_iterator it = pubPending.find(event);
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
        std::map<int, int>::const_iterator it = changePending.find(event);
        if (it != changePending.end() && it->second > 0) {
            return true;
        }
        std::map<int, std::set<int>>::const_iterator subs = table.find(event);
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
        std::map<int, int>::const_iterator it = changePending.find(0);
        if (it != changePending.end() && it->second > 0) {
            return false;
        }
        std::map<int, std::set<int>>::const_iterator subs = table.find(0);
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

    // ---- sending ---------------------------------------------------------

    void flushSlot(Slot &s)
    {
        if (!isStream(s) || !s.link->isOpen() || s.state == SlotState::Connecting) {
            return;
        }
        const uint64_t before = s.link->writtenBytes();
        std::string why;
        if (!s.link->flush(&why)) {
            fail("writing to the hub failed for " + describe(s) + ": " + why);
            return;
        }
        if (s.link->writtenBytes() != before) {
            s.lastWriteAt = nowMs();
        }
    }

    bool sendRaw(Slot &s, const std::string &bytes)
    {
        if (!s.link->isOpen()) {
            return false;
        }
        if (!isStream(s)) {
            if (!s.link->send(bytes)) {
                return false;
            }
            udpSent++;
            s.lastWriteAt = nowMs();
            return true;
        }
        const uint64_t before = s.link->writtenBytes();
        s.link->send(bytes);
        if (s.link->writtenBytes() != before) {
            s.lastWriteAt = nowMs();
        }
        flushSlot(s);
        return true;
    }

    int srcIdOf(const Slot &s) const
    {
        if (!isStream(s)) {
            return s.udpSrc;
        }
        return s.state == SlotState::Registered || s.state == SlotState::Closing ? s.id : kUnregisteredSrc;
    }

    bool underCaps(const Slot &from, size_t size)
    {
        const SenderInfo &si = senders[senderKey(from)];
        if (inFlightBytes + static_cast<int64_t>(size) > kMaxInFlightBytes ||
            si.inFlightBytes + static_cast<int64_t>(size) > kMaxSenderBytes) {
            return false;
        }
        if (!isStream(from)) {
            return udpInFlightBytes + static_cast<int64_t>(size) <= kMaxUdpInFlightBytes &&
                   udpSent - udpRead < kMaxUdpBacklog;
        }
        return from.link->pendingOutput() < kMaxOutputQueue;
    }

    // A frame from `from` to the module of slot `to`, recorded as expected.
    bool sendDataFrame(Slot &from, Slot &to, bool empty, bool force)
    {
        const uint64_t key = senderKey(from);
        SenderInfo &si = senders[key];
        const int src = srcIdOf(from);
        if (src == kUnregisteredSrc) {
            empty = false; // only a registered id tells the sender apart
        }
        const size_t most = isStream(from) ? kMaxBody : kUdpMaxFrame - kFrameOverhead - kTagSize;
        const size_t size = empty ? 0 : bodySize(most);
        if (!force && !underCaps(from, size + kTagSize + kFrameOverhead)) {
            return false;
        }
        const uint32_t seq = si.nextSeq[to.inc];
        std::string payload;
        uint16_t cmd = 0;
        if (empty) {
            cmd = static_cast<uint16_t>(0x5000 | (seq & 0x0FFF));
        } else {
            const std::string body = randomBody(size);
            payload = "D" + hexField(key, 8) + hexField(to.inc, 8) + hexField(seq, 8) + hexField(size, 4) +
                      hexField(crc32Of(body, 0), 8) + body;
            cmd = kDataCmds[rng() % (sizeof kDataCmds / sizeof kDataCmds[0])];
        }
        const std::string frame =
            makeFrame(static_cast<uint8_t>(to.id), static_cast<uint8_t>(src), cmd, payload);
        if (!sendRaw(from, frame)) {
            return false;
        }
        PendingFrame pending;
        pending.bytes = frame;
        pending.sendIndex = si.nextIndex++;
        pending.endOffset = isStream(from) ? from.link->queuedBytes() : 0;
        pending.deadline = nowMs() + kDeliveryTimeoutMs;
        pending.destId = to.id;
        pending.fromSlot = from.index;
        pending.toSlot = to.index;
        pending.seq = seq;
        pending.udpIndex = udpSent;
        queues[std::make_pair(key, to.inc)].push_back(pending);
        si.nextSeq[to.inc] = seq + 1;
        receivers[to.inc].awaiting++;
        const int64_t bytes = static_cast<int64_t>(frame.size());
        si.inFlight++;
        si.inFlightBytes += bytes;
        inFlightBytes += bytes;
        if (!isStream(from)) {
            udpInFlightBytes += bytes;
            stats.udpFrames++;
        }
        stats.framesSent++;
        if (empty) {
            stats.emptyFrames++;
        }
        return true;
    }

    // A slot in the Registered state chosen at random, or -1.
    int randomRegistered(int except)
    {
        for (int tries = 0; tries < 24; ++tries) {
            const int i = pick(0, static_cast<int>(slots.size()) - 1);
            if (i != except && isStream(slots[static_cast<size_t>(i)]) &&
                slots[static_cast<size_t>(i)].state == SlotState::Registered) {
                return i;
            }
        }
        return -1;
    }

    bool sendToRandom(Slot &from, bool empty)
    {
        const int to = randomRegistered(-1);
        if (to < 0) {
            return false;
        }
        return sendDataFrame(from, slots[static_cast<size_t>(to)], empty, false);
    }

    // The frame after a request that tells when it has been handled.
    bool sendMarker(Slot &from, bool force)
    {
        if (isStream(from)) {
            return sendDataFrame(from, from, false, force);
        }
        const int to = randomRegistered(-1);
        return to >= 0 && sendDataFrame(from, slots[static_cast<size_t>(to)], false, force);
    }

    void addOp(Slot &from, OpType type, const std::vector<int> &events, uint64_t pubId)
    {
        SenderInfo &si = senders[senderKey(from)];
        Op op;
        op.sendIndex = si.nextIndex++;
        op.type = type;
        op.events = events;
        op.pubId = pubId;
        op.deadline = nowMs() + kRequestTimeoutMs;
        si.ops.push_back(op);
    }

    void settleOp(const Op &op)
    {
        if (op.type == OpType::Publish) {
            pubPending[op.events[0]]--;
            std::map<uint64_t, Publication>::iterator it = pubs.find(op.pubId);
            if (it != pubs.end()) {
                it->second.settled = true;
                if (it->second.outstanding == 0) {
                    pubs.erase(it);
                }
            }
            return;
        }
        for (int event : op.events) {
            changePending[event]--;
        }
    }

    void settleUpTo(uint64_t key, int64_t index)
    {
        std::unordered_map<uint64_t, SenderInfo>::iterator it = senders.find(key);
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

    bool publish(Slot &from)
    {
        // Of the events whose subscribers are settled, one at random.
        const size_t eventCount = sizeof kEvents / sizeof kEvents[0];
        const size_t first = rng() % eventCount;
        int event = -1;
        for (size_t i = 0; i < eventCount && event < 0; ++i) {
            const int candidate = kEvents[(first + i) % eventCount];
            if (!eventLockedForPublish(candidate)) {
                event = candidate;
            }
        }
        if (event < 0) {
            return false;
        }
        const size_t most = isStream(from) ? 1500 : kUdpMaxFrame - kFrameOverhead - kPubTagSize - 2;
        const size_t size = bodySize(most);
        std::vector<std::pair<uint64_t, int>> recipients;
        if (event < 0x8000) {
            std::map<int, std::set<int>>::const_iterator subs = table.find(event);
            if (subs != table.end()) {
                for (int id : subs->second) {
                    if (idState[id] == IdState::Registered) {
                        recipients.push_back(std::make_pair(slots[static_cast<size_t>(idHolder[id])].inc, id));
                    }
                }
            }
        }
        const size_t frameSize = size + 2 + kPubTagSize + kFrameOverhead;
        if (!underCaps(from, frameSize * (recipients.size() + 1))) {
            return false;
        }
        int marker = -1;
        if (!isStream(from)) {
            marker = randomRegistered(-1);
            if (marker < 0) {
                return false;
            }
        }
        const uint64_t key = senderKey(from);
        const uint64_t pubId = ++pubSerial;
        const std::string payload =
            le16(event) + "P" + hexField(pubId, 8) + hexField(key, 8) + randomBody(size);
        const uint8_t dev = static_cast<uint8_t>(pick(0xE1, 0xFF));
        if (!sendRaw(from, makeFrame(dev, static_cast<uint8_t>(srcIdOf(from)), kCmdPublish, payload))) {
            return false;
        }
        Publication pub;
        pub.event = event;
        pub.payload = payload;
        pub.publisherKey = key;
        pub.fromSlot = from.index;
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
        pubPending[event]++;
        addOp(from, OpType::Publish, std::vector<int>(1, event), pubId);
        stats.publications++;
        note("%s publishes event %d as #%llu to %zu subscribers", describe(from).c_str(), event,
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
    bool changeSubscription(Slot &from, bool subscribe, std::vector<int> events)
    {
        const int id = from.id;
        if (events.empty()) {
            const int count = chance(0.05) ? 0 : pick(1, 3);
            const std::vector<int> mine = eventsOf(id);
            for (int i = 0; i < count; ++i) {
                int event = 0;
                if (!subscribe && !mine.empty() && chance(0.7)) {
                    event = mine[rng() % mine.size()];
                } else if (chance(0.12)) {
                    event = 0;
                } else {
                    event = kEvents[rng() % (sizeof kEvents / sizeof kEvents[0])];
                }
                if (!subscribe && event == 0 && from.observer) {
                    continue; // the observer hears every departure
                }
                events.push_back(event);
            }
            if (!events.empty() && chance(0.05)) {
                events.push_back(events[0]);
            }
        }
        std::set<int> distinct(events.begin(), events.end());
        for (int event : distinct) {
            if (eventLockedForChange(event) || (event == 0 && event0Wanted)) {
                return false;
            }
        }
        std::string payload;
        payload += static_cast<char>(events.size());
        for (int event : events) {
            payload += le16(event);
        }
        const uint8_t dev = static_cast<uint8_t>(pick(0xE1, 0xFF));
        if (!sendRaw(from, makeFrame(dev, static_cast<uint8_t>(id), subscribe ? kCmdSubscribe : kCmdUnsubscribe,
                                     payload))) {
            return false;
        }
        for (int event : distinct) {
            if (subscribe) {
                table[event].insert(id);
                if (event == 0) {
                    everSubscribed0.insert(id);
                }
            } else {
                std::map<int, std::set<int>>::iterator it = table.find(event);
                if (it != table.end()) {
                    it->second.erase(id);
                    if (it->second.empty()) {
                        table.erase(it);
                    }
                }
            }
            changePending[event]++;
        }
        addOp(from, subscribe ? OpType::Subscribe : OpType::Unsubscribe,
              std::vector<int>(distinct.begin(), distinct.end()), 0);
        if (subscribe) {
            stats.subscriptions++;
        } else {
            stats.unsubscriptions++;
        }
        std::string list;
        for (int event : events) {
            list += " " + std::to_string(event);
        }
        note("%s %s:%s", describe(from).c_str(), subscribe ? "subscribes" : "unsubscribes", list.c_str());
        sendMarker(from, true);
        return true;
    }

    void sendHeartbeat(Slot &s)
    {
        sendRaw(s, makeFrame(kHubId, static_cast<uint8_t>(srcIdOf(s)), kCmdHeart));
        stats.heartbeats++;
    }

    void sendStray(Slot &s)
    {
        // Bytes in front of a start marker are dropped by the hub; these
        // hold no "<", so they can never start or end a frame.
        static const char alphabet[] = "abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ0123456789 .,-_";
        std::string stray;
        const int count = pick(1, 40);
        for (int i = 0; i < count; ++i) {
            stray += alphabet[rng() % (sizeof alphabet - 1)];
        }
        if (sendRaw(s, stray)) {
            stats.strayBytes += stray.size();
        }
        sendToRandom(s, false);
    }

    // Commands that change nothing the driver checks: the socket table,
    // the trace level it already has, unknown commands, a frame for an id
    // nobody holds.
    void sendOtherCommand(Slot &s)
    {
        const uint8_t src = static_cast<uint8_t>(srcIdOf(s));
        const double r = uniform();
        if (r < 0.1) {
            sendRaw(s, makeFrame(kHubId, src, kCmdDumpSocket));
        } else if (r < 0.3) {
            sendRaw(s, makeFrame(kHubId, src, kCmdSetLevel, e2e::bytes({0x04, 0x00, 0x00, 0x00})));
        } else if (r < 0.5) {
            sendRaw(s, makeFrame(kHubId, src, static_cast<uint16_t>(pick(0x0010, 0x0060))));
        } else if (r < 0.7) {
            sendRaw(s, makeFrame(static_cast<uint8_t>(pick(0xE1, 0xFF)), src, static_cast<uint16_t>(pick(8, 0x40))));
        } else if (r < 0.8 && !isStream(s)) {
            // Registration and heartbeat by datagram: the hub ignores both.
            sendRaw(s, makeFrame(kHubId, static_cast<uint8_t>(pick(kFirstNobodyId, kLastNobodyId)), kCmdReg,
                                 "udp-nobody"));
            sendRaw(s, makeFrame(kHubId, src, kCmdHeart));
        } else {
            sendRaw(s, makeFrame(static_cast<uint8_t>(pick(kFirstNobodyId, kLastNobodyId)), src, 0x0042,
                                 randomBody(static_cast<size_t>(pick(0, 200)))));
        }
        stats.otherCommands++;
    }

    // ---- connections and registration --------------------------------

    void connectSlot(Slot &s)
    {
        std::string why;
        const SoakLink::ConnectResult result = s.link->open(cfg.port, cfg.unixPath, &why);
        switch (result) {
        case SoakLink::CONNECTED:
            onConnected(s);
            break;
        case SoakLink::IN_PROGRESS:
            s.state = SlotState::Connecting;
            s.connectDeadline = nowMs() + kConnectTimeoutMs;
            break;
        case SoakLink::RETRY_LATER:
            s.wakeAt = nowMs() + 50;
            break;
        case SoakLink::FAILED:
            fail("cannot connect " + describe(s) + ": " + why);
            break;
        }
    }

    void onConnected(Slot &s)
    {
        const int64_t now = nowMs();
        s.state = SlotState::Open;
        s.lastWriteAt = now;
        if (!isStream(s)) {
            if (s.everConnected) {
                stats.udpReopens++;
            }
            s.everConnected = true;
            return;
        }
        s.inc = ++nextInc;
        receivers[s.inc] = ReceiverInfo();
        senders[s.inc].slot = s.index;
        if (s.everConnected) {
            stats.reconnects++;
        }
        s.everConnected = true;
        s.wakeAt = warmingUp ? now : now + pick(0, 300);
        note("%s connected", describe(s).c_str());
    }

    bool reserveId(Slot &s)
    {
        int id = -1;
        if (!s.observer && chance(0.03) && idState[0] == IdState::Free) {
            id = 0;
        }
        const std::set<int> *departureSubscribers = nullptr;
        std::map<int, std::set<int>>::const_iterator subs = table.find(0);
        if (event0Wanted && subs != table.end()) {
            departureSubscribers = &subs->second;
        }
        for (int tries = 0; id < 0 && tries < 30; ++tries) {
            const int candidate = pick(kFirstStreamId, kLastStreamId);
            if (idState[candidate] == IdState::Free &&
                (departureSubscribers == nullptr || departureSubscribers->count(candidate) == 0)) {
                id = candidate;
            }
        }
        if (id < 0 || (id == 0 && event0Wanted && subs != table.end() && subs->second.count(0) != 0)) {
            return false;
        }
        s.id = id;
        s.regSent = false;
        idState[id] = IdState::Reserved;
        idHolder[id] = s.index;
        return true;
    }

    std::string nameFor(const Slot &s) const
    {
        return s.emptyName ? std::string() : "soak" + std::to_string(s.index) + "-" + std::to_string(s.inc);
    }

    void sendRegistration(Slot &s)
    {
        sendRaw(s, makeFrame(kHubId, static_cast<uint8_t>(s.id), kCmdReg, nameFor(s)));
        s.pendingReplies++;
        s.replyDeadline = nowMs() + kDeliveryTimeoutMs;
        receivers[s.inc].awaiting++;
    }

    // Sends the registration of a reserved id once nothing depends on who
    // holds it.
    void tryRegister(Slot &s)
    {
        if (s.id < 0 || s.regSent || idLockedForRegChange(s.id)) {
            return;
        }
        s.emptyName = !s.observer && chance(0.1);
        sendRegistration(s);
        s.regSent = true;
        idState[s.id] = IdState::Registering;
        note("%s registers", describe(s).c_str());
    }

    void onReply(Slot &s, const std::string &frame)
    {
        if (s.pendingReplies == 0 || s.id < 0) {
            fail("a registration reply nobody asked for arrived at " + describe(s) + ": " + shortHex(frame));
            return;
        }
        const std::string expected = makeFrame(static_cast<uint8_t>(s.id), kHubId, kCmdReg);
        if (frame != expected) {
            fail("wrong registration reply at " + describe(s) + ": expected " + e2e::hex(expected) + ", got " +
                 shortHex(frame));
            return;
        }
        s.pendingReplies--;
        receivers[s.inc].awaiting--;
        if (s.state == SlotState::Open && s.regSent && s.pendingReplies == 0) {
            s.state = SlotState::Registered;
            idState[s.id] = IdState::Registered;
            srcKey[s.id] = s.inc;
            stats.registrations++;
            note("%s registered", describe(s).c_str());
        }
    }

    // ---- going away ----------------------------------------------------

    void beginClose(Slot &s, CloseMode mode)
    {
        if (mode == CloseMode::ResetInFlight && (s.state != SlotState::Registered || s.id == 0)) {
            mode = CloseMode::ResetDrained; // only an announced departure tells when the hub is done with it
        }
        if (s.state == SlotState::Registered) {
            idState[s.id] = IdState::Closing;
        }
        s.state = SlotState::Closing;
        s.closeMode = mode;
        s.closingSince = nowMs();
        s.silenceUnsubSent = false;
        static const char *const modeNames[] = {"orderly close", "reset once drained", "reset with frames in flight",
                                                "silence"};
        note("%s decides on %s", describe(s).c_str(), modeNames[static_cast<int>(mode)]);
    }

    // What a closing module still waits for, or an empty string.
    std::string closingBlocker(Slot &s)
    {
        SenderInfo &si = senders[s.inc];
        const ReceiverInfo &ri = receivers[s.inc];
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
            return eventsOf(s.id).empty() ? std::string() : "its unsubscriptions";
        }
        if (s.id >= 0) {
            if (idLockedForRegChange(s.id)) {
                return "publications of events it is subscribed to";
            }
            if (s.id != 0 && !departureStartAllowed(s.id)) {
                event0WantedNext = true;
                return "other changes of event 0";
            }
        }
        return std::string();
    }

    void progressClosing(Slot &s)
    {
        if (s.closeMode == CloseMode::Silence && !s.silenceUnsubSent) {
            const std::vector<int> events = eventsOf(s.id);
            if (events.empty()) {
                s.silenceUnsubSent = true;
            } else if (changeSubscription(s, false, events)) {
                s.silenceUnsubSent = true;
            }
            return;
        }
        if (!closingBlocker(s).empty()) {
            return;
        }
        if (s.closeMode == CloseMode::Silence) {
            enterSilence(s);
            return;
        }
        closeNow(s);
    }

    // The frames of a module about to reset: those the kernel has may
    // still arrive, the rest never left.
    void makeInFlightOptional(Slot &s)
    {
        SenderInfo &si = senders[s.inc];
        const uint64_t written = s.link->writtenBytes();
        for (const auto &entry : si.nextSeq) {
            std::map<std::pair<uint64_t, uint64_t>, std::deque<PendingFrame>>::iterator q =
                queues.find(std::make_pair(s.inc, entry.first));
            if (q == queues.end()) {
                continue;
            }
            std::deque<PendingFrame> &frames = q->second;
            while (!frames.empty() && frames.back().endOffset > written) {
                const PendingFrame &f = frames.back();
                std::unordered_map<uint64_t, ReceiverInfo>::iterator r = receivers.find(entry.first);
                if (r != receivers.end()) {
                    r->second.awaiting--;
                }
                si.inFlight--;
                si.inFlightBytes -= static_cast<int64_t>(f.bytes.size());
                inFlightBytes -= static_cast<int64_t>(f.bytes.size());
                frames.pop_back();
            }
            for (PendingFrame &f : frames) {
                f.optional = true;
                optionalToId[f.destId]++;
                std::unordered_map<uint64_t, ReceiverInfo>::iterator r = receivers.find(entry.first);
                if (r != receivers.end()) {
                    r->second.awaiting--;
                }
            }
            if (frames.empty()) {
                queues.erase(q);
            }
        }
    }

    Departure &addDeparture(const Slot &s, bool requiredFromAll)
    {
        Departure d;
        d.modId = s.id;
        d.departedKey = s.inc;
        d.slot = s.index;
        d.deadline = nowMs() + kDeliveryTimeoutMs;
        const Slot &obs = slots[static_cast<size_t>(observerSlot)];
        if (requiredFromAll) {
            std::map<int, std::set<int>>::const_iterator subs = table.find(0);
            if (subs != table.end()) {
                for (int other : subs->second) {
                    if (other != s.id &&
                        (idState[other] == IdState::Registered || idState[other] == IdState::Closing)) {
                        Delivery delivery;
                        delivery.id = other;
                        d.required[slots[static_cast<size_t>(idHolder[other])].inc] = delivery;
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

    void forgetConnection(Slot &s)
    {
        receivers.erase(s.inc);
        std::unordered_map<uint64_t, SenderInfo>::iterator si = senders.find(s.inc);
        if (si != senders.end() && si->second.inFlight == 0 && si->second.ops.empty()) {
            senders.erase(si);
        }
        s.inc = 0;
        s.id = -1;
        s.regSent = false;
        s.pendingReplies = 0;
        s.state = SlotState::Idle;
        s.wakeAt = nowMs() + pick(10, 400);
    }

    void closeNow(Slot &s)
    {
        const bool reset = s.closeMode != CloseMode::Orderly;
        if (s.closeMode == CloseMode::ResetInFlight) {
            makeInFlightOptional(s);
            stats.resetsWithFramesInFlight++;
        }
        s.link->close(reset);
        if (reset) {
            stats.resets++;
        } else {
            stats.orderlyCloses++;
        }
        note("%s %s", describe(s).c_str(), reset ? "resets its connection" : "closes its connection");
        const int id = s.id;
        if (id >= 0 && idState[id] == IdState::Closing) {
            if (id != 0) {
                addDeparture(s, true);
                event0Pending++;
                idState[id] = IdState::Departing;
            } else {
                // Id 0 goes without a notice; whenever the hub notices,
                // the id no longer matters to anything the driver checks.
                idState[0] = IdState::Free;
                idHolder[0] = -1;
                srcKey[0] = 0;
            }
        }
        forgetConnection(s);
    }

    void enterSilence(Slot &s)
    {
        s.state = SlotState::Silent;
        s.silentSince = s.lastWriteAt;
        idState[s.id] = IdState::Silent;
        Departure &d = addDeparture(s, false);
        d.silent = true;
        d.deadline = s.silentSince + kSilenceLatestDropMs;
        note("%s falls silent", describe(s).c_str());
    }

    void onSilentDropped(Slot &s)
    {
        const int64_t silence = nowMs() - s.silentSince;
        if (silence < kSilenceEarliestDropMs) {
            fail("the hub dropped " + describe(s) + " after only " + std::to_string(silence) +
                 " ms without a byte from it");
        }
        stats.silentDrops++;
        note("%s dropped by the hub after %lld ms of silence", describe(s).c_str(), static_cast<long long>(silence));
        s.link->close(false);
        if (idState[s.id] == IdState::Silent) {
            idState[s.id] = IdState::Departing;
        }
        forgetConnection(s);
    }

    // ---- receiving -----------------------------------------------------

    void onFrame(Slot &s, const std::string &frame)
    {
        const uint8_t dev = static_cast<uint8_t>(frame[9]);
        const uint8_t src = static_cast<uint8_t>(frame[10]);
        const int cmd = static_cast<unsigned char>(frame[11]) | (static_cast<unsigned char>(frame[12]) << 8);
        if (src == kHubId && cmd == kCmdReg) {
            onReply(s, frame);
            return;
        }
        if (s.state != SlotState::Registered && s.state != SlotState::Closing) {
            fail("a frame arrived at " + describe(s) + ", which holds no id: " + shortHex(frame));
            return;
        }
        if (dev != s.id) {
            fail("a frame for id " + std::to_string(dev) + " arrived at " + describe(s) + ": " + shortHex(frame));
            return;
        }
        const std::string payload = frame.substr(13, frame.size() - kFrameOverhead);
        if (src == kEventSrc) {
            if (cmd != kCmdPublish) {
                fail("a frame from the event source with cmd " + std::to_string(cmd) + " arrived at " + describe(s) +
                     ": " + shortHex(frame));
            } else if (payload.size() == 3 && payload[0] == 0 && payload[1] == 0) {
                onDepartureNotice(s, static_cast<uint8_t>(payload[2]));
            } else {
                onEventDelivery(s, frame, payload);
            }
            return;
        }
        onDataFrame(s, frame, payload, src);
    }

    void onDataFrame(Slot &s, const std::string &frame, const std::string &payload, uint8_t src)
    {
        uint64_t key = 0;
        uint64_t seq = 0;
        if (payload.empty()) {
            key = srcKey[src];
            if (key == 0) {
                fail("an empty frame from id " + std::to_string(src) + ", which sent none, arrived at " +
                     describe(s) + ": " + shortHex(frame));
                return;
            }
        } else {
            uint64_t to = 0, size = 0, crc = 0;
            if (payload[0] != 'D' || !parseHexField(payload, 1, 8, &key) || !parseHexField(payload, 9, 8, &to) ||
                !parseHexField(payload, 17, 8, &seq) || !parseHexField(payload, 25, 4, &size) ||
                !parseHexField(payload, 29, 8, &crc)) {
                fail("a frame this driver never sent arrived at " + describe(s) + ": " + shortHex(frame));
                return;
            }
            if (size != payload.size() - kTagSize || crc != crc32Of(payload, kTagSize)) {
                fail("a frame with a damaged payload (length or checksum) arrived at " + describe(s) + ": " +
                     shortHex(frame));
                return;
            }
            if (to != s.inc) {
                fail("frame " + std::to_string(seq) + " of " + describeKey(key) + " for connection #" +
                     std::to_string(to) + " arrived at " + describe(s));
                return;
            }
        }
        std::map<std::pair<uint64_t, uint64_t>, std::deque<PendingFrame>>::iterator q =
            queues.find(std::make_pair(key, s.inc));
        if (q == queues.end() || q->second.empty()) {
            fail("a frame from " + describeKey(key) + " that was not expected (again, or never sent) arrived at " +
                 describe(s) + ": " + shortHex(frame));
            return;
        }
        PendingFrame &head = q->second.front();
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
            fail("out of order or damaged: from " + describeKey(key) + " at " + describe(s) + ": " + what +
                 "; arrived: " + shortHex(frame));
            return;
        }
        const PendingFrame f = head;
        q->second.pop_front();
        if (q->second.empty()) {
            queues.erase(q);
        }
        if (f.optional) {
            optionalToId[f.destId]--;
        } else {
            receivers[s.inc].awaiting--;
        }
        const int64_t bytes = static_cast<int64_t>(f.bytes.size());
        SenderInfo &si = senders[key];
        si.inFlight--;
        si.inFlightBytes -= bytes;
        inFlightBytes -= bytes;
        if (key >= kUdpKeyBase) {
            udpInFlightBytes -= bytes;
            if (f.udpIndex > udpRead) {
                udpRead = f.udpIndex;
            }
        }
        stats.framesDelivered++;
        stats.bytesDelivered += static_cast<uint64_t>(bytes);
        settleUpTo(key, f.sendIndex);
    }

    void onEventDelivery(Slot &s, const std::string &frame, const std::string &payload)
    {
        uint64_t pubId = 0, publisher = 0;
        if (payload.size() < 2 + kPubTagSize || payload[2] != 'P' || !parseHexField(payload, 3, 8, &pubId) ||
            !parseHexField(payload, 11, 8, &publisher)) {
            fail("an event delivery nobody published arrived at " + describe(s) + ": " + shortHex(frame));
            return;
        }
        std::map<uint64_t, Publication>::iterator it = pubs.find(pubId);
        if (it == pubs.end()) {
            fail("publication #" + std::to_string(pubId) + " arrived at " + describe(s) +
                 " after all its deliveries were done (delivered twice?): " + shortHex(frame));
            return;
        }
        Publication &pub = it->second;
        std::map<uint64_t, Delivery>::iterator r = pub.recipients.find(s.inc);
        if (r == pub.recipients.end()) {
            fail("publication #" + std::to_string(pubId) + " of event " + std::to_string(pub.event) + " by " +
                 describeKey(pub.publisherKey) + " arrived at " + describe(s) + ", which was not subscribed");
            return;
        }
        if (r->second.received) {
            fail("publication #" + std::to_string(pubId) + " arrived twice at " + describe(s));
            return;
        }
        const std::string expected = e2e::eventDelivery(static_cast<uint8_t>(r->second.id), pub.payload);
        if (frame != expected) {
            fail("publication #" + std::to_string(pubId) + " arrived damaged at " + describe(s) + ": expected " +
                 shortHex(expected) + ", got " + shortHex(frame));
            return;
        }
        ReceiverInfo &ri = receivers[s.inc];
        uint64_t &last = ri.lastPub[publisher];
        if (pubId <= last) {
            fail("publication #" + std::to_string(pubId) + " of " + describeKey(publisher) + " arrived at " +
                 describe(s) + " after its later publication #" + std::to_string(last));
            return;
        }
        last = pubId;
        r->second.received = true;
        pub.outstanding--;
        ri.awaiting--;
        inFlightBytes -= static_cast<int64_t>(pub.payload.size());
        stats.eventDeliveries++;
        if (pub.outstanding == 0 && pub.settled) {
            pubs.erase(it);
        }
    }

    void onDepartureNotice(Slot &s, int modId)
    {
        const bool atObserver = s.index == observerSlot;
        for (Departure &d : departures) {
            if (d.modId != modId) {
                continue;
            }
            std::map<uint64_t, Delivery>::iterator r = d.required.find(s.inc);
            if (r != d.required.end() && !r->second.received) {
                r->second.received = true;
                d.outstanding--;
                receivers[s.inc].awaiting--;
                if (atObserver) {
                    d.observed = true;
                    if (idState[modId] == IdState::Departing || idState[modId] == IdState::Silent) {
                        idState[modId] = IdState::Announced;
                    }
                    d.finalizeAt = nowMs() + kFinalizeGraceMs;
                    if (!d.silent) {
                        event0Pending--;
                    }
                }
                stats.departureNotices++;
                return;
            }
            // A module dropped for silence may be announced to whoever was
            // subscribed to event 0 at the time, which the driver does not
            // pin down.
            if (d.silent && r == d.required.end() && d.optionalGot.count(s.inc) == 0 &&
                everSubscribed0.count(s.id) != 0) {
                d.optionalGot.insert(s.inc);
                stats.departureNotices++;
                return;
            }
        }
        char text[64];
        snprintf(text, sizeof text, "00 00 %02X", modId);
        fail(std::string("a departure notice (") + text + ") that was not expected arrived at " + describe(s) +
             "; id 0x" + hexField(static_cast<uint64_t>(modId), 2) + " is " + idStateName(idState[modId]));
    }

    void finalizeDeparture(Departure &d)
    {
        std::unordered_map<uint64_t, SenderInfo>::iterator si = senders.find(d.departedKey);
        if (si != senders.end()) {
            for (const auto &entry : si->second.nextSeq) {
                std::map<std::pair<uint64_t, uint64_t>, std::deque<PendingFrame>>::iterator q =
                    queues.find(std::make_pair(d.departedKey, entry.first));
                if (q == queues.end()) {
                    continue;
                }
                // A receiver that has gone since could not read what the hub
                // still forwarded to it.
                const bool receiverLive = receivers.count(entry.first) != 0;
                for (const PendingFrame &f : q->second) {
                    if (receiverLive && f.sendIndex < si->second.maxDelivered) {
                        fail("frame " + std::to_string(f.seq) + " (item " + std::to_string(f.sendIndex) +
                             ") from reset connection #" + std::to_string(d.departedKey) + " to " +
                             describe(slots[static_cast<size_t>(f.toSlot)]) + " was lost, but item " +
                             std::to_string(si->second.maxDelivered) +
                             " it sent later arrived; the frame: " + shortHex(f.bytes));
                    }
                    optionalToId[f.destId]--;
                    inFlightBytes -= static_cast<int64_t>(f.bytes.size());
                    stats.framesLostInReset++;
                }
                queues.erase(q);
            }
            senders.erase(si);
        }
        if (idState[d.modId] == IdState::Announced) {
            idState[d.modId] = IdState::Releasing;
        }
        d.finalized = true;
        d.eraseAt = nowMs() + kDepartureKeepMs;
    }

    void readSlot(Slot &s, short revents)
    {
        if (s.state == SlotState::Connecting) {
            if ((revents & (POLLOUT | POLLERR | POLLHUP)) == 0) {
                return;
            }
            std::string why;
            if (!s.link->finishConnect(&why)) {
                fail("cannot connect " + describe(s) + ": " + why);
                return;
            }
            onConnected(s);
            flushSlot(s);
            return;
        }
        if (!isStream(s)) {
            char byte;
            const ssize_t n = recv(s.link->fd(), &byte, 1, MSG_DONTWAIT);
            if (n >= 0 || (errno != EAGAIN && errno != EWOULDBLOCK)) {
                fail("the hub answered a datagram of " + describe(s) + " (or the datagram bounced: " +
                     strerror(errno) + ")");
            }
            return;
        }
        if ((revents & POLLOUT) != 0) {
            flushSlot(s);
        }
        if ((revents & (POLLIN | POLLERR | POLLHUP)) == 0) {
            return;
        }
        bool closedByPeer = false;
        std::string why;
        if (!s.link->receive(&closedByPeer, &why)) {
            fail("reading from the hub failed for " + describe(s) + ": " + why);
            return;
        }
        std::string frame;
        for (;;) {
            const int got = s.link->nextFrame(&frame);
            if (got == 0) {
                break;
            }
            if (got < 0) {
                fail("bytes that do not start a frame arrived at " + describe(s) + ": " + shortHex(frame));
                return;
            }
            onFrame(s, frame);
            if (failed()) {
                return;
            }
        }
        if (closedByPeer) {
            if (s.state == SlotState::Silent) {
                onSilentDropped(s);
            } else {
                fail("the hub closed the connection of " + describe(s));
            }
        }
    }

    // ---- the loop ------------------------------------------------------

    void step(int timeoutMs)
    {
        std::vector<struct pollfd> fds;
        std::vector<int> owners;
        for (Slot &s : slots) {
            if (!s.link->isOpen()) {
                continue;
            }
            struct pollfd p;
            p.fd = s.link->fd();
            p.events = POLLIN;
            if (s.state == SlotState::Connecting || s.link->hasPendingOutput()) {
                p.events |= POLLOUT;
            }
            p.revents = 0;
            fds.push_back(p);
            owners.push_back(s.index);
        }
        const int ready = poll(fds.data(), fds.size(), timeoutMs);
        if (ready < 0 && errno != EINTR) {
            fail(std::string("poll: ") + strerror(errno));
            return;
        }
        for (size_t i = 0; ready > 0 && i < fds.size() && !failed(); ++i) {
            if (fds[i].revents != 0) {
                Slot &s = slots[static_cast<size_t>(owners[i])];
                if (s.link->isOpen() && s.link->fd() == fds[i].fd) {
                    readSlot(s, fds[i].revents);
                }
            }
        }
        if (!failed()) {
            housekeeping();
        }
        for (int i = 0; acceptingWork && i < 6 && !failed(); ++i) {
            act(slots[static_cast<size_t>(pick(0, static_cast<int>(slots.size()) - 1))]);
        }
    }

    void housekeeping()
    {
        const int64_t now = nowMs();
        if (cfg.hubAlive && now - lastAliveCheck >= 1000) {
            lastAliveCheck = now;
            if (!cfg.hubAlive()) {
                fail("the hub is no longer running");
                return;
            }
        }
        Slot &obs = slots[static_cast<size_t>(observerSlot)];
        if (obs.state == SlotState::Registered && !observerSubSent) {
            const int64_t index = senders[obs.inc].nextIndex;
            if (changeSubscription(obs, true, std::vector<int>(1, 0))) {
                observerSubSent = true;
                observerSubIndex = index;
            }
        }
        if (observerSubSent && !observerReady && senders[obs.inc].maxDelivered > observerSubIndex) {
            observerReady = true;
        }
        event0WantedNext = false;
        for (Slot &s : slots) {
            switch (s.state) {
            case SlotState::Idle:
                if (allowReconnect && now >= s.wakeAt) {
                    connectSlot(s);
                }
                break;
            case SlotState::Open:
                if (isStream(s) && s.id >= 0 && !s.regSent) {
                    tryRegister(s);
                } else if (isStream(s) && warmingUp && s.id < 0) {
                    if (reserveId(s)) {
                        tryRegister(s);
                    }
                }
                break;
            case SlotState::Closing:
                progressClosing(s);
                break;
            default:
                break;
            }
            if (isStream(s) && s.link->isOpen() && s.state != SlotState::Connecting && s.state != SlotState::Silent &&
                now - s.lastWriteAt >= kHeartbeatEveryMs && !s.link->hasPendingOutput()) {
                sendHeartbeat(s);
            }
            if (failed()) {
                return;
            }
        }
        event0Wanted = event0WantedNext;
        // A request whose sender has nothing else on its way gets a marker.
        std::vector<int> unconfirmed;
        for (const auto &entry : senders) {
            const SenderInfo &si = entry.second;
            if (si.ops.empty() || si.inFlight > 0 || si.slot < 0) {
                continue;
            }
            const Slot &s = slots[static_cast<size_t>(si.slot)];
            if (senderKey(s) == entry.first &&
                (!isStream(s) || s.state == SlotState::Registered || s.state == SlotState::Closing)) {
                unconfirmed.push_back(si.slot);
            }
        }
        for (int i : unconfirmed) {
            sendMarker(slots[static_cast<size_t>(i)], true);
        }
        for (std::list<Departure>::iterator d = departures.begin(); d != departures.end();) {
            const bool stillSilent = d->silent && slots[static_cast<size_t>(d->slot)].state == SlotState::Silent &&
                                     slots[static_cast<size_t>(d->slot)].inc == d->departedKey;
            if (d->observed && !d->finalized && now >= d->finalizeAt && !stillSilent) {
                finalizeDeparture(*d);
            }
            if (d->finalized && d->outstanding == 0 && now >= d->eraseAt) {
                d = departures.erase(d);
            } else {
                ++d;
            }
        }
        for (int id = 0; id < 256; ++id) {
            if (idState[id] == IdState::Releasing && optionalToId[id] == 0) {
                idState[id] = IdState::Free;
                idHolder[id] = -1;
                srcKey[id] = 0;
            }
        }
        if (cfg.letModulesFallSilent && allowClose && now >= nextSilenceAt && runEndsAt - now >= kSilenceNeedsMs) {
            startSilence();
        }
        if (now - lastDeadlineCheck >= 200) {
            lastDeadlineCheck = now;
            checkDeadlines(now);
        }
    }

    void startSilence()
    {
        for (const Slot &s : slots) {
            if (s.state == SlotState::Silent || (s.state == SlotState::Closing && s.closeMode == CloseMode::Silence)) {
                return;
            }
        }
        for (int tries = 0; tries < 20; ++tries) {
            const int i = randomRegistered(observerSlot);
            if (i < 0) {
                continue;
            }
            Slot &s = slots[static_cast<size_t>(i)];
            if (s.id != 0 && !s.emptyName) {
                beginClose(s, CloseMode::Silence);
                nextSilenceAt = nowMs() + kSilenceEveryMs;
                return;
            }
        }
    }

    void checkDeadlines(int64_t now)
    {
        for (const auto &entry : queues) {
            const PendingFrame &f = entry.second.front();
            if (!f.optional && now > f.deadline) {
                fail("frame " + std::to_string(f.seq) + " from " + describeKey(entry.first.first) + " to " +
                     describe(slots[static_cast<size_t>(f.toSlot)]) + " did not arrive within " +
                     std::to_string(kDeliveryTimeoutMs) + " ms: " + shortHex(f.bytes));
                return;
            }
        }
        for (const auto &entry : pubs) {
            const Publication &pub = entry.second;
            if (pub.outstanding > 0 && now > pub.deadline) {
                std::string missing;
                for (const auto &r : pub.recipients) {
                    if (!r.second.received) {
                        missing += " 0x" + hexField(static_cast<uint64_t>(r.second.id), 2);
                    }
                }
                fail("publication #" + std::to_string(entry.first) + " of event " + std::to_string(pub.event) +
                     " by " + describeKey(pub.publisherKey) + " did not reach the subscribers" + missing);
                return;
            }
        }
        for (const Departure &d : departures) {
            if ((!d.observed || d.outstanding > 0) && now > d.deadline) {
                std::string missing;
                for (const auto &r : d.required) {
                    if (!r.second.received) {
                        missing += " 0x" + hexField(static_cast<uint64_t>(r.second.id), 2);
                    }
                }
                fail(std::string("the departure notice of id 0x") + hexField(static_cast<uint64_t>(d.modId), 2) +
                     (d.silent ? " (dropped for silence)" : "") + " did not reach" + missing);
                return;
            }
        }
        for (const auto &entry : senders) {
            if (!entry.second.ops.empty() && now > entry.second.ops.front().deadline) {
                fail("a request of " + describeKey(entry.first) + " was never confirmed by a later frame");
                return;
            }
        }
        for (Slot &s : slots) {
            if (s.state == SlotState::Connecting && now > s.connectDeadline) {
                fail(describe(s) + " did not get connected in time");
            } else if (s.pendingReplies > 0 && now > s.replyDeadline) {
                fail(describe(s) + " got no registration reply");
            } else if (s.state == SlotState::Closing && now - s.closingSince > kClosingTimeoutMs) {
                fail(describe(s) + " could not close for a minute; it waits for " + closingBlocker(s));
            } else if (s.state == SlotState::Silent && now - s.silentSince > kSilenceLatestDropMs) {
                fail("the hub did not drop " + describe(s) + " after " + std::to_string(now - s.silentSince) +
                     " ms of silence");
            }
            if (failed()) {
                return;
            }
        }
    }

    // ---- random actions --------------------------------------------------

    CloseMode randomCloseMode()
    {
        const double r = uniform();
        return r < 0.45 ? CloseMode::Orderly : (r < 0.70 ? CloseMode::ResetDrained : CloseMode::ResetInFlight);
    }

    void act(Slot &s)
    {
        const int64_t now = nowMs();
        if (!isStream(s)) {
            if (s.state == SlotState::Idle && allowReconnect) {
                connectSlot(s);
            } else if (s.state == SlotState::Open) {
                actUdp(s);
            }
            return;
        }
        if (s.state == SlotState::Open && s.id < 0 && now >= s.wakeAt && !warmingUp) {
            actOpen(s);
        } else if (s.state == SlotState::Registered) {
            actRegistered(s);
        }
    }

    void actOpen(Slot &s)
    {
        const double r = uniform();
        if (r < 0.80 || !allowClose) {
            if (reserveId(s)) {
                tryRegister(s);
            }
        } else if (r < 0.94) {
            sendToRandom(s, false);
        } else {
            beginClose(s, chance(0.5) ? CloseMode::Orderly : CloseMode::ResetDrained);
            return;
        }
        s.wakeAt = nowMs() + pick(0, 200);
    }

    void actRegistered(Slot &s)
    {
        double r = uniform() * 100.0;
        if ((r -= 60) < 0) {
            sendToRandom(s, false);
        } else if ((r -= 4) < 0) {
            sendToRandom(s, true);
        } else if ((r -= 3) < 0) {
            sendDataFrame(s, s, chance(0.3), false);
        } else if ((r -= 11) < 0) {
            publish(s);
        } else if ((r -= 2) < 0) {
            changeSubscription(s, true, std::vector<int>());
        } else if ((r -= 3) < 0) {
            changeSubscription(s, false, std::vector<int>());
        } else if ((r -= 2) < 0) {
            sendHeartbeat(s);
        } else if ((r -= 0.3) < 0) {
            // The same id again, perhaps under another name: one more reply.
            s.emptyName = chance(0.2);
            sendRegistration(s);
            stats.reRegistrations++;
        } else if ((r -= 1) < 0) {
            sendStray(s);
        } else if ((r -= 1) < 0) {
            sendOtherCommand(s);
        } else if ((r -= 0.6) < 0) {
            if (allowClose && !s.observer) {
                beginClose(s, randomCloseMode());
            }
        }
    }

    void actUdp(Slot &s)
    {
        if (udpSent - udpRead >= kMaxUdpBacklog) {
            return;
        }
        double r = uniform() * 100.0;
        if ((r -= 72) < 0) {
            sendToRandom(s, chance(0.05));
        } else if ((r -= 20) < 0) {
            publish(s);
        } else if ((r -= 1) < 0) {
            sendStray(s);
        } else if ((r -= 1.5) < 0) {
            sendOtherCommand(s);
        } else if ((r -= 0.5) < 0 && allowClose) {
            // A new socket: the hub cannot tell, and nothing may be lost.
            s.link->close(false);
            s.state = SlotState::Idle;
            note("%s opens a new socket", describe(s).c_str());
            connectSlot(s);
        }
    }

    // ---- phases ----------------------------------------------------------

    bool allStreamRegistered() const
    {
        for (const Slot &s : slots) {
            if (s.kind != SoakLink::UDP && s.state != SlotState::Registered) {
                return false;
            }
        }
        return true;
    }

    // What is still on its way, or an empty string.
    std::string outstanding() const
    {
        if (!queues.empty()) {
            return std::to_string(queues.size()) + " frame queues";
        }
        if (!pubs.empty()) {
            return std::to_string(pubs.size()) + " publications";
        }
        if (!departures.empty()) {
            const Departure &d = departures.front();
            return std::to_string(departures.size()) + " departures, the first of id 0x" +
                   hexField(static_cast<uint64_t>(d.modId), 2) + (d.observed ? " announced" : " not announced") +
                   ", " + std::to_string(d.outstanding) + " notices missing" + (d.finalized ? ", finalized" : "") +
                   (d.silent ? ", silent" : "");
        }
        for (const auto &entry : senders) {
            if (!entry.second.ops.empty()) {
                return "requests of " + describeKey(entry.first);
            }
        }
        for (const Slot &s : slots) {
            if (s.state == SlotState::Connecting || s.state == SlotState::Closing || s.state == SlotState::Silent ||
                (s.state == SlotState::Open && s.id >= 0) || s.pendingReplies > 0 || s.link->hasPendingOutput()) {
                return describe(s) + " still busy";
            }
        }
        for (int id = 0; id < 256; ++id) {
            if (idState[id] != IdState::Free && idState[id] != IdState::Registered) {
                return "id 0x" + hexField(static_cast<uint64_t>(id), 2) + " " + idStateName(idState[id]);
            }
        }
        return std::string();
    }

    bool loopUntil(const std::function<bool()> &done, int64_t timeoutMs, const std::string &what)
    {
        const int64_t deadline = nowMs() + timeoutMs;
        while (!failed() && !done()) {
            if (nowMs() > deadline) {
                fail(what + " took longer than " + std::to_string(timeoutMs / 1000) + " s; still waiting for " +
                     outstanding());
                break;
            }
            step(2);
        }
        return !failed();
    }
};

SoakDriver::SoakDriver(const SoakConfig &config) : impl(new Impl(config))
{
}

SoakDriver::~SoakDriver() = default;

bool SoakDriver::warmUp(double seconds)
{
    Impl &d = *impl;
    d.warmingUp = true;
    d.allowReconnect = true;
    d.allowClose = false;
    d.acceptingWork = true;
    const int64_t now = nowMs();
    for (Slot &s : d.slots) {
        // Staggered, so that the listening backlogs do not overflow.
        s.wakeAt = now + 10 * s.index;
    }
    if (!d.loopUntil([&d] { return d.allStreamRegistered() && d.observerReady; }, 60000,
                     "connecting and registering every module")) {
        return false;
    }
    d.warmingUp = false;
    const int64_t until = nowMs() + static_cast<int64_t>(seconds * 1000);
    if (!d.loopUntil([until] { return nowMs() >= until; }, static_cast<int64_t>(seconds * 1000) + 60000,
                     "warm-up traffic")) {
        return false;
    }
    d.acceptingWork = false;
    return d.loopUntil([&d] { return d.outstanding().empty(); }, 60000, "delivering the warm-up traffic");
}

bool SoakDriver::run(double seconds)
{
    Impl &d = *impl;
    d.acceptingWork = true;
    d.allowClose = true;
    d.allowReconnect = true;
    const int64_t now = nowMs();
    d.runEndsAt = now + static_cast<int64_t>(seconds * 1000);
    d.nextSilenceAt = now + 15000;
    const int64_t until = d.runEndsAt;
    return d.loopUntil([until] { return nowMs() >= until; }, static_cast<int64_t>(seconds * 1000) + 60000,
                       "the random phase");
}

bool SoakDriver::drain()
{
    Impl &d = *impl;
    d.acceptingWork = false;
    d.allowClose = false;
    d.allowReconnect = false;
    d.note("draining");
    // A module that fell silent shortly before the end waits for the hub's
    // heartbeat check.
    return d.loopUntil([&d] { return d.outstanding().empty(); }, kSilenceLatestDropMs + 30000,
                       "draining what was still on its way");
}

bool SoakDriver::disconnectAll()
{
    Impl &d = *impl;
    d.acceptingWork = false;
    d.allowReconnect = false;
    d.note("disconnecting everyone");
    for (Slot &s : d.slots) {
        if (s.observer || !d.isStream(s) || !s.link->isOpen()) {
            continue;
        }
        const bool reset = d.chance(0.5);
        s.link->close(reset);
        if (reset) {
            d.stats.resets++;
        } else {
            d.stats.orderlyCloses++;
        }
        if (s.state == SlotState::Registered && s.id != 0) {
            // Everybody else is going too: only the observer is sure to
            // be there for the notice.
            d.addDeparture(s, false);
            d.event0Pending++;
            d.idState[s.id] = IdState::Departing;
        } else if (s.id >= 0) {
            d.idState[s.id] = IdState::Free;
            d.idHolder[s.id] = -1;
        }
        d.forgetConnection(s);
    }
    if (!d.loopUntil([&d] { return d.departures.empty(); }, 30000, "hearing of every departure")) {
        return false;
    }
    Slot &obs = d.slots[static_cast<size_t>(d.observerSlot)];
    obs.link->close(false);
    d.stats.orderlyCloses++;
    d.idState[obs.id] = IdState::Free;
    d.forgetConnection(obs);
    for (Slot &s : d.slots) {
        if (!d.isStream(s)) {
            s.link->close(false);
            s.state = SlotState::Idle;
        }
    }
    return !d.failed();
}

int SoakDriver::streamModules() const
{
    return impl->cfg.tcpModules + impl->cfg.unixModules;
}

const SoakCounters &SoakDriver::counters() const
{
    return impl->stats;
}

const std::vector<std::string> &SoakDriver::failures() const
{
    return impl->failureList;
}

} // namespace soak
