// A module that registers and then never reads, while another floods it
// with large frames. The hub's write to it blocks until the send timeout;
// after that one stall the hub must drop what that module cannot take and go
// on serving everybody else, without dying of SIGPIPE when the stuck module
// finally goes.

#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <atomic>
#include <thread>

#include "tests/fault/FaultFixture.h"

namespace fault {
namespace {

class FaultStuckReader : public FaultFixture {};

// How long the flood may take to fill the buffers towards the stuck module.
const int kFillTimeoutMs = 30000;
// A frame between two healthy modules that takes longer than this while the
// flood goes on counts as held up by a stall.
const int kStallProbeMs = 500;
// Far more than the send timeout, so that a hub stalled for several
// timeouts shows up as late, not as lost.
const int kStallTimeoutMs = 40000;
// Once the stall is over, a frame between two healthy modules comes through
// at once; this only bounds a hub that stalls again.
const int kExchangeTimeoutMs = 2000;

// Sends frame after frame to the stuck module until told to stop. Sends
// time out after 1 s so that a stalled hub never holds the thread for long;
// a frame is always sent whole.
class Flood {
public:
    Flood(int descriptor, const std::string &oneFrame) : fd(descriptor), frame(oneFrame)
    {
        struct timeval timeout = {1, 0};
        setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &timeout, sizeof timeout);
        worker = std::thread([this] { run(); });
    }
    ~Flood() { stop(); }

    void stop()
    {
        stopping = true;
        if (worker.joinable()) {
            worker.join();
        }
    }
    long framesSent() const { return sent.load(); }
    // Waits until more than `count` frames have gone out. With megabytes
    // queued towards the hub, the flooder's next frame gets room only after
    // the hub has read a good part of them.
    bool waitBeyond(long count, int timeoutMs) const
    {
        const int64_t deadline = monotonicMs() + timeoutMs;
        while (sent.load() <= count && !broken.load() && monotonicMs() < deadline) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        return sent.load() > count;
    }
    bool failed() const { return broken.load(); }

private:
    void run()
    {
        size_t offset = 0;
        // A frame begun is finished: half a frame would swallow whatever
        // the flooder sends next.
        while (!stopping || offset != 0) {
            const ssize_t n = send(fd, frame.data() + offset, frame.size() - offset, MSG_NOSIGNAL);
            if (n > 0) {
                offset += static_cast<size_t>(n);
                if (offset == frame.size()) {
                    offset = 0;
                    ++sent;
                }
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                broken = true;
                return;
            }
        }
    }

    int fd;
    std::string frame;
    std::atomic<bool> stopping{false};
    std::atomic<bool> broken{false};
    std::atomic<long> sent{0};
    std::thread worker;
};

TEST_F(FaultStuckReader, OneSendTimeoutThenTheOthersAreServedAndTheStuckModuleIsRemoved)
{
    ASSERT_TRUE(daemon.start()) << daemon.lastError();

    // The flooder connects first, so that its descriptor in the hub is the
    // lower one: in a pass where both are readable the hub forwards the
    // flood before it learns that the stuck module has gone, and writes to
    // a connection that was reset.
    const OwnedFd flooder(connectTcp(daemon.port()));
    const int floodFd = flooder.get();
    ASSERT_GE(floodFd, 0);
    ASSERT_TRUE(sendAll(floodFd, makeFrame(kHubId, 0x20, kCmdReg, "modFlood")));
    ASSERT_EQ(hex(registrationReply(0x20)), hex(readUpTo(floodFd, 18, kReplyTimeoutMs)));
    ModuleClient stuck = tcpModule(0x10, "modStuck");
    ModuleClient left = tcpModule(0x30, "modLeft");
    ModuleClient right = unixModule(0x40, "modRight");
    ASSERT_TRUE(left.subscribe({0}));

    const std::string toRight = makeFrame(0x40, 0x30, 0x0042, std::string(200, 'r'));
    const std::string toLeft = makeFrame(0x30, 0x40, 0x0043, std::string(300, 'l'));
    const int64_t floodStart = monotonicMs();
    Flood flood(floodFd, makeFrame(0x10, 0x20, 0x0044, std::string(65000, 'f')));

    // Frames go through at once until the buffers towards the stuck module
    // are full; then the hub blocks in its write to it, and everything else
    // waits out that one send timeout.
    int64_t stallSeen = -1;
    int64_t stallLasted = -1;
    for (int probe = 0; stallSeen < 0 && monotonicMs() - floodStart < kFillTimeoutMs; ++probe) {
        const std::string frame = makeFrame(0x40, 0x30, 0x0041, bytes({probe & 0xff, probe >> 8}));
        ASSERT_TRUE(left.send(frame));
        std::string got = right.readExactly(frame.size(), kStallProbeMs);
        if (got.size() < frame.size()) {
            stallSeen = monotonicMs();
            got += right.readExactly(frame.size() - got.size(), kStallTimeoutMs);
            stallLasted = monotonicMs() - stallSeen;
        }
        ASSERT_EQ(hex(frame), hex(got)) << "probe " << probe << ", " << monotonicMs() - floodStart
                                        << " ms into the flood";
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_GE(stallSeen, 0) << "the flood never filled the buffers towards the stuck module";
    // The stall was seen at least one probe interval after it began.
    EXPECT_LT(stallLasted, 12500) << "the hub stalled for more than one send timeout";
    ASSERT_TRUE(daemon.running()) << daemon.describeEnd();

    // From now on the flood goes on and the hub keeps up with everything
    // else: the stuck module's frames are dropped at once.
    const long sentBefore = flood.framesSent();
    for (int round = 0; round < 10; ++round) {
        ASSERT_TRUE(left.send(toRight));
        ASSERT_EQ(hex(toRight), hex(right.readExactly(toRight.size(), kExchangeTimeoutMs))) << "round " << round;
        ASSERT_TRUE(right.send(toLeft));
        ASSERT_EQ(hex(toLeft), hex(left.readExactly(toLeft.size(), kExchangeTimeoutMs))) << "round " << round;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(flood.waitBeyond(sentBefore + 5, kStallTimeoutMs)) << "the hub stopped reading the flooder";
    EXPECT_FALSE(flood.failed());

    // The stuck module goes with megabytes unread: its connection is reset.
    // The hub forgets it, tells the subscriber of event 0, and goes on.
    stuck.reset();
    EXPECT_EQ(hex(eventDelivery(0x30, bytes({0x00, 0x00, 0x10}))), hex(left.readExactly(21, kReplyTimeoutMs)));
    EXPECT_TRUE(DaemonProcess::waitForText(daemon.logPath(), "mod name: modStuck\n", kReplyTimeoutMs));
    const long sentAfterRemoval = flood.framesSent();
    for (int round = 0; round < 5; ++round) {
        ASSERT_TRUE(left.send(toRight));
        ASSERT_EQ(hex(toRight), hex(right.readExactly(toRight.size(), kExchangeTimeoutMs))) << "round " << round;
        std::this_thread::sleep_for(std::chrono::milliseconds(100));
    }
    EXPECT_TRUE(flood.waitBeyond(sentAfterRemoval, kStallTimeoutMs))
        << "frames for a module that has gone must be read and dropped";
    flood.stop();
    EXPECT_FALSE(flood.failed()) << "the hub closed the flooder's connection";
    // Megabytes of flood may still wait in the hub's buffers; a frame the
    // flooder sends to itself comes back once they have all been handled.
    const std::string echo = makeFrame(0x20, 0x20, 0x0046, bytes({0x0e}));
    ASSERT_TRUE(sendAll(floodFd, echo));
    ASSERT_EQ(hex(echo), hex(readUpTo(floodFd, echo.size(), kStallTimeoutMs)));
    ASSERT_TRUE(daemon.running()) << daemon.describeEnd();

    // The module id is free again for a module that reads.
    ModuleClient again = tcpModule(0x10, "modStuck");
    const std::string toAgain = makeFrame(0x10, 0x30, 0x0045, bytes({0x01, 0x02, 0x03}));
    ASSERT_TRUE(left.send(toAgain));
    EXPECT_EQ(hex(toAgain), hex(again.readExactly(toAgain.size())));

    expectStopsCleanly();
    // One timeout, not one per frame.
    EXPECT_EQ(1u, countOf(daemon.stdoutText(), "timed out, sends to it no longer wait\n")) << tail(daemon.stdoutText());
}

} // namespace
} // namespace fault
