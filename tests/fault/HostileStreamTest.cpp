// Stream peers that attack the hub: a receiver that stops reading under a
// flood (what it gets later must still cut into whole frames), connections
// opened and dropped by the thousand against a low descriptor limit, module
// names made to forge log lines and flood the log, and hundreds of large
// frames held half-sent at once.

#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <fstream>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/fault/FaultFixture.h"

namespace fault {
namespace {

class FaultHostileStream : public FaultFixture {};

// Flood frame `n` to module 0x10: its number leads the payload, so every
// frame is different and a torn one cannot pass for another.
std::string floodFrame(int n)
{
    char number[16];
    snprintf(number, sizeof number, "%08d", n);
    std::string payload(60000, static_cast<char>('a' + n % 26));
    payload.replace(0, 8, number);
    return makeFrame(0x10, 0x20, 0x0044, payload);
}

TEST_F(FaultHostileStream, ReceiverThatStopsReadingGetsWholeFramesOnlyNeverTornOnes)
{
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    ModuleClient receiver = tcpModule(0x10, "modPaused");
    ModuleClient flooder = tcpModule(0x20, "modFlood");

    std::atomic<bool> stop{false};
    std::atomic<bool> broken{false};
    std::atomic<int> sent{0};
    std::atomic<int64_t> lastProgressMs{monotonicMs()};
    std::thread flood([&] {
        for (int n = 0; !stop && !broken; ++n) {
            broken = !flooder.send(floodFrame(n));
            sent = n + 1;
            lastProgressMs = monotonicMs();
        }
    });
    // The hub stalls in its write to the receiver once the buffers are full
    // (and then reads nothing from the flooder); after its send timeout it
    // reads the flood again and drops what the receiver cannot take.
    int64_t deadline = monotonicMs() + 30000;
    while (monotonicMs() - lastProgressMs < 2000 && monotonicMs() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const bool stalled = monotonicMs() - lastProgressMs >= 2000;
    const int sentAtStall = sent;
    deadline = monotonicMs() + 15000;
    while (stalled && sent == sentAtStall && monotonicMs() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    const bool resumed = sent > sentAtStall;
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    // The receiver reads again while the flood goes on, then the rest.
    std::string stream = receiver.readFor(1500);
    stop = true;
    flood.join();
    for (std::string more = receiver.readFor(1000); !more.empty(); more = receiver.readFor(1000)) {
        stream += more;
    }
    ASSERT_TRUE(stalled) << "the flood never filled the buffers towards the receiver";
    ASSERT_TRUE(resumed) << "the hub never read the flood again";
    ASSERT_FALSE(broken) << "the hub closed the flooder's connection";

    std::string rest;
    const std::vector<CutFrame> frames = cutFrames(stream, &rest);
    EXPECT_EQ("", rest.substr(0, 64)) << rest.size() << " bytes outside frames";
    ASSERT_FALSE(frames.empty());
    int previous = -1;
    for (size_t i = 0; i < frames.size(); ++i) {
        const CutFrame &frame = frames[i];
        ASSERT_EQ(frame.bytes.size(), frame.len + 12u) << "frame " << i << " of " << frames.size() << " is torn";
        const int n = atoi(frame.bytes.substr(13, 8).c_str());
        ASSERT_TRUE(frame.bytes == floodFrame(n)) << "frame " << i << " is not flood frame " << n;
        ASSERT_GT(n, previous) << "frame " << i << " out of order";
        previous = n;
    }
    std::cout << "[hostile] " << frames.size() << " of " << sent << " flood frames delivered" << std::endl;
    expectStopsCleanly();
}

TEST_F(FaultHostileStream, ChurnedConnectionsGiveTheirDescriptorsBackAtOnce)
{
    daemon.setFileLimit(64, 64);
    ASSERT_TRUE(daemon.start()) << daemon.lastError();

    // Four at a time, two closed in order and two reset; the hub is never
    // waited for, only its accept queue is kept from overflowing (a dropped
    // connection attempt is retried by the kernel only after a second).
    for (int i = 0; i < 2000; i += 4) {
        OwnedFd batch[4];
        for (int j = 0; j < 4; ++j) {
            batch[j].reset(connectTcp(daemon.port()));
            ASSERT_GE(batch[j].get(), 0) << "connect " << i + j;
        }
        for (int j = 0; j < 4; j += 2) {
            const struct linger abortive = {1, 0};
            setsockopt(batch[j].get(), SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
        }
        while (acceptQueueLength(daemon.port()) > 4) {
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        }
    }

    // Well before the socket manager's 10 s check, a module gets in (a
    // daemon under a wrapper may take longer to answer).
    const int64_t deadline = monotonicMs() + (DaemonProcess::wrapperCommand().empty() ? 1000 : 4000);
    bool registered = false;
    while (!registered && monotonicMs() < deadline) {
        OwnedFd fd(connectTcp(daemon.port()));
        registered = fd.get() >= 0 && sendAll(fd.get(), makeFrame(kHubId, 0x10, kCmdReg, "modA")) &&
                     readUpTo(fd.get(), 18, 200) == registrationReply(0x10);
    }
    EXPECT_TRUE(registered) << "no descriptor for a new module after the churn";
    EXPECT_LT(openDescriptors(daemon.pid()), 40);
    expectStopsCleanly();
}

const char kForged[] = "\n[2026-01-01 00:00:00.000] [Pellix] [error] forged\n";
const size_t kHugeName = 65000;

TEST_F(FaultHostileStream, HugeNamesAreLoggedEscapedAndCutAndCannotRotateTheLogAway)
{
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    ModuleClient watcher = tcpModule(0x30, "modWatch");
    ASSERT_TRUE(watcher.subscribe({0}));
    std::string name = std::string("\x1b[2J") + kForged;
    name.resize(kHugeName, 'A');
    std::vector<ModuleClient> modules;
    for (uint8_t id = 0x40; id < 0x4a; ++id) {
        modules.push_back(tcpModule(id, name));
    }
    ModuleClient datagrams = ModuleClient::udp(daemon.port());
    ASSERT_TRUE(datagrams.send(makeFrame(kHubId, 0x31, kCmdDumpSocket)));
    ASSERT_TRUE(watcher.ping());
    // Their departures are logged with the name too.
    for (ModuleClient &module : modules) {
        const uint8_t id = module.id();
        module.close();
        EXPECT_EQ(hex(eventDelivery(0x30, bytes({0x00, 0x00, id}))), hex(watcher.readExactly(21)));
    }

    // The first 64 bytes of the name, escaped, and its length.
    const std::string printed = "\\x1b[2J\\x0a[2026-01-01 00:00:00.000] [Pellix] [error] forged\\x0a" +
                                std::string(9, 'A') + "...(65000 bytes)\n";
    const std::string log = daemon.logText();
    EXPECT_NE(std::string::npos, log.find("pellix start, ver:")) << "the log was rotated away";
    for (uint8_t id = 0x40; id < 0x4a; ++id) {
        EXPECT_NE(std::string::npos, log.find("dev: " + std::to_string(id) + ", name: " + printed)) << int(id);
    }
    EXPECT_EQ(std::string::npos, log.find('\x1b'));
    EXPECT_EQ(std::string::npos, log.find(kForged));
    expectStopsCleanly();
    const std::string out = daemon.stdoutText();
    EXPECT_EQ(std::string::npos, out.find("\x1b[2J"));
    EXPECT_EQ(std::string::npos, out.find(kForged));
    const size_t table = out.rfind("socket map list:\n");
    ASSERT_NE(std::string::npos, table);
    EXPECT_LT(out.size() - table, 64u * 1024) << "the socket table with ten huge names";
}

#if defined(__SANITIZE_ADDRESS__)
const bool kSanitized = true;
#else
const bool kSanitized = false;
#endif

// The hub's anonymous resident memory (RssAnon) in kB; -1 if unknown.
long anonKb(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 8, "RssAnon:") == 0) {
            return strtol(line.c_str() + 8, nullptr, 10);
        }
    }
    return -1;
}

// Bytes that arrived on the hub's connections on `port` and that it has
// not read yet.
long unreadBytes(uint16_t port)
{
    return std::max(0L, tcpReceiveQueues(port, "01"));
}

TEST_F(FaultHostileStream, MemoryHeldForLargeHalfSentFramesIsGivenBackOnceTheyComplete)
{
    if (kSanitized || !DaemonProcess::wrapperCommand().empty()) {
        GTEST_SKIP() << "resident memory is the plain build's, not a sanitizer's or a wrapper's";
    }
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    std::vector<ModuleClient> modules;
    for (int i = 0; i < 200; ++i) {
        modules.push_back(tcpModule(static_cast<uint8_t>(0x10 + i), "big" + std::to_string(i)));
    }
    const long before = anonKb(daemon.pid());
    ASSERT_GT(before, 0);

    // To module 0x05, which nobody registered; all but the end marker.
    const std::string frame = makeFrame(0x05, 0x10, 0x0042, std::string(kHugeName, 'p'));
    for (ModuleClient &module : modules) {
        ASSERT_TRUE(module.send(frame.substr(0, frame.size() - 5)));
    }
    const int64_t deadline = monotonicMs() + 30000;
    while (unreadBytes(daemon.port()) > 0 && monotonicMs() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    ASSERT_EQ(0, unreadBytes(daemon.port())) << "the hub did not read the half frames in time";
    const long peak = anonKb(daemon.pid());

    for (ModuleClient &module : modules) {
        ASSERT_TRUE(module.send("<end>"));
    }
    for (ModuleClient &module : modules) {
        ASSERT_TRUE(module.ping()) << int(module.id());
    }
    const long after = anonKb(daemon.pid());
    std::cout << "[hostile] RssAnon kB: " << before << " before, " << peak << " at the peak, " << after
              << " after" << std::endl;
    EXPECT_GT(peak, before + 10 * 1024) << "the half frames were not held at once";
    EXPECT_LT(after, before + 4 * 1024) << "the memory of completed frames was kept";
    expectStopsCleanly();
}

} // namespace
} // namespace fault
