// The outbox that gathers one callback's sends: one sendData per endpoint
// and flush, endpoints in the order they were first sent to, every byte in
// its order, the bound on a queue, nesting, and the way to a real socket.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "net/CObjectBase.h"
#include "net/COutbox.h"
#include "net/CTcpClient.h"
#include "tests/net/NetTestSupport.h"

namespace {

// Every sendData call, in order, over all the endpoints of a test.
typedef std::vector<std::pair<const CObjectBase *, std::string>> SendLog;

class RecordingEndpoint : public CObjectBase {
public:
    explicit RecordingEndpoint(SendLog &sends) : log(sends) {}
    int sendData(const void *data, int len) override
    {
        log.emplace_back(this, std::string(static_cast<const char *>(data), static_cast<size_t>(len)));
        return len;
    }

private:
    SendLog &log;
};

// All the bytes one endpoint was given, over every call.
std::string bytesTo(const SendLog &sends, const CObjectBase *endpoint)
{
    std::string all;
    for (const auto &send : sends) {
        if (send.first == endpoint) {
            all += send.second;
        }
    }
    return all;
}

size_t callsTo(const SendLog &sends, const CObjectBase *endpoint)
{
    size_t n = 0;
    for (const auto &send : sends) {
        n += send.first == endpoint ? 1 : 0;
    }
    return n;
}

class OutboxTest : public ::testing::Test {
protected:
    void send(CObjectBase &endpoint, const std::string &bytes)
    {
        outbox.send(&endpoint, bytes.data(), static_cast<int>(bytes.size()));
    }

    SendLog sends;
    RecordingEndpoint a{sends};
    RecordingEndpoint b{sends};
    RecordingEndpoint c{sends};
    COutbox outbox;
};

TEST_F(OutboxTest, ClosedOutboxSendsAtOnce)
{
    EXPECT_FALSE(outbox.isOpen());
    send(a, "one");
    send(a, "two");
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(sends[0].second, "one");
    EXPECT_EQ(sends[1].second, "two");
    outbox.flush(); // nothing to do, and no harm
    EXPECT_EQ(sends.size(), 2u);
}

TEST_F(OutboxTest, OpenOutboxWritesEachEndpointOnceInFirstSendOrder)
{
    outbox.open();
    send(b, "b1");
    send(a, "a1");
    send(b, "b2");
    send(c, "c1");
    send(a, "a2");
    send(b, "b3");
    EXPECT_TRUE(sends.empty()) << "nothing is written before the flush";
    EXPECT_EQ(outbox.pendingBytes(), 12u);

    outbox.flush();
    EXPECT_FALSE(outbox.isOpen());
    EXPECT_EQ(outbox.pendingBytes(), 0u);
    ASSERT_EQ(sends.size(), 3u);
    EXPECT_EQ(sends[0], std::make_pair(static_cast<const CObjectBase *>(&b), std::string("b1b2b3")));
    EXPECT_EQ(sends[1], std::make_pair(static_cast<const CObjectBase *>(&a), std::string("a1a2")));
    EXPECT_EQ(sends[2], std::make_pair(static_cast<const CObjectBase *>(&c), std::string("c1")));

    // The next callback starts afresh, with its own order.
    sends.clear();
    outbox.open();
    send(c, "c2");
    send(a, "a3");
    outbox.flush();
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(sends[0].first, &c);
    EXPECT_EQ(sends[1].first, &a);
}

TEST_F(OutboxTest, QueueIsBoundedAndLargeSendsPassInOrder)
{
    // Many small sends to one endpoint: written in pieces of at most the
    // bound, the bytes in order.
    outbox.open();
    std::string expected;
    for (int i = 0; i < 1000; ++i) {
        const std::string frame(50, static_cast<char>('a' + i % 26));
        send(a, frame);
        expected += frame;
    }
    EXPECT_LE(outbox.pendingBytes(), COutbox::kFlushBytes);
    EXPECT_FALSE(sends.empty()) << "a full queue is written before the flush";
    outbox.flush();
    EXPECT_EQ(bytesTo(sends, &a), expected);
    for (const auto &s : sends) {
        EXPECT_LE(s.second.size(), COutbox::kFlushBytes);
    }

    // A large send behind queued bytes: the queue first, then the send as
    // it is; bytes queued after it follow it.
    sends.clear();
    const std::string large(COutbox::kFlushBytes + 100, 'L');
    outbox.open();
    send(a, "before");
    send(b, "other");
    send(a, large);
    send(a, "after");
    ASSERT_EQ(sends.size(), 2u);
    EXPECT_EQ(sends[0].second, "before");
    EXPECT_EQ(sends[1].second, large);
    outbox.flush();
    EXPECT_EQ(bytesTo(sends, &a), "before" + large + "after");
    EXPECT_EQ(bytesTo(sends, &b), "other");
    EXPECT_EQ(callsTo(sends, &b), 1u);
}

TEST_F(OutboxTest, NestedOpenWritesOnlyAtTheOutermostFlush)
{
    outbox.open();
    send(a, "x");
    outbox.open();
    send(a, "y");
    outbox.flush();
    EXPECT_TRUE(outbox.isOpen());
    EXPECT_TRUE(sends.empty());
    outbox.flush();
    ASSERT_EQ(sends.size(), 1u);
    EXPECT_EQ(sends[0].second, "xy");
}

TEST_F(OutboxTest, BurstToManyEndpointsDeliversEveryByte)
{
    // More endpoints than any queue capacity kept between flushes covers.
    SendLog many;
    std::vector<std::unique_ptr<RecordingEndpoint>> endpoints;
    for (int i = 0; i < 40; ++i) {
        endpoints.emplace_back(new RecordingEndpoint(many));
    }
    for (int round = 0; round < 3; ++round) {
        many.clear();
        outbox.open();
        for (int k = 0; k < 5; ++k) {
            for (size_t i = 0; i < endpoints.size(); ++i) {
                outbox.send(endpoints[i].get(), std::string(3000, static_cast<char>('0' + k)).data(), 3000);
            }
        }
        outbox.flush();
        for (size_t i = 0; i < endpoints.size(); ++i) {
            std::string expected;
            for (int k = 0; k < 5; ++k) {
                expected += std::string(3000, static_cast<char>('0' + k));
            }
            EXPECT_EQ(bytesTo(many, endpoints[i].get()), expected) << "endpoint " << i << ", round " << round;
        }
    }
}

TEST_F(OutboxTest, QueuedBytesReachASocketThroughItsOwnSend)
{
    int pair[2] = {-1, -1};
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
    setReceiveTimeout(pair[1], 2000);
    CTcpClient endpoint("", 0);
    endpoint.setSocket(pair[0]);

    outbox.open();
    const std::string first = "<start>first";
    const std::string second = "second<end>";
    outbox.send(&endpoint, first.data(), static_cast<int>(first.size()));
    outbox.send(&endpoint, second.data(), static_cast<int>(second.size()));
    char buf[64];
    EXPECT_EQ(recv(pair[1], buf, sizeof buf, MSG_DONTWAIT), -1) << "nothing before the flush";
    outbox.flush();
    const ssize_t n = recv(pair[1], buf, sizeof buf, 0);
    ASSERT_GT(n, 0);
    EXPECT_EQ(std::string(buf, static_cast<size_t>(n)), first + second);

    // A disconnected endpoint refuses at the flush as it would at once.
    endpoint.closeSocket();
    outbox.open();
    outbox.send(&endpoint, first.data(), static_cast<int>(first.size()));
    outbox.flush();
    EXPECT_EQ(outbox.pendingBytes(), 0u);
    close(pair[1]);
}

} // namespace
