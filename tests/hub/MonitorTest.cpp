// The monitors' bounds, on socketpairs whose far ends never read: how many
// there may be, what each may hold and all of them together, and what is
// left when one is switched off.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "hub/CMonitor.h"
#include "proto/MonitorRecord.h"
#include "proto/PacketFrame.h"
#include "net/CSocketClient.h"

namespace {

// What the far end holds now, without waiting.
std::string readAvailable(int fd)
{
    std::string got;
    char buf[65536];
    ssize_t n;
    while ((n = recv(fd, buf, sizeof buf, MSG_DONTWAIT)) > 0) {
        got.append(buf, static_cast<size_t>(n));
    }
    return got;
}

struct Watcher {
    std::unique_ptr<CSocketClient> endpoint{new CSocketClient()};
    int peer = -1;
};

class MonitorTest : public ::testing::Test {
protected:
    ~MonitorTest() override
    {
        for (Watcher &w : watchers) {
            close(w.peer);
        }
    }
    Watcher &watcher()
    {
        int sv[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
        watchers.emplace_back();
        watchers.back().endpoint->setSocket(sv[0]);
        watchers.back().peer = sv[1];
        return watchers.back();
    }
    // Copies of count routed frames of size payload bytes, flushing queues
    // as the loop would.
    void route(int count, size_t size)
    {
        const std::string payload(size, 'p');
        for (int i = 0; i < count; ++i) {
            monitor.copy(MonitorKind::Forwarded, 0x20, 0x10, 0x42, payload.data(), payload.size());
            for (Watcher &w : watchers) {
                w.endpoint->flushUnsent();
            }
        }
    }

    CMonitor monitor;
    std::vector<Watcher> watchers;
};

TEST_F(MonitorTest, OneBeyondTheCapIsRefusedAndTheFirstGetTheirOnRecord)
{
    monitor.setMaxMonitors(2);
    EXPECT_TRUE(monitor.start(watcher().endpoint.get(), 0x30, 0));
    EXPECT_TRUE(monitor.start(watcher().endpoint.get(), 0x31, 0));
    EXPECT_TRUE(monitor.start(watchers[0].endpoint.get(), 0x30, 0)); // again: no new place taken
    EXPECT_FALSE(monitor.start(watcher().endpoint.get(), 0x32, 0));
    EXPECT_EQ(monitor.size(), 2u);
    EXPECT_EQ(monitor.refusedTotal(), 1u);
    EXPECT_FALSE(monitor.isMonitor(watchers[2].endpoint.get()));

    std::string frame;
    CMonitor::refusalFrame(frame, 0x32, "2 monitors already");
    const unsigned char *bytes = reinterpret_cast<const unsigned char *>(frame.data());
    EXPECT_EQ(bytes[PacketFrame::kDevIdOffset], 0x32);
    MonitorRecord record;
    ASSERT_TRUE(MonitorRecord::decode(bytes + PacketFrame::kPayloadOffset,
                                      PacketFrame::payloadSize(static_cast<int>(frame.size())), record));
    EXPECT_EQ(record.kind, pellix::wire::kMonitorRefused);
    EXPECT_EQ(std::string(reinterpret_cast<const char *>(record.payload), record.payloadSize),
              "2 monitors already");
}

TEST_F(MonitorTest, ReadersThatStopHoldNoMoreThanTheirBoundsAndLoseTheRestCounted)
{
    monitor.setMaxMonitors(24);
    for (int i = 0; i < 24; ++i) {
        ASSERT_TRUE(monitor.start(watcher().endpoint.get(), 0x30 + i, 0));
    }
    // 1.5 MiB of copies each, 36 MiB in all were nothing dropped.
    route(1536, 1000);
    size_t total = 0;
    for (Watcher &w : watchers) {
        EXPECT_LE(w.endpoint->queuedMemoryBytes(), CMonitor::kQueueBytes);
        total += w.endpoint->queuedMemoryBytes();
    }
    EXPECT_LE(total, CMonitor::kTotalQueueBytes);
    EXPECT_GT(total, CMonitor::kTotalQueueBytes * 3 / 4);
    EXPECT_GT(monitor.lostTotal(), 24u * 400);

    // Switched off, a monitor keeps only what its socket takes at once.
    Watcher &first = watchers[0];
    const uint64_t lostBefore = monitor.lostTotal();
    ASSERT_TRUE(monitor.stop(first.endpoint.get()));
    EXPECT_FALSE(monitor.isMonitor(first.endpoint.get()));
    EXPECT_LT(first.endpoint->queuedBytes(), 1100u); // a begun copy at most
    EXPECT_GT(monitor.lostTotal(), lostBefore + 500);
    EXPECT_EQ(first.endpoint->sendQueueLimit(), 0u);

    // The others read again: whole records, and a count of those lost
    // before the next copy.
    Watcher &second = watchers[1];
    std::string stream;
    for (int round = 0; round < 100 && second.endpoint->hasUnsentBytes(); ++round) {
        stream += readAvailable(second.peer);
        second.endpoint->flushUnsent();
    }
    stream += readAvailable(second.peer);
    route(1, 10);
    stream += readAvailable(second.peer);
    size_t at = 0;
    int kinds[8] = {0};
    while (at + PacketFrame::kMinFrameSize <= stream.size()) {
        const size_t len = static_cast<unsigned char>(stream[at + 7]) | static_cast<unsigned char>(stream[at + 8]) << 8;
        ASSERT_EQ(stream.compare(at, 7, "<start>"), 0) << at;
        MonitorRecord record;
        ASSERT_TRUE(MonitorRecord::decode(reinterpret_cast<const unsigned char *>(stream.data()) + at + 13,
                                          static_cast<int>(len) - 6, record));
        ++kinds[record.kind & 7];
        at += len + 12;
    }
    EXPECT_EQ(at, stream.size());
    EXPECT_EQ(kinds[pellix::wire::kMonitorOn], 1);
    EXPECT_EQ(kinds[pellix::wire::kMonitorLost], 1);
    EXPECT_GT(kinds[pellix::wire::kMonitorForwarded], 500);
}

} // namespace
