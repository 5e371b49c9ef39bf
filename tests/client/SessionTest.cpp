// The stream client's session without any socket: the frames a connection
// starts with, the registration and its restore after a reconnect, the
// connection notices, subscriptions cut into lists of 255, what each
// received frame reaches, the status parts among junk, the monitor's answers
// and what the callbacks throw. Time is only what the tests pass in.

#include <gtest/gtest.h>

#include <stdexcept>

#include "client/ClientSession.h"
#include "proto/MonitorRecord.h"
#include "proto/PacketFrame.h"
#include "proto/StatusPart.h"
#include "tests/support/Frames.h"

namespace sdk {
namespace {

using e2e::bytes;
using e2e::hex;
using e2e::makeFrame;

const int kId = 0x10;
const uint16_t kCmdStatus = pellix::wire::kCmdStatus;
const uint16_t kCmdMonitor = pellix::wire::kCmdMonitor;
const uint16_t kCmdReport = pellix::wire::kCmdReport;

std::string subscription(uint16_t cmd, std::initializer_list<int> events)
{
    std::string list(1, static_cast<char>(events.size()));
    for (int event : events) {
        list += bytes({event & 0xff, event >> 8});
    }
    return makeFrame(e2e::kEventMgrId, kId, cmd, list);
}

std::string statusPart(int number, int count, const std::string &text)
{
    std::string frame;
    StatusPart::appendFrame(frame, kId, number, count, text.data(), text.size());
    return frame;
}

std::string monitorRecord(MonitorKind kind, const std::string &payload = std::string())
{
    unsigned char head[MonitorRecord::kHeaderSize];
    MonitorRecord::header(head, kind, 0, 0, 0, 0, 0);
    std::string frame;
    PacketFrame::append(frame, kId, e2e::kHubId, kCmdMonitor, head, sizeof head, payload.data(), payload.size());
    return frame;
}

const std::string kSwitchOn = makeFrame(e2e::kHubId, kId, kCmdMonitor, bytes({1}));
const std::string kSwitchOff = makeFrame(e2e::kHubId, kId, kCmdMonitor, bytes({0}));
const std::string kRegistration = makeFrame(e2e::kHubId, kId, e2e::kCmdReg, "mod");
const std::string kReply = makeFrame(kId, e2e::kHubId, e2e::kCmdReg);

// Public: the steps of the tables below drive it from outside.
class Session : public ::testing::Test {
public:
    Session() { start(); }

    void start(bool registering = true)
    {
        pellix::ClientOptions options;
        options.moduleId = kId;
        options.name = "mod";
        options.registerModule = registering;
        session.reset(new pellix::ClientSession(options));
        pellix::ClientCallbacks &calls = session->callbacks();
        calls.onFrame = [this](const pellix::FrameView &f) {
            seen.push_back("frame " + std::to_string(f.srcId) + ">" + std::to_string(f.devId) + " " +
                           std::to_string(f.cmd) + " len " + std::to_string(f.len) + " " +
                           text(f.payload, f.payloadSize));
        };
        calls.onEvent = [this](int event, const uint8_t *data, size_t size) {
            seen.push_back("event " + std::to_string(event) + " " + text(data, size));
        };
        calls.onDeparture = [this](int id) { seen.push_back("departure " + std::to_string(id)); };
        calls.onConnection = [this](bool up) { seen.push_back(up ? "up" : "down"); };
        calls.onMonitor = [this](const pellix::MonitorView &r) {
            seen.push_back("monitor " + std::to_string(r.kind) + " " + text(r.payload, r.payloadSize) +
                           (r.kind == pellix::kMonitorLost ? " lost " + std::to_string(r.lostCount) : ""));
        };
    }

    static std::string text(const uint8_t *data, size_t size)
    {
        return std::string(reinterpret_cast<const char *>(data), size);
    }

    // The frames a new connection starts with; the registration answered.
    std::string connect(bool reconnect = false, int64_t nowMs = 0, bool answer = true)
    {
        std::string out;
        session->connected(reconnect, nowMs, out);
        if (answer && session->options().registerModule) {
            session->feed(kReply.data(), kReply.size());
        }
        return out;
    }

    void feed(const std::string &bytes) { session->feed(bytes.data(), bytes.size()); }

    std::vector<std::string> take()
    {
        session->deliverNotices();
        std::vector<std::string> got;
        got.swap(seen);
        return got;
    }

    std::unique_ptr<pellix::ClientSession> session;
    std::vector<std::string> seen;
};

TEST_F(Session, EveryConnectionStartsWithRegistrationSubscriptionsWithdrawalsAndMonitor)
{
    EXPECT_EQ(hex(kRegistration), hex(connect()));
    session->established();
    std::string out;
    ASSERT_TRUE(session->subscribe({7, 3, 6}, out));
    ASSERT_TRUE(session->unsubscribe({6, 0x8000}, out));
    session->beginMonitor(out);
    feed(monitorRecord(MonitorKind::On));
    out.clear();
    ASSERT_TRUE(session->endMonitor(pellix::Result(), out));
    EXPECT_TRUE(out.empty());

    session->lost();
    // Sorted, the withdrawals after the subscriptions, the monitor last.
    EXPECT_EQ(hex(kRegistration + subscription(e2e::kCmdRegEvent, {3, 7}) +
                  subscription(e2e::kCmdUnregEvent, {6, 0x8000}) + kSwitchOn),
              hex(connect(true)));
    EXPECT_EQ(1u, session->stats().reconnects);
    EXPECT_EQ((std::vector<int>{3, 7}), session->subscriptions());

    // Without registration: the lists alone, from the source id.
    start(false);
    std::string lists;
    ASSERT_TRUE(session->subscribe({5}, lists));
    EXPECT_EQ(hex(subscription(e2e::kCmdRegEvent, {5})), hex(lists));
    EXPECT_EQ(hex(lists), hex(connect()));
}

TEST_F(Session, ListsOfAtMost255EventsAndRefusedListsForgottenWhole)
{
    std::vector<int> many;
    for (int event = 1; event <= 600; ++event) {
        many.push_back(event);
    }
    std::string out;
    ASSERT_TRUE(session->subscribe(many, out));
    const std::vector<e2e::CutFrame> frames = e2e::cutFrames(out);
    ASSERT_EQ(3u, frames.size());
    const size_t counts[] = {255, 255, 90};
    int next = 1;
    for (size_t i = 0; i < frames.size(); ++i) {
        const std::string payload = frames[i].bytes.substr(13, frames[i].bytes.size() - 18);
        ASSERT_EQ(1 + 2 * counts[i], payload.size());
        EXPECT_EQ(counts[i], static_cast<unsigned char>(payload[0]));
        EXPECT_EQ(next, static_cast<unsigned char>(payload[1]) | static_cast<unsigned char>(payload[2]) << 8);
        next += static_cast<int>(counts[i]);
    }
    EXPECT_EQ(3u, e2e::cutFrames(connect()).size() - 1) << "restored in as many lists";

    out.clear();
    EXPECT_FALSE(session->subscribe({601, 0x8000}, out));
    EXPECT_FALSE(session->unsubscribe({1, 0x10000}, out));
    EXPECT_EQ("", out);
    EXPECT_EQ(600u, session->subscriptions().size());
}

TEST_F(Session, RegistrationRestoreAndConnectionNotices)
{
    const struct {
        const char *why;
        bool registering;
        std::function<void(Session &)> steps;
        std::vector<std::string> notices;
    } cases[] = {
        {"connect() itself is announced by its result", true, [](Session &) {}, {}},
        {"a loss once, the return when the hub answers", true,
         [](Session &t) {
             t.session->lost();
             t.session->lost();
             t.connect(true, 0, false);
             EXPECT_FALSE(t.session->registered());
             t.feed(kReply + kReply);
         },
         {"down", "up"}},
        {"lost again before the answer: no news", true,
         [](Session &t) {
             t.session->lost();
             t.connect(true, 0, false);
             t.session->lost();
             t.connect(true);
         },
         {"down", "up"}},
        {"a reply to another id is a frame", true,
         [](Session &t) {
             t.session->lost();
             t.connect(true, 0, false);
             t.feed(makeFrame(kId + 1, e2e::kHubId, e2e::kCmdReg));
         },
         {"frame 1>17 1 len 6 ", "down"}},
        {"without registration the return is at once", false,
         [](Session &t) {
             t.session->lost();
             t.connect(true);
         },
         {"down", "up"}},
        {"nothing after close", true,
         [](Session &t) {
             t.session->closed();
             t.session->lost();
         },
         {}},
    };
    for (const auto &c : cases) {
        start(c.registering);
        connect();
        session->established();
        c.steps(*this);
        EXPECT_EQ(c.notices, take()) << c.why;
    }

    // A reconnected hub gets registerTimeoutMs to answer.
    start();
    connect();
    session->established();
    session->lost();
    connect(true, 1000, false);
    EXPECT_FALSE(session->registrationOverdue(4000));
    EXPECT_TRUE(session->registrationOverdue(4001));
    feed(kReply);
    EXPECT_FALSE(session->registrationOverdue(9999));
    EXPECT_TRUE(session->registered());
}

TEST_F(Session, EachFrameReachesItsCallback)
{
    const struct {
        const char *why;
        std::string frame;
        std::string seen; // empty: no callback
    } cases[] = {
        {"a frame", makeFrame(kId, 0x20, 0x1234, "hi"), "frame 32>16 4660 len 8 hi"},
        {"len as sent", e2e::makeFrameWithLen(3, kId, 0x20, 0x42, "abc"), "frame 32>16 66 len 3 abc"},
        {"an event", e2e::eventDelivery(kId, bytes({5, 0}) + "abc"), "event 5 abc"},
        {"a departure", e2e::eventDelivery(kId, bytes({0, 0, 0x2A})), "departure 42"},
        {"event 0 of another size", e2e::eventDelivery(kId, bytes({0, 0, 1, 2})), "event 0 " + bytes({1, 2})},
        {"a delivery without its event number", e2e::eventDelivery(kId, bytes({5})),
         "frame 225>16 5 len 7 " + bytes({5})},
        {"a stray status part", statusPart(1, 1, "{}"), ""},
        {"a monitor record", monitorRecord(MonitorKind::Forwarded, "x"), "monitor 1 x"},
        {"a lost record", [] {
             std::string f;
             MonitorRecord::appendLostFrame(f, kId, 0, 12);
             return f;
         }(), "monitor 6 " + bytes({12, 0, 0, 0, 0, 0, 0, 0}) + " lost 12"},
        {"a monitor frame too short for a record", makeFrame(kId, e2e::kHubId, kCmdMonitor, "x"), ""},
        {"markers alone", "<start><end>", ""},
    };
    connect();
    for (const auto &c : cases) {
        feed(c.frame);
        EXPECT_EQ(c.seen.empty() ? std::vector<std::string>{} : std::vector<std::string>{c.seen}, take()) << c.why;
    }
    EXPECT_EQ(sizeof cases / sizeof cases[0] + 1, session->stats().framesReceived); // the reply too
    EXPECT_EQ(1u, session->stats().malformedFrames);

    // Without a departure callback the notice is event 0 with one byte;
    // without either, deliveries are frames.
    session->callbacks().onDeparture = nullptr;
    feed(e2e::eventDelivery(kId, bytes({0, 0, 0x2A})));
    EXPECT_EQ(std::vector<std::string>{"event 0 *"}, take());
    session->callbacks().onEvent = nullptr;
    feed(e2e::eventDelivery(kId, bytes({0, 0, 0x2A})));
    EXPECT_EQ(std::vector<std::string>{"frame 225>16 5 len 9 " + bytes({0, 0, 0x2A})}, take());
}

TEST_F(Session, BytesInAnyChunksAndNothingAfterACloseFromACallback)
{
    connect();
    const std::string stream = "junk" + makeFrame(kId, 0x20, 0x42, "one") + "<sta" + makeFrame(kId, 0x20, 0x42, "two");
    for (char c : stream) {
        session->feed(&c, 1);
    }
    EXPECT_EQ((std::vector<std::string>{"frame 32>16 66 len 9 one", "frame 32>16 66 len 9 two"}), take());

    session->callbacks().onFrame = [this](const pellix::FrameView &) {
        seen.push_back("closing");
        session->closed();
    };
    feed(makeFrame(kId, 0x20, 0x42, "a") + makeFrame(kId, 0x20, 0x42, "b"));
    EXPECT_EQ(std::vector<std::string>{"closing"}, take());
}

TEST_F(Session, StatusPartsAmongJunkAndOnlyWhileAsked)
{
    connect();
    const std::string document = "{\"padding\":\"" + std::string(3000, 'p') + "\"}";
    std::string out;
    session->beginStatus(out);
    EXPECT_EQ(hex(makeFrame(e2e::kHubId, kId, kCmdStatus)), hex(out));
    feed(statusPart(1, 2, "stale") + makeFrame(kId, e2e::kHubId, kCmdStatus, bytes({1, 0})) +
         statusPart(3, 2, "bad") + statusPart(1, 3, document.substr(0, 1000)));
    feed(e2e::eventDelivery(kId, bytes({9, 0}) + "during") + statusPart(2, 3, document.substr(1000, 1000)) +
         statusPart(2, 3, "repeated"));
    EXPECT_FALSE(session->statusAnswered());
    feed(statusPart(3, 3, document.substr(2000)));
    EXPECT_TRUE(session->statusAnswered());
    std::string json;
    ASSERT_TRUE(session->endStatus(pellix::Result(), json));
    EXPECT_EQ(document, json);
    EXPECT_EQ(std::vector<std::string>{"event 9 during"}, take()) << "parts never reach the frame callback";

    // A late answer to an abandoned request is dropped; a failed wait keeps its reason.
    session->beginStatus(out);
    json = "untouched";
    const pellix::Result waited(pellix::Status::NoReply, "no answer");
    EXPECT_EQ("no answer", session->endStatus(waited, json).message());
    feed(statusPart(1, 1, "{}"));
    EXPECT_EQ("untouched", json);
    EXPECT_TRUE(take().empty());

    // A reply beyond the collector's bound ends the wait with NoReply.
    session->beginStatus(out);
    const std::string piece(60000, 'x');
    for (int part = 1; part <= 300 && !session->statusAnswered(); ++part) {
        feed(statusPart(part, 300, piece));
    }
    ASSERT_TRUE(session->statusAnswered());
    const pellix::Result r = session->endStatus(pellix::Result(), json);
    EXPECT_EQ(pellix::Status::NoReply, r.status());
    EXPECT_EQ("the hub's status reply passed 16 MiB", r.message());
}

TEST_F(Session, MonitorOnRefusedAndLost)
{
    connect();
    session->established();
    std::string out;

    // Refused: the reason, escaped, and no switch-on after a reconnect.
    session->beginMonitor(out);
    EXPECT_EQ(hex(kSwitchOn), hex(out));
    feed(monitorRecord(MonitorKind::Refused, "8 monitors\x1b[2J"));
    ASSERT_TRUE(session->monitorAnswered());
    out.clear();
    pellix::Result r = session->endMonitor(pellix::Result(), out);
    EXPECT_EQ(pellix::Status::Refused, r.status());
    EXPECT_EQ("the hub at 127.0.0.1:10032 refused the monitor: 8 monitors.[2J", r.message());
    EXPECT_EQ("", out);
    EXPECT_FALSE(session->monitoring());

    // On: switched on again after a reconnect; refused then, it stays off.
    session->beginMonitor(out);
    feed(monitorRecord(MonitorKind::On));
    ASSERT_TRUE(session->endMonitor(pellix::Result(), out));
    EXPECT_TRUE(session->monitoring());
    session->lost();
    EXPECT_NE(std::string::npos, connect(true).find(kSwitchOn));
    feed(monitorRecord(MonitorKind::Refused, "full"));
    EXPECT_FALSE(session->monitoring());
    session->lost();
    EXPECT_EQ(std::string::npos, connect(true).find(kSwitchOn));
    // The records as they came; the connection's changes at the end of the pass.
    EXPECT_EQ((std::vector<std::string>{"monitor 7 8 monitors\x1b[2J", "monitor 0 ", "monitor 7 full", "down", "up",
                                        "down", "up"}),
              take());

    // No answer in time: switched off again, so a slow hub does not start later.
    out.clear();
    session->beginMonitor(out);
    out.clear();
    r = session->endMonitor(pellix::Result(pellix::Status::NoReply, "late"), out);
    EXPECT_EQ("late", r.message());
    EXPECT_EQ(hex(kSwitchOff), hex(out));
    EXPECT_FALSE(session->monitoring());
}

TEST_F(Session, WhatCallbacksThrowIsCaughtAndCounted)
{
    connect();
    session->established();
    bool inside = false;
    const auto fail = [&] {
        inside = session->inCallback();
        throw std::runtime_error("module bug");
    };
    pellix::ClientCallbacks &calls = session->callbacks();
    calls.onFrame = [&](const pellix::FrameView &) { fail(); };
    calls.onEvent = [&](int, const uint8_t *, size_t) { throw 42; };
    calls.onDeparture = [&](int) { fail(); };
    calls.onMonitor = [&](const pellix::MonitorView &) { fail(); };
    calls.onConnection = [&](bool) { fail(); };
    feed(makeFrame(kId, 0x20, 0x42) + e2e::eventDelivery(kId, bytes({5, 0})) +
         e2e::eventDelivery(kId, bytes({0, 0, 1})) + monitorRecord(MonitorKind::Forwarded));
    session->lost();
    session->deliverNotices();
    EXPECT_TRUE(inside);
    EXPECT_FALSE(session->inCallback());
    EXPECT_EQ(5u, session->stats().callbackExceptions);
}

// A request's reply is the first frame from its destination (with the reply
// command when one is asked for); every other frame still reaches the
// callbacks, and a reply that comes after the wait ended is a frame again.
TEST_F(Session, RequestTakesTheFirstMatchingReplyOnly)
{
    connect();
    std::string out;
    ASSERT_TRUE(session->beginRequest(0x20, 0x0010, "ping", 4, 0x0011, out));
    EXPECT_EQ(hex(makeFrame(0x20, kId, 0x0010, "ping")), hex(out));
    feed(makeFrame(kId, 0x30, 0x0011, "other module") + makeFrame(kId, 0x20, 0x0012, "other command"));
    EXPECT_FALSE(session->requestAnswered());
    feed(makeFrame(kId, 0x20, 0x0011, "pong") + makeFrame(kId, 0x20, 0x0011, "second"));
    EXPECT_TRUE(session->requestAnswered());
    pellix::Reply reply;
    ASSERT_TRUE(session->endRequest(pellix::Result(), reply));
    EXPECT_EQ(0x20, reply.srcId);
    EXPECT_EQ(kId, reply.devId);
    EXPECT_EQ(0x0011, reply.cmd);
    EXPECT_EQ("pong", reply.payload);
    EXPECT_EQ((std::vector<std::string>{"frame 48>16 17 len 18 other module", "frame 32>16 18 len 19 other command",
                                        "frame 32>16 17 len 12 second"}),
              take());

    // Unanswered: the wait's own result; any command will do without one asked for.
    out.clear();
    ASSERT_TRUE(session->beginRequest(0x20, 1, nullptr, 0, -1, out));
    const pellix::Result late = session->endRequest(pellix::Result(pellix::Status::NoReply, "late"), reply);
    EXPECT_EQ(pellix::Status::NoReply, late.status());
    EXPECT_EQ("late", late.message());
    feed(makeFrame(kId, 0x20, 0x0077));
    EXPECT_EQ(1u, take().size());
    ASSERT_TRUE(session->beginRequest(0x20, 1, nullptr, 0, -1, out));
    feed(makeFrame(kId, 0x20, 0x0077, "any"));
    ASSERT_TRUE(session->endRequest(pellix::Result(), reply));
    EXPECT_EQ("any", reply.payload);

    // Refused before anything is built: event-command ids, an unregistered client.
    out.clear();
    EXPECT_EQ(pellix::Status::InvalidArgument, session->beginRequest(0xE1, 5, nullptr, 0, -1, out).status());
    EXPECT_EQ(pellix::Status::InvalidArgument, session->beginRequest(0x20, 0x10000, nullptr, 0, -1, out).status());
    start(false);
    EXPECT_EQ(pellix::Status::InvalidArgument, session->beginRequest(0x20, 1, nullptr, 0, -1, out).status());
    EXPECT_EQ("", out);
}

TEST_F(Session, CallsAreCheckedBeforeAnythingIsBuilt)
{
    std::string out;
    ASSERT_TRUE(session->frame(0x20, 0xBEEF, "\x01", 1, out));
    ASSERT_TRUE(session->publish(9, "xyz", 3, out));
    ASSERT_TRUE(session->traceLevel(3, out));
    ASSERT_TRUE(session->report("{}", out));
    EXPECT_EQ(hex(makeFrame(0x20, kId, 0xBEEF, bytes({1})) +
                  makeFrame(e2e::kEventMgrId, kId, e2e::kCmdPublishEvent, bytes({9, 0}) + "xyz") +
                  makeFrame(e2e::kHubId, kId, e2e::kCmdSetDebugLevel, bytes({3, 0, 0, 0})) +
                  makeFrame(e2e::kHubId, kId, kCmdReport, "{}")),
              hex(out));

    out.clear();
    EXPECT_FALSE(session->frame(0x100, 1, nullptr, 0, out));
    EXPECT_FALSE(session->frame(0x20, 0x10000, nullptr, 0, out));
    EXPECT_FALSE(session->publish(0, nullptr, 0, out));
    EXPECT_FALSE(session->traceLevel(7, out));
    EXPECT_FALSE(session->report("", out));
    EXPECT_FALSE(session->report(std::string(1025, 'r'), out));
    EXPECT_EQ("", out);
}

} // namespace
} // namespace sdk
