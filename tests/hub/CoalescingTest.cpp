// What one read routes is written per destination in one go: forwarded
// frames, event deliveries and registration replies reach each connection
// byte for byte and in stream order, whatever else lies between them, and
// are on their way before the read callback returns.

#include "tests/hub/PellixFixture.h"

namespace {

// A connection that counts the hub's sends to it.
class CountingClient : public CTcpClient {
public:
    CountingClient() : CTcpClient("", 0) {}
    int sendData(const void *data, int len) override
    {
        ++sends;
        return CTcpClient::sendData(data, len);
    }
    int sends = 0;
};

class CoalescingTest : public PellixFixture {
protected:
    struct Counted {
        Module module;
        CountingClient *counter;
    };
    Counted registeredCounting(int id, const std::string &name)
    {
        int pair[2] = {-1, -1};
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        Counted c;
        c.counter = new CountingClient();
        c.counter->setConnType(CObjectBase::kAccepted);
        c.counter->setSocket(pair[0]);
        c.module.client = c.counter;
        c.module.peer = pair[1];
        peers.push_back(pair[1]);
        hub->onAcceptNewTcpClient(c.counter, nullptr, nullptr);
        send(c.module, makeFrame(CENTER_DEV_ID, id, CMD_REG, name));
        EXPECT_EQ(drain(c.module.peer), makeFrame(id, CENTER_DEV_ID, CMD_REG));
        c.counter->sends = 0;
        return c;
    }
    // One read of everything the peer has written so far (at most 2048
    // bytes, as the loop would take it).
    static void readOnce(const Module &m) { m.client->onReadAble(); }
};

TEST_F(CoalescingTest, OneReadOfMixedFramesReachesEachConnectionInOrderWithOneWrite)
{
    Counted a = registeredCounting(0x20, "a");
    Counted b = registeredCounting(0x10, "b");
    Counted c = registeredCounting(0x11, "c");
    for (const Counted *m : {&b, &c, &a}) {
        const int id = m == &a ? 0x20 : m == &b ? 0x10 : 0x11;
        send(m->module, makeFrame(EVENT_MGR_DEV_ID, id, CMD_REG_EVENT, bytes({0x01, 0x05, 0x00})));
        m->counter->sends = 0;
    }

    const std::string toB1 = makeFrame(0x10, 0x20, 0x42, "one");
    const std::string publish = makeFrame(EVENT_MGR_DEV_ID, 0x20, CMD_PUBLISH_EVENT, bytes({0x05, 0x00, 'E'}));
    const std::string toC = makeFrame(0x11, 0x20, 0x42, "two");
    const std::string secondId = makeFrame(CENTER_DEV_ID, 0x21, CMD_REG, "a2");
    const std::string toB2 = makeFrame(0x10, 0x20, 0x43, "three");
    const std::string toSelf = makeFrame(0x21, 0x20, 0x44, "self");
    const std::string nowhere = makeFrame(0x33, 0x20, 0x45, "lost");
    const std::string read = "junk" + toB1 + publish + toC + secondId + toB2 + toSelf + nowhere;
    ASSERT_LE(read.size(), static_cast<size_t>(CSocketClient::kReadSize));
    sendAll(a.module.peer, read);
    readOnce(a.module);

    EXPECT_EQ(drain(b.module.peer),
              toB1 + makeFrame(0x10, EVENT_MGR_DEV_ID, CMD_PUBLISH_EVENT, bytes({0x05, 0x00, 'E'})) + toB2);
    EXPECT_EQ(drain(c.module.peer), makeFrame(0x11, EVENT_MGR_DEV_ID, CMD_PUBLISH_EVENT, bytes({0x05, 0x00, 'E'})) + toC);
    EXPECT_EQ(drain(a.module.peer), makeFrame(0x20, EVENT_MGR_DEV_ID, CMD_PUBLISH_EVENT, bytes({0x05, 0x00, 'E'})) +
                                        makeFrame(0x21, CENTER_DEV_ID, CMD_REG) + toSelf);
    EXPECT_EQ(b.counter->sends, 1);
    EXPECT_EQ(c.counter->sends, 1);
    EXPECT_EQ(a.counter->sends, 1);
    EXPECT_EQ(moduleAt(0x21), a.module.client);
}

TEST_F(CoalescingTest, WhatOneReadRoutedIsWrittenBeforeTheNextRead)
{
    Counted a = registeredCounting(0x20, "a");
    Counted b = registeredCounting(0x10, "b");
    const std::string first = makeFrame(0x10, 0x20, 0x42, "first");
    const std::string second = makeFrame(0x10, 0x20, 0x42, "second");
    const std::string third = makeFrame(0x10, 0x20, 0x42, "third");

    sendAll(a.module.peer, first + second.substr(0, 9));
    readOnce(a.module);
    EXPECT_EQ(drain(b.module.peer), first);
    sendAll(a.module.peer, second.substr(9) + third);
    readOnce(a.module);
    EXPECT_EQ(drain(b.module.peer), second + third);
    EXPECT_EQ(b.counter->sends, 2);
}

TEST_F(CoalescingTest, LargeFrameKeepsItsPlaceAmongSmallOnes)
{
    Counted a = registeredCounting(0x20, "a");
    Counted b = registeredCounting(0x10, "b");
    std::string payload(20000, 'p');
    payload[0] = 'x';
    const std::string small1 = makeFrame(0x10, 0x20, 0x42, "s1");
    const std::string large = makeFrame(0x10, 0x20, 0x42, payload);
    const std::string small2 = makeFrame(0x10, 0x20, 0x42, "s2");
    const std::string stream = small1 + large + small2 + small1;

    // Written and read piece by piece, as the loop takes at most 2048 bytes.
    std::string received;
    for (size_t at = 0; at < stream.size(); at += 3000) {
        sendAll(a.module.peer, stream.substr(at, 3000));
        pump(a.module);
        received += drain(b.module.peer);
    }
    EXPECT_EQ(received.size(), stream.size());
    EXPECT_TRUE(received == stream) << "the bytes differ or are out of order";
}

TEST_F(CoalescingTest, DatagramFramesReachEachConnectionInOrderWithOneWrite)
{
    hub->initServers(0, dir.file("qm_sock")); // creates the shared UDP splitter
    Counted b = registeredCounting(0x10, "b");
    Counted c = registeredCounting(0x11, "c");
    const std::string toB1 = makeFrame(0x10, 0x31, 0x42, "u1");
    const std::string toC = makeFrame(0x11, 0x31, 0x42, "u2");
    const std::string toB2 = makeFrame(0x10, 0x31, 0x42, "u3");
    const std::string datagram = toB1 + toC + toB2;
    hub->onReadDatagram(-1, nullptr, datagram.data(), static_cast<int>(datagram.size()));
    EXPECT_EQ(drain(b.module.peer), toB1 + toB2);
    EXPECT_EQ(drain(c.module.peer), toC);
    EXPECT_EQ(b.counter->sends, 1);
    EXPECT_EQ(c.counter->sends, 1);
}

TEST_F(CoalescingTest, DepartureNoticesOutsideAReadGoOutAtOnce)
{
    Counted watcher = registeredCounting(0x10, "watcher");
    send(watcher.module, makeFrame(EVENT_MGR_DEV_ID, 0x10, CMD_REG_EVENT, bytes({0x01, 0x00, 0x00})));
    Module gone = registered(0x22, "gone");
    watcher.counter->sends = 0;
    hangUp(gone);
    EXPECT_EQ(drain(watcher.module.peer), makeFrame(0x10, EVENT_MGR_DEV_ID, CMD_PUBLISH_EVENT, bytes({0, 0, 0x22})));
    EXPECT_EQ(watcher.counter->sends, 1);
}

} // namespace
