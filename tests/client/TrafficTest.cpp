// Frames, events and departures between SDK clients and raw modules, the
// two ways of driving a client, what its callbacks may do, the hub's
// commands and fire-and-forget datagrams.

#include <poll.h>

#include <thread>

#include <pellix/CUdpSender.h>

#include "tests/client/ClientFixture.h"

namespace sdk {
namespace {

using e2e::bytes;
using e2e::hex;
using e2e::makeFrame;

class ClientTraffic : public ClientFixture {
protected:
    void SetUp() override { ASSERT_TRUE(daemon.start()) << daemon.lastError(); }
};

size_t countOf(const std::string &text, const std::string &needle)
{
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

TEST_F(ClientTraffic, FramesBothWaysWithSixteenBitCommands)
{
    pellix::CPellixClient client(tcpOptions(0x10, "sdk-frames"));
    Seen seen;
    seen.attach(client);
    ASSERT_TRUE(client.connect());
    e2e::ModuleClient raw = rawModule(0x20, "raw-frames");

    // To the client: header split out, payload whole, even when the frame
    // needs several reads.
    const std::string big(3000, 'b');
    ASSERT_TRUE(raw.send(makeFrame(0x10, 0x20, 0x1234, "hello") + makeFrame(0x10, 0x20, 0x0042, big)));
    ASSERT_TRUE(pollUntil(client, [&] { return seen.frames.size() == 2; }));
    EXPECT_EQ(0x10, seen.frames[0].dev);
    EXPECT_EQ(0x20, seen.frames[0].src);
    EXPECT_EQ(0x1234, seen.frames[0].cmd);
    EXPECT_EQ(11, seen.frames[0].len);
    EXPECT_EQ("hello", seen.frames[0].payload);
    EXPECT_EQ(big, seen.frames[1].payload);

    // From the client: exactly the frame a module would build by hand, up
    // to the largest payload there is.
    ASSERT_TRUE(client.send(0x20, 0xBEEF, bytes({0x00, 0x01, 0xFF})));
    EXPECT_EQ(hex(makeFrame(0x20, 0x10, 0xBEEF, bytes({0x00, 0x01, 0xFF}))), hex(raw.readExactly(21)));
    ASSERT_TRUE(client.send(0x20, 0x0001, nullptr, 0));
    EXPECT_EQ(hex(makeFrame(0x20, 0x10, 0x0001)), hex(raw.readExactly(18)));
    const std::string largest(pellix::kMaxPayload, 'L');
    ASSERT_TRUE(client.send(0x20, 0x0042, largest));
    const std::string expected = makeFrame(0x20, 0x10, 0x0042, largest);
    EXPECT_TRUE(expected == raw.readExactly(expected.size())) << "the largest frame did not arrive whole";
    EXPECT_EQ(3u, client.stats().framesReceived);
}

// request() against a raw module that answers from a thread of its own, and
// one that never answers.
TEST_F(ClientTraffic, RequestAnsweredAndTimedOut)
{
    pellix::CPellixClient client(tcpOptions(0x10, "sdk-request"));
    Seen seen;
    seen.attach(client);
    ASSERT_TRUE(client.connect());
    e2e::ModuleClient raw = rawModule(0x20, "raw-answerer");
    std::thread answerer([&] {
        const std::string asked = raw.readExactly(22);
        EXPECT_EQ(hex(makeFrame(0x20, 0x10, 0x0010, "ping")), hex(asked));
        raw.send(makeFrame(0x10, 0x20, 0x0099, "not yet") + makeFrame(0x10, 0x20, 0x0011, "pong"));
    });
    pellix::Reply reply;
    const pellix::Result r = client.request(0x20, 0x0010, "ping", reply, 5000, 0x0011);
    answerer.join();
    ASSERT_TRUE(r) << r.message();
    EXPECT_EQ("pong", reply.payload);
    EXPECT_EQ(0x0011, reply.cmd);
    ASSERT_TRUE(pollUntil(client, [&] { return seen.frames.size() == 1; }));
    EXPECT_EQ("not yet", seen.frames[0].payload);

    const pellix::Result silent = client.request(0x20, 0x0010, "ping", reply, 200);
    EXPECT_EQ(pellix::Status::NoReply, silent.status());
    EXPECT_EQ("no reply from 0x20 within 200 ms", silent.message());
}

TEST_F(ClientTraffic, EventsInBothDirectionsAndWithdrawal)
{
    pellix::CPellixClient client(tcpOptions(0x10, "sdk-events"));
    Seen seen;
    seen.attach(client);
    ASSERT_TRUE(client.subscribe({3, 7})); // remembered, sent on connect
    ASSERT_TRUE(client.connect());
    ASSERT_TRUE(roundTrip(client, seen));
    e2e::ModuleClient raw = rawModule(0x20, "raw-events");
    ASSERT_TRUE(raw.subscribe({9}));

    ASSERT_TRUE(raw.send(makeFrame(e2e::kEventMgrId, 0x20, e2e::kCmdPublishEvent, bytes({3, 0, 'a', 'b', 'c'}))));
    ASSERT_TRUE(pollUntil(client, [&] { return seen.events.size() == 1; }));
    EXPECT_EQ(3, seen.events[0].event);
    EXPECT_EQ("abc", seen.events[0].data);
    EXPECT_TRUE(seen.frames.empty()) << "a delivery is no frame for the frame callback";

    ASSERT_TRUE(client.publish(9, "xyz"));
    EXPECT_EQ(hex(e2e::eventDelivery(0x20, bytes({9, 0, 'x', 'y', 'z'}))), hex(raw.readExactly(23)));
    ASSERT_TRUE(client.publish(9, nullptr, 0));
    EXPECT_EQ(hex(e2e::eventDelivery(0x20, bytes({9, 0}))), hex(raw.readExactly(20)));

    ASSERT_TRUE(client.unsubscribe({3}));
    ASSERT_TRUE(roundTrip(client, seen));
    EXPECT_EQ(std::vector<int>{7}, client.subscriptions());
    ASSERT_TRUE(raw.send(makeFrame(e2e::kEventMgrId, 0x20, e2e::kCmdPublishEvent, bytes({3, 0, 1}))));
    ASSERT_TRUE(raw.send(makeFrame(e2e::kEventMgrId, 0x20, e2e::kCmdPublishEvent, bytes({7, 0, 2}))));
    ASSERT_TRUE(pollUntil(client, [&] { return seen.events.size() == 2; }));
    EXPECT_EQ(7, seen.events[1].event);
    EXPECT_EQ(bytes({2}), seen.events[1].data);

    // More events than one subscription frame can list.
    std::vector<int> many;
    for (int event = 1000; event < 1300; ++event) {
        many.push_back(event);
    }
    ASSERT_TRUE(client.subscribe(many));
    ASSERT_TRUE(roundTrip(client, seen));
    ASSERT_TRUE(raw.send(makeFrame(e2e::kEventMgrId, 0x20, e2e::kCmdPublishEvent, bytes({0x13, 0x05}))));
    ASSERT_TRUE(pollUntil(client, [&] { return seen.events.size() == 3; }));
    EXPECT_EQ(1299, seen.events[2].event); // 0x0513, beyond the first 255
}

TEST_F(ClientTraffic, DeparturesWithTheModuleIdSplitOut)
{
    pellix::CPellixClient watcher(tcpOptions(0x10, "sdk-watcher"));
    Seen seen;
    seen.attach(watcher);
    ASSERT_TRUE(watcher.subscribe({pellix::kDepartureEvent}));
    ASSERT_TRUE(watcher.connect());
    // Without a departure callback the notice is event 0 with one byte.
    pellix::CPellixClient plain(unixOptions(0x11, "sdk-plain"));
    std::vector<std::pair<int, std::string>> plainEvents;
    plain.setEventCallback([&](int event, const uint8_t *data, size_t size) {
        plainEvents.emplace_back(event, std::string(reinterpret_cast<const char *>(data), size));
    });
    ASSERT_TRUE(plain.subscribe({pellix::kDepartureEvent}));
    ASSERT_TRUE(plain.connect());
    ASSERT_TRUE(roundTrip(watcher, seen));
    Seen plainSeen;
    plain.setFrameCallback([&](const pellix::FrameView &f) {
        plainSeen.frames.push_back(
            Seen::Frame{f.devId, f.srcId, f.cmd, f.len, std::string(reinterpret_cast<const char *>(f.payload), f.payloadSize)});
    });
    ASSERT_TRUE(roundTrip(plain, plainSeen));

    {
        e2e::ModuleClient leaving = rawModule(0x2A, "raw-leaving");
    }
    ASSERT_TRUE(pollUntil(watcher, [&] { return !seen.departures.empty(); }));
    EXPECT_EQ(std::vector<int>{0x2A}, seen.departures);
    EXPECT_TRUE(seen.events.empty());
    ASSERT_TRUE(pollUntil(plain, [&] { return !plainEvents.empty(); }));
    EXPECT_EQ(0, plainEvents[0].first);
    EXPECT_EQ(bytes({0x2A}), plainEvents[0].second);

    // An SDK module that closes is announced the same way.
    plain.close();
    ASSERT_TRUE(pollUntil(watcher, [&] { return seen.departures.size() == 2; }));
    EXPECT_EQ(0x11, seen.departures[1]);
}

TEST_F(ClientTraffic, DrivenFromTheModulesOwnLoopOrByRun)
{
    pellix::CPellixClient client(tcpOptions(0x10, "sdk-loop"));
    Seen seen;
    seen.attach(client);
    ASSERT_TRUE(client.connect());
    e2e::ModuleClient raw = rawModule(0x20, "raw-loop");

    // The module watches fd() itself and lets the client serve it.
    ASSERT_TRUE(raw.send(makeFrame(0x10, 0x20, 0x0042, "one")));
    struct pollfd ready = {client.fd(), POLLIN, 0};
    ASSERT_EQ(1, ::poll(&ready, 1, 5000));
    EXPECT_TRUE(seen.frames.empty());
    EXPECT_EQ(0, client.poll(0));
    ASSERT_EQ(1u, seen.frames.size());
    EXPECT_EQ("one", seen.frames[0].payload);

    // run() serves until a callback (or anyone) calls stop(). Inside a
    // callback the client cannot be re-entered.
    pellix::Result nested;
    int nestedPoll = 0;
    client.setFrameCallback([&](const pellix::FrameView &) {
        nested = client.connect();
        nestedPoll = client.poll(0);
        client.stop();
    });
    ASSERT_TRUE(raw.send(makeFrame(0x10, 0x20, 0x0042, "two")));
    EXPECT_EQ(0, client.run());
    EXPECT_EQ(pellix::Status::Busy, nested.status());
    EXPECT_EQ(-1, nestedPoll);
    EXPECT_TRUE(client.isRegistered()) << "the refused connect() left the connection alone";

    // An exception from a callback is caught and counted; the next frame
    // is served as usual.
    int calls = 0;
    client.setFrameCallback([&](const pellix::FrameView &) {
        if (++calls == 1) {
            throw std::runtime_error("module bug");
        }
    });
    ASSERT_TRUE(raw.send(makeFrame(0x10, 0x20, 0x0042, "three") + makeFrame(0x10, 0x20, 0x0042, "four")));
    ASSERT_TRUE(pollUntil(client, [&] { return calls == 2; }));
    EXPECT_EQ(1u, client.stats().callbackExceptions);

    // Sending, and even closing, from a callback is fine.
    client.setFrameCallback([&](const pellix::FrameView &f) {
        client.send(f.srcId, 0x0043, "answer");
        client.close();
    });
    ASSERT_TRUE(raw.send(makeFrame(0x10, 0x20, 0x0042, "five") + makeFrame(0x10, 0x20, 0x0042, "six")));
    ASSERT_TRUE(pollUntil(client, [&] { return !client.isConnected(); }));
    EXPECT_EQ(hex(makeFrame(0x20, 0x10, 0x0043, "answer")), hex(raw.readExactly(24)));
    EXPECT_EQ(0u, raw.readFor(200).size()) << "one answer only: the client closed after it";
}

TEST_F(ClientTraffic, HubCommandsOverTheStreamAndByDatagram)
{
    pellix::ClientOptions options = tcpOptions(0x10, "sdk-commands");
    options.registerModule = false;
    pellix::CPellixClient client(options);
    ASSERT_TRUE(client.connect());
    ASSERT_TRUE(client.dumpSockets());
    ASSERT_TRUE(client.toggleDataPrint());
    ASSERT_TRUE(client.setHubTraceLevel(3));
    ASSERT_TRUE(client.heartbeat());

    pellix::CUdpSender udp;
    ASSERT_TRUE(udp.open("127.0.0.1", daemon.port(), 0x30));
    ASSERT_TRUE(udp.toggleDataPrint());
    ASSERT_TRUE(udp.setHubTraceLevel(4));
    ASSERT_TRUE(udp.dumpSockets());
    // The frames are handled in order; the last one is answered.
    e2e::ModuleClient raw = rawModule(0x20, "raw-commands");
    ASSERT_TRUE(udp.send(0x20, 0x0042, "by-udp"));
    EXPECT_EQ(hex(makeFrame(0x20, 0x30, 0x0042, "by-udp")), hex(raw.readExactly(24)));

    EXPECT_EQ(255, daemon.stop(SIGTERM));
    const std::string out = daemon.stdoutText();
    EXPECT_EQ(1u, countOf(out, "open data print\n")) << out;
    EXPECT_EQ(1u, countOf(out, "close data print\n")) << out;
    EXPECT_EQ(1u, countOf(out, "set debug level: 3\n")) << out;
    EXPECT_EQ(1u, countOf(out, "set debug level: 4\n")) << out;
    // One table for each accepted connection, one for each dump command.
    EXPECT_GE(countOf(out, "socket map list:\n"), 4u) << out;
    EXPECT_EQ(1u, countOf(out, "heart cmd from dev: ")) << out;
}

TEST_F(ClientTraffic, PublicationByDatagram)
{
    e2e::ModuleClient raw = rawModule(0x20, "raw-udp");
    ASSERT_TRUE(raw.subscribe({5}));
    pellix::CUdpSender udp;
    ASSERT_TRUE(udp.open("localhost", daemon.port()));
    ASSERT_TRUE(udp.publish(5, "fire-and-forget"));
    EXPECT_EQ(hex(e2e::eventDelivery(0x20, bytes({5, 0}) + "fire-and-forget")), hex(raw.readExactly(35)));
    // The largest datagram payload still arrives whole.
    const std::string data(pellix::kMaxUdpPayload - 2, 'u');
    ASSERT_TRUE(udp.publish(5, data));
    const std::string expected = e2e::eventDelivery(0x20, bytes({5, 0}) + data);
    EXPECT_EQ(hex(expected), hex(raw.readExactly(expected.size())));
}

} // namespace
} // namespace sdk
