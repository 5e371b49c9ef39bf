// The bounded send queue on socketpairs with small buffers: sends arrive
// whole and in order or not at all, a begun send is finished first, drops
// are counted and traced once per episode, and the loop closes a connection
// whose queue has not moved for the stall timeout.

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "net/CSocketClient.h"
#include "net/CSocketManager.h"
#include "net/SharedFrame.h"
#include "tests/net/TraceLines.h"
#include "tests/support/OutputCapture.h"
#include "tests/timer/FakeClock.h"

namespace {

const size_t kLimit = 8192;
const size_t kHeader = 13;

// A socketpair whose buffers a few sends fill; sv[0] goes to the endpoint.
void smallPair(int sv[2])
{
    const int small = 4096;
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    setsockopt(sv[0], SOL_SOCKET, SO_SNDBUF, &small, sizeof small);
}

// Send i carries its number, its length and a body of its own letter, so
// that a torn or misplaced one shows.
int sendNumbered(CSocketClient &endpoint, int i, size_t body)
{
    char header[kHeader + 1];
    snprintf(header, sizeof header, "[%05d:%05zu]", i, body);
    const std::string bytes = header + std::string(body, static_cast<char>('a' + i % 26));
    return endpoint.sendData(bytes.data(), static_cast<int>(bytes.size()));
}

// The numbers of the sends in a stream that must consist of whole ones.
std::vector<int> sendsIn(const std::string &stream)
{
    std::vector<int> numbers;
    size_t pos = 0;
    int i = 0;
    size_t body = 0;
    while (pos + kHeader <= stream.size() && sscanf(stream.c_str() + pos, "[%5d:%5zu]", &i, &body) == 2 &&
           stream.compare(pos + kHeader, body, std::string(body, static_cast<char>('a' + i % 26))) == 0) {
        numbers.push_back(i);
        pos += kHeader + body;
    }
    EXPECT_EQ(pos, stream.size()) << "torn send after " << numbers.size() << " whole ones";
    return numbers;
}

// What the peer receives while the endpoint flushes, until nothing is left.
std::string drain(CSocketClient &endpoint, int peer)
{
    std::string got;
    char buf[65536];
    for (;;) {
        const bool flushed = endpoint.flushUnsent();
        const ssize_t n = recv(peer, buf, sizeof buf, MSG_DONTWAIT);
        if (n > 0) {
            got.append(buf, static_cast<size_t>(n));
        } else if (flushed) {
            return got;
        }
    }
}

TEST(SendQueueTest, SendsArriveWholeInOrderOrAreDroppedAndCounted)
{
    TraceLevelScope level(TRACE_DEBUG);
    int sv[2];
    smallPair(sv);
    CSocketClient endpoint;
    ASSERT_TRUE(endpoint.setSendQueueLimit(kLimit));
    endpoint.setSocket(sv[0]);
    OutputCapture capture(1);
    // A begun send is finished whatever the limit; later ones are dropped
    // until the queue has room.
    EXPECT_EQ(sendNumbered(endpoint, 0, 60000), 60013);
    const size_t begun = endpoint.queuedBytes();
    EXPECT_EQ(sendNumbered(endpoint, 1, 100), -1);
    std::string stream = drain(endpoint, sv[1]);
    // Second episode: sends of many sizes, none larger than the limit, so
    // neither is the queue.
    for (int i = 2; i < 200; ++i) {
        sendNumbered(endpoint, i, static_cast<size_t>(50 + (i * 397) % 1500));
        EXPECT_LE(endpoint.queuedBytes(), kLimit);
    }
    stream += drain(endpoint, sv[1]);
    const TraceOutput trace = parseTrace(capture.text());

    EXPECT_GT(begun, kLimit);
    const std::vector<int> got = sendsIn(stream);
    ASSERT_FALSE(got.empty());
    EXPECT_EQ(got[0], 0);
    EXPECT_TRUE(std::is_sorted(got.begin(), got.end()));
    EXPECT_GT(endpoint.droppedSends(), 1u);
    EXPECT_EQ(got.size() + endpoint.droppedSends(), 200u);
    EXPECT_EQ(endpoint.peakQueuedBytes(), begun);
    int traced = 0;
    for (const TraceLine &line : trace.lines) {
        traced += line.message.rfind("send queue of fd " + std::to_string(sv[0]) + " full (", 0) == 0 ? 1 : 0;
    }
    EXPECT_EQ(traced, 2); // once per episode
    close(sv[1]);
}

TEST(SendQueueTest, OnlyALimitMakesTheDescriptorNonBlocking)
{
    // {limit before the descriptor is adopted, limit after, non-blocking}
    const size_t cases[][3] = {{0, 0, 0}, {kLimit, kLimit, 1}, {kLimit, 0, 0}, {0, kLimit, 1}};
    for (const auto &c : cases) {
        int sv[2];
        smallPair(sv);
        CSocketClient endpoint;
        endpoint.setSendQueueLimit(c[0]);
        endpoint.setSocket(sv[0]);
        endpoint.setSendQueueLimit(c[1]);
        EXPECT_EQ((fcntl(sv[0], F_GETFL) & O_NONBLOCK) != 0, c[2] != 0) << c[0] << " " << c[1];
        EXPECT_EQ(endpoint.sendData("abc", 3), 3);
        close(sv[1]);
    }
}

TEST(SendQueueTest, LoopClosesConnectionWhoseQueueDoesNotMove)
{
    // The peer reads everything at 6 s: the queue moves in that pass, so
    // the 10 s start again at the pass after.
    // {peer reads at, closed at, the epoll loop}
    const int cases[][3] = {{-1, 10000, 0}, {6000, 17000, 0}, {-1, 10000, 1}, {6000, 17000, 1}};
    for (const auto &c : cases) {
        FakeClock clock;
        CSocketManager mgr;
        ASSERT_TRUE(c[2] == 0 || mgr.useEpoll());
        CSocketClient endpoint;
        std::vector<int> reads;
        endpoint.setReadCallback([&](CSocketClient *who, const void *, int len) {
            EXPECT_FALSE(who->isConnected());
            reads.push_back(len);
        });
        int sv[2];
        smallPair(sv);
        endpoint.setSendQueueLimit(kLimit);
        endpoint.setSocket(sv[0]);
        mgr.add(sv[0], &endpoint);
        ASSERT_EQ(sendNumbered(endpoint, 0, 60000), 60013);
        OutputCapture capture(1);
        int at = 0;
        for (; at <= 30000 && endpoint.isConnected(); at += 1000, clock.advanceMs(1000)) {
            char sink[65536];
            while (at == c[0] && recv(sv[1], sink, sizeof sink, MSG_DONTWAIT) > 0) {
            }
            mgr.runPass(0);
        }
        mgr.runPass(0); // reported once only
        const TraceOutput trace = parseTrace(capture.text());
        EXPECT_EQ(at - 1000, c[1]);
        EXPECT_EQ(reads, std::vector<int>{0});
        EXPECT_FALSE(endpoint.isDescriptorOpen());
        EXPECT_EQ(trace.count("send queue of fd " + std::to_string(sv[0]) + " stuck for 10000 ms, closing\n"), 1);
        mgr.remove(sv[0]);
        close(sv[1]);
    }
}

} // namespace

namespace {

// A frame of `size` bytes: its number in every byte but the patched one.
SharedFrame *numberedFrame(size_t size, char fill)
{
    SharedFrame *frame = SharedFrame::create(size, 9);
    memset(frame->data(), fill, size);
    return frame;
}

TEST(SendQueueTest, SharedFramesCarryEachQueuesOwnByteAndADropKeepsTheBegunOne)
{
    int one[2];
    int two[2];
    smallPair(one);
    smallPair(two);
    CSocketClient first;
    CSocketClient second;
    first.setSendQueueLimit(1 << 20);
    second.setSendQueueLimit(1 << 20);
    first.setSocket(one[0]);
    second.setSocket(two[0]);

    // One frame in both queues, each with its own destination, and an owned
    // send in between that keeps its place.
    SharedFrame *small = numberedFrame(40, 's');
    ASSERT_TRUE(first.queueShared(small, 0x31, 1 << 20));
    ASSERT_TRUE(second.queueShared(small, 0x32, 1 << 20));
    small->release();
    EXPECT_EQ(first.sendData("owned", 5), 5);
    const std::string a = drain(first, one[1]);
    const std::string b = drain(second, two[1]);
    ASSERT_EQ(a.size(), 45u);
    EXPECT_EQ(a.substr(0, 9), std::string(9, 's'));
    EXPECT_EQ(a[9], '\x31');
    EXPECT_EQ(a.substr(10, 30), std::string(30, 's'));
    EXPECT_EQ(a.substr(40), "owned");
    ASSERT_EQ(b.size(), 40u);
    EXPECT_EQ(b[9], '\x32');

    // A bound refuses what would pass it, counting the frame's bookkeeping.
    SharedFrame *big = numberedFrame(60000, 'b');
    EXPECT_FALSE(first.queueShared(big, 0x31, 60000));
    EXPECT_EQ(first.queuedBytes(), 0u);
    // Three large frames on a socket that takes part of the first: a drop
    // keeps the begun one whole and takes the rest.
    for (int i = 0; i < 3; ++i) {
        ASSERT_TRUE(first.queueShared(big, 0x31, 1 << 20));
    }
    big->release();
    EXPECT_LE(first.queuedMemoryBytes(), 3 * (60000 + 200) + 4096u);
    first.flushUnsent();
    ASSERT_LT(first.queuedBytes(), 3 * 60000u);
    // Read before the drop: the frames not yet begun are what it takes.
    const size_t queued = first.queuedBytes();
    EXPECT_EQ(first.dropQueuedShared(), queued / 60000);
    const std::string rest = drain(first, one[1]);
    ASSERT_EQ(rest.size() % 60000, 0u);
    ASSERT_GE(rest.size(), 60000u);
    EXPECT_EQ(rest[9], '\x31');
    EXPECT_EQ(rest.substr(10, 100), std::string(100, 'b'));
    close(one[1]);
    close(two[1]);
}

// A connection that falls back to blocking sends with bytes still queued
// (a monitor switched off) is still watched: the loop closes it once they
// stop moving.
TEST(SendQueueTest, BytesLeftAfterTheLimitGoesBackAreStillWatched)
{
    FakeClock clock;
    CSocketManager mgr;
    CSocketClient endpoint;
    int lost = 0;
    endpoint.setReadCallback([&](CSocketClient *, const void *, int) { ++lost; });
    int sv[2];
    smallPair(sv);
    endpoint.setSendQueueLimit(kLimit);
    endpoint.setSocket(sv[0]);
    mgr.add(sv[0], &endpoint);
    ASSERT_EQ(sendNumbered(endpoint, 0, 60000), 60013);
    endpoint.setSendQueueLimit(0);
    ASSERT_TRUE(endpoint.hasUnsentBytes());
    OutputCapture capture(1);
    for (int at = 0; at <= 11000 && endpoint.isConnected(); at += 1000, clock.advanceMs(1000)) {
        mgr.runPass(0);
    }
    EXPECT_EQ(lost, 1);
    EXPECT_FALSE(endpoint.isConnected());
    mgr.remove(sv[0]);
    close(sv[1]);
}

} // namespace
