// The hub run with the hardened configuration the package ships: it listens
// on loopback only, ids belong to the connection that registered them, and
// a module that stops reading costs the others nothing: its frames wait in
// a bounded queue, are dropped whole once it is full, and a queue that does
// not move for 10 s closes the connection like a lost one.

#include <fstream>
#include <regex>
#include <sstream>

#include "tests/fault/FaultFixture.h"

namespace fault {
namespace {

class FaultHardened : public FaultFixture {
protected:
    bool startHardened(const std::string &overrides = std::string()) { return daemon.startHardened(overrides); }

    // The local address of the hub's sockets on its port, as /proc shows
    // them ("0100007F" for 127.0.0.1).
    std::set<std::string> boundAddresses(const char *table)
    {
        std::ifstream in("/proc/" + std::to_string(daemon.pid()) + "/net/" + table);
        std::set<std::string> addresses;
        std::string line;
        std::getline(in, line);
        while (std::getline(in, line)) {
            std::istringstream fields(line);
            std::string slot, local;
            fields >> slot >> local;
            const size_t colon = local.find(':');
            if (colon != std::string::npos && strtoul(local.c_str() + colon + 1, nullptr, 16) == daemon.port()) {
                addresses.insert(local.substr(0, colon));
            }
        }
        return addresses;
    }
};

TEST_F(FaultHardened, ListensOnLoopbackOnlyAndIdsCannotBeTakenOver)
{
    ASSERT_TRUE(startHardened()) << daemon.lastError();
    EXPECT_EQ(std::set<std::string>{"0100007F"}, boundAddresses("tcp"));
    EXPECT_EQ(std::set<std::string>{"0100007F"}, boundAddresses("udp"));

    ModuleClient owner = tcpModule(0x10, "owner");
    ModuleClient other = unixModule(0x20, "other");
    ModuleClient thief = ModuleClient::tcp(daemon.port());
    ASSERT_TRUE(thief.send(makeFrame(kHubId, 0x10, kCmdReg, "thief")));
    const std::string answer = thief.readFor(300);
    EXPECT_TRUE(answer.empty()) << "a take-over was answered: " << hex(answer);
    ASSERT_TRUE(thief.send(makeFrame(0x20, 0x10, 0x0042, "forged")));
    const std::string real = makeFrame(0x10, 0x20, 0x0042, "to the owner");
    ASSERT_TRUE(other.send(real));
    EXPECT_EQ(hex(real), hex(owner.readExactly(real.size())));
    std::string unexpected;
    EXPECT_TRUE(other.ping(&unexpected)) << "forged frame delivered: " << hex(unexpected);

    // Nobody speaks for the hub: its ids cannot be registered, and a
    // departure notice forwarded from one of them, over a stream or by
    // datagram, or a datagram under a live module's id, goes nowhere.
    ASSERT_TRUE(other.subscribe({0}));
    const std::string forged = makeFrame(0x20, kEventMgrId, kCmdPublishEvent, bytes({0, 0, 0x10}));
    ModuleClient impostor = ModuleClient::tcp(daemon.port());
    ASSERT_TRUE(impostor.send(makeFrame(kHubId, kEventMgrId, kCmdReg, "hub")));
    EXPECT_TRUE(impostor.readFor(300).empty());
    ModuleClient udp = ModuleClient::udp(daemon.port());
    ASSERT_TRUE(impostor.send(forged));
    ASSERT_TRUE(udp.send(forged));
    ASSERT_TRUE(udp.send(makeFrame(0x20, 0x10, 0x0042, "as the owner")));
    EXPECT_TRUE(other.ping(&unexpected)) << "forged frame delivered: " << hex(unexpected);
    expectStopsCleanly();
    EXPECT_NE(std::string::npos, daemon.logText().find("reg refused fd: ")) << daemon.logText();
    EXPECT_NE(std::string::npos, daemon.logText().find(", dev: 225: the id is the hub's own")) << daemon.logText();
}

TEST_F(FaultHardened, ModuleThatStopsReadingCostsTheOthersNothingAndIsClosedAfterTenSeconds)
{
    ASSERT_TRUE(startHardened("\"sendQueueBytes\" : 262144")) << daemon.lastError();
    ModuleClient stuck = tcpModule(0x10, "modStuck");
    ModuleClient flooder = tcpModule(0x20, "modFlood");
    ModuleClient left = tcpModule(0x30, "modLeft");
    ModuleClient right = unixModule(0x40, "modRight");
    ASSERT_TRUE(left.subscribe({0}));

    // Far more than the socket buffers and the queue towards the stuck
    // module can hold; the hub reads it all without waiting for anybody.
    const std::string flood = makeFrame(0x10, 0x20, 0x0044, std::string(60000, 'f'));
    const int64_t start = monotonicMs();
    for (int i = 0; i < 200; ++i) {
        ASSERT_TRUE(flooder.send(flood)) << "frame " << i;
    }
    // Between the healthy pair every probe goes straight through, until and
    // after the stuck module is closed.
    int64_t worst = 0;
    int64_t closedAfter = -1;
    for (int probe = 0; monotonicMs() - start < 25000 && closedAfter < 0; ++probe) {
        const std::string frame = makeFrame(0x40, 0x30, 0x0041, bytes({probe & 0xff, probe >> 8}));
        const int64_t sent = monotonicMs();
        ASSERT_TRUE(left.send(frame));
        ASSERT_EQ(hex(frame), hex(right.readExactly(frame.size(), kReplyTimeoutMs))) << "probe " << probe;
        worst = std::max(worst, monotonicMs() - sent);
        const std::string departure = left.readFor(100);
        if (!departure.empty()) {
            EXPECT_EQ(hex(eventDelivery(0x30, bytes({0x00, 0x00, 0x10}))), hex(departure));
            closedAfter = monotonicMs() - start;
        }
    }
    EXPECT_LT(worst, 1000) << "a probe waited for the stuck module";
    ASSERT_GE(closedAfter, 0) << "the stuck module was never closed";
    EXPECT_GE(closedAfter, 9000);
    EXPECT_TRUE(stuck.waitClosedByPeer(kReplyTimeoutMs));
    std::string unexpected;
    EXPECT_TRUE(flooder.ping(&unexpected)) << hex(unexpected);
    expectStopsCleanly();
    // Dropping is told once per episode, not once per frame.
    EXPECT_EQ(1u, countOf(daemon.stdoutText(), " bytes), dropping")) << tail(daemon.stdoutText());
}

} // namespace
} // namespace fault
