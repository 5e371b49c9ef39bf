// Hostile and broken input: malformed frames, random bytes and datagrams,
// peers that vanish in the middle of a frame. The hub must stay up and keep
// forwarding between the well-behaved modules byte for byte.

#include <random>

#include "tests/e2e/E2eFixture.h"

namespace e2e {
namespace {

class E2eRobustness : public E2eFixture {};

std::string randomBytes(std::mt19937 &rng, size_t size)
{
    std::uniform_int_distribution<int> byte(0, 255);
    std::string out(size, '\0');
    for (char &c : out) {
        c = static_cast<char>(byte(rng));
    }
    return out;
}

// Random bytes that hold no marker: no '<' at all.
std::string markerFreeBytes(std::mt19937 &rng, size_t size)
{
    std::string out = randomBytes(rng, size);
    for (char &c : out) {
        if (c == '<') {
            c = 'x';
        }
    }
    return out;
}

// What the hub sent to a subscriber must be well-formed deliveries from the
// event manager, whatever it was given.
void expectOnlyDeliveries(const std::string &received, uint8_t subscriber)
{
    std::string rest;
    for (const CutFrame &frame : cutFrames(received, &rest)) {
        EXPECT_EQ(subscriber, frame.dev) << hex(frame.bytes);
        EXPECT_EQ(kEventMgrId, frame.src) << hex(frame.bytes);
        EXPECT_EQ(kCmdPublishEvent, frame.cmd) << hex(frame.bytes);
        EXPECT_EQ(frame.bytes.size() - 12, frame.len) << "len must match the payload: " << hex(frame.bytes);
    }
    EXPECT_EQ("", rest) << "bytes outside any frame: " << hex(rest);
}

TEST_F(E2eRobustness, MalformedFramesAreDroppedAndGoodOnesStillForwarded)
{
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    ModuleClient subscriber = tcpModule(0x10, "modA");
    ModuleClient sender = tcpModule(0x20, "modB");
    ModuleClient receiver = unixModule(0x30, "modC");
    ModuleClient bad = tcpModule(0x40, "modBad");
    ASSERT_TRUE(subscriber.subscribe({3}));
    const std::string record = readFile(daemon.regMapPath());
    ASSERT_EQ("{\n   \"3\" : [ 16 ]\n}\n", record);

    std::string unexpected;
    std::string delivered;
    struct Case {
        const char *what;
        std::string frame;
    };
    const Case cases[] = {
        {"markers only", "<start><end>"},
        {"header cut short", "<start>" + bytes({0x06, 0x00, 0x01}) + "<end>"},
        {"len below 6", makeFrameWithLen(2, kEventMgrId, 0x40, kCmdPublishEvent, bytes({0x03, 0x00, 0xAA}))},
        {"level command with 2 payload bytes", makeFrame(kHubId, 0x40, kCmdSetDebugLevel, bytes({0x06, 0x00}))},
        {"subscription list claiming 200 ids in 2 bytes",
         makeFrame(kEventMgrId, 0x40, kCmdRegEvent, bytes({200, 0x05}))},
        {"unsubscription list claiming 200 ids in 1 byte",
         makeFrame(kEventMgrId, 0x40, kCmdUnregEvent, bytes({200}))},
        {"1-byte publication", makeFrame(kEventMgrId, 0x40, kCmdPublishEvent, bytes({0x03}))},
        {"empty publication", makeFrame(kEventMgrId, 0x40, kCmdPublishEvent, "")},
        {"unknown hub command", makeFrame(kHubId, 0x40, 0x0099, "")},
        {"unknown event command", makeFrame(0xE5, 0x40, 0x0009, bytes({0x03, 0x00}))},
        {"module id nobody holds", makeFrame(0x55, 0x40, 0x0042, "")},
    };
    for (const Case &c : cases) {
        ASSERT_TRUE(bad.send(c.frame)) << c.what;
        ASSERT_TRUE(bad.ping(&unexpected)) << "after " << c.what << ", instead of the echo: " << hex(unexpected);
        ASSERT_TRUE(daemon.running()) << "after " << c.what;
    }
    delivered += subscriber.readFor(20);
    EXPECT_EQ(record, readFile(daemon.regMapPath())) << "no subscription came of the short lists";

    // Of a list that claims more ids than it holds, the ids that are there
    // count.
    ASSERT_TRUE(bad.send(makeFrame(kEventMgrId, 0x40, kCmdRegEvent, bytes({200, 0x07, 0x00, 0x08}))));
    ASSERT_TRUE(bad.ping(&unexpected)) << hex(unexpected);
    EXPECT_EQ("{\n   \"3\" : [ 16 ],\n   \"7\" : [ 64 ]\n}\n", readFile(daemon.regMapPath()));
    ASSERT_TRUE(sender.send(makeFrame(kEventMgrId, 0x20, kCmdPublishEvent, bytes({0x07, 0x00}))));
    EXPECT_EQ(hex(eventDelivery(0x40, bytes({0x07, 0x00}))), hex(bad.readExactly(20)));

    // len claiming more than the frame holds: a publication takes only the
    // bytes that are there ...
    ASSERT_TRUE(bad.send(makeFrameWithLen(200, kEventMgrId, 0x40, kCmdPublishEvent, bytes({0x03, 0x00, 0xAA}))));
    ASSERT_TRUE(bad.ping(&unexpected)) << hex(unexpected);
    delivered += subscriber.readFor(20);
    expectOnlyDeliveries(delivered, 0x10);
    EXPECT_NE(std::string::npos, delivered.find(eventDelivery(0x10, bytes({0x03, 0x00, 0xAA})))) << hex(delivered);

    // ... and a forwarded frame goes as it is.
    const std::string longLen = makeFrameWithLen(0x1000, 0x30, 0x40, 0x0042, bytes({0xAA, 0xBB}));
    ASSERT_TRUE(bad.send(longLen));
    EXPECT_EQ(hex(longLen), hex(receiver.readExactly(longLen.size())));

    // "<end>" inside a payload ends the frame there; the rest is dropped.
    const std::string early = makeFrame(0x30, 0x40, 0x0042, "ab<end>cd");
    ASSERT_TRUE(bad.send(early));
    ASSERT_TRUE(bad.ping(&unexpected)) << hex(unexpected);
    EXPECT_EQ(hex(early.substr(0, 20)), hex(receiver.readExactly(20)));

    // Two good modules still talk byte for byte, and nothing else reached
    // the receiver.
    const std::string good = makeFrame(0x30, 0x20, 0x0042, bytes({0xAA, 0xBB}));
    ASSERT_TRUE(sender.send(good));
    EXPECT_EQ(hex(good), hex(receiver.readExactly(good.size())));
    EXPECT_TRUE(receiver.ping(&unexpected)) << hex(unexpected);
    ASSERT_TRUE(sender.send(makeFrame(kEventMgrId, 0x20, kCmdPublishEvent, bytes({0x03, 0x00, 0x01}))));
    EXPECT_EQ(hex(eventDelivery(0x10, bytes({0x03, 0x00, 0x01}))), hex(subscriber.readExactly(21)));

    expectStopsCleanly();
    const std::string out = daemon.stdoutText();
    EXPECT_NE(std::string::npos, out.find("not find this cmd: 0x0099\n")) << out;
    // The short level command changed nothing: no level-6 lines.
    EXPECT_EQ(std::string::npos, out.find("set debug level")) << out;
    EXPECT_EQ(std::string::npos, out.find("len = ")) << out;
}

TEST_F(E2eRobustness, RandomBytesAndDatagramsLeaveForwardingIntact)
{
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    ModuleClient sender = tcpModule(0x20, "modB");
    ModuleClient receiver = unixModule(0x30, "modC");
    std::mt19937 rng(20191113);
    std::string unexpected;

    // 1 MB of noise on one connection. Its own echo afterwards comes back
    // only once the hub has read past all of it, and shows the connection
    // still usable.
    ModuleClient noise = tcpModule(0x50, "modNoise");
    ASSERT_TRUE(noise.send(randomBytes(rng, 1 << 20)));
    EXPECT_TRUE(noise.ping(&unexpected)) << hex(unexpected.substr(0, 64));

    // A start marker that no end marker follows within the largest possible
    // frame is given up, so a good frame behind it is cut as it should be.
    ModuleClient stuck = ModuleClient::unixStream(daemon.unixSocketPath());
    ASSERT_TRUE(stuck.isOpen()) << stuck.error();
    const std::string behind = makeFrame(0x30, 0x21, 0x0042, "behind the noise");
    ASSERT_TRUE(stuck.send("<start>" + markerFreeBytes(rng, 100000) + behind));
    EXPECT_EQ(hex(behind), hex(receiver.readExactly(behind.size())));

    // Random datagrams, in batches the socket buffer can hold, each batch
    // followed by a good datagram that must come through whole.
    ModuleClient datagrams = ModuleClient::udp(daemon.port());
    ASSERT_TRUE(datagrams.isOpen()) << datagrams.error();
    std::uniform_int_distribution<int> size(1, 1400);
    for (int batch = 0; batch < 3; ++batch) {
        for (int i = 0; i < 16; ++i) {
            ASSERT_TRUE(datagrams.send(randomBytes(rng, static_cast<size_t>(size(rng)))));
        }
        const std::string marker = makeFrame(0x30, 0x22, 0x0042, bytes({batch}));
        ASSERT_TRUE(datagrams.send(marker));
        EXPECT_EQ(hex(marker), hex(receiver.readExactly(marker.size()))) << "after batch " << batch;
    }

    noise.close();
    stuck.close();
    const std::string good = makeFrame(0x30, 0x20, 0x0042, bytes({0xAA, 0xBB}));
    ASSERT_TRUE(sender.send(good));
    EXPECT_EQ(hex(good), hex(receiver.readExactly(good.size())));
    EXPECT_TRUE(receiver.ping(&unexpected)) << hex(unexpected);
    EXPECT_TRUE(sender.ping(&unexpected)) << hex(unexpected);
    EXPECT_TRUE(daemon.running());

    expectStopsCleanly();
}

TEST_F(E2eRobustness, PeersThatVanishMidFrameAreForgotten)
{
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    ModuleClient watcher = tcpModule(0x11, "modW");
    ASSERT_TRUE(watcher.subscribe({0}));

    // Registered, then gone with half a frame sent.
    ModuleClient closing = tcpModule(0x13, "modClose");
    ASSERT_TRUE(closing.send("<start>" + bytes({0x08, 0x00, 0x11})));
    closing.close();
    EXPECT_EQ(hex(eventDelivery(0x11, bytes({0x00, 0x00, 0x13}))), hex(watcher.readExactly(21)));

    // Registered, then reset with half a frame sent.
    ModuleClient resetting = unixModule(0x12, "modReset");
    ASSERT_TRUE(resetting.send("<start>" + bytes({0x08})));
    resetting.reset();
    EXPECT_EQ(hex(eventDelivery(0x11, bytes({0x00, 0x00, 0x12}))), hex(watcher.readExactly(21)));

    ModuleClient resettingTcp = tcpModule(0x14, "modResetTcp");
    ASSERT_TRUE(resettingTcp.send("<sta"));
    resettingTcp.reset();
    EXPECT_EQ(hex(eventDelivery(0x11, bytes({0x00, 0x00, 0x14}))), hex(watcher.readExactly(21)));

    // Never registered: nobody is told.
    ModuleClient stranger = ModuleClient::tcp(daemon.port());
    ASSERT_TRUE(stranger.isOpen());
    ASSERT_TRUE(stranger.send("<start>" + bytes({0x08, 0x00})));
    stranger.close();

    std::string unexpected;
    EXPECT_TRUE(DaemonProcess::waitForText(daemon.logPath(), "mod name: modResetTcp\n", kReplyTimeoutMs));
    EXPECT_TRUE(watcher.ping(&unexpected)) << hex(unexpected);

    // The ids are free for new connections, whose frames arrive whole: none
    // of the half frames left anything behind.
    ModuleClient again = unixModule(0x12, "modReset");
    const std::string frame = makeFrame(0x12, 0x11, 0x0042, bytes({0x01, 0x02}));
    ASSERT_TRUE(watcher.send(frame));
    EXPECT_EQ(hex(frame), hex(again.readExactly(frame.size())));
    EXPECT_TRUE(again.ping(&unexpected)) << hex(unexpected);

    const std::string log = daemon.logText();
    const std::string closedFd = loggedFd(19, "modClose");
    EXPECT_NE(std::string::npos, log.find("remove modId: 19, fd :" + closedFd + ", mod name: modClose\n")) << log;
    EXPECT_NE(std::string::npos, log.find("remove modId: 18, fd :")) << log;
    expectStopsCleanly();
}

} // namespace
} // namespace e2e
