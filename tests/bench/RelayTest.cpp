// The relay floor pairs connections by their hellos only, carries bytes
// from sender to receiver and never back, and takes a pair down together;
// through it a run delivers every message of every route.
#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <string>
#include <thread>

#include "bench/BenchIo.h"
#include "bench/Relay.h"
#include "bench/Scenario.h"
#include "bench/Wire.h"

namespace {

class RelayTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        const int listener = bench::listenLoopback(port);
        ASSERT_GE(listener, 0);
        relay.reset(new bench::Relay(listener));
        ASSERT_TRUE(relay->ready()) << relay->error();
        serving = std::thread([this] { served = relay->run(); });
    }
    void TearDown() override
    {
        if (relay) {
            relay->stop();
        }
        if (serving.joinable()) {
            serving.join();
        }
        for (int fd : fds) {
            close(fd);
        }
        EXPECT_TRUE(served) << relay->error();
    }
    // A connection to the relay that has said `hello` (may be any bytes).
    int connectWith(const std::string &hello)
    {
        const int fd = bench::connectLoopback(port);
        EXPECT_GE(fd, 0);
        fds.push_back(fd);
        if (!hello.empty()) {
            EXPECT_TRUE(bench::writeAll(fd, hello.data(), hello.size()));
        }
        return fd;
    }
    static std::string readSome(int fd, size_t size)
    {
        std::string got(size, '\0');
        return bench::readExact(fd, &got[0], size, 2000) ? got : std::string("(nothing)");
    }

    // True when the relay closed fd's other end (within 2 s).
    static bool ended(int fd)
    {
        struct pollfd p = {fd, POLLIN, 0};
        char byte = 0;
        return poll(&p, 1, 2000) == 1 && recv(fd, &byte, 1, 0) == 0;
    }

    uint16_t port = 0;
    std::unique_ptr<bench::Relay> relay;
    std::thread serving;
    bool served = false;
    std::vector<int> fds;
};

} // namespace

TEST_F(RelayTest, PairsByKeyInEitherOrderIgnoresProbesAndCarriesBytesOneWay)
{
    close(connectWith("")); // a port probe: connects and goes
    connectWith(std::string("XYZS\x07\0\0\0", 8)); // not a hello: dropped
    const int receiver7 = connectWith(bench::Relay::hello(false, 7));
    // Bytes right behind the hello wait for the partner.
    const int sender8 = connectWith(bench::Relay::hello(true, 8) + "early");
    const int sender7 = connectWith(bench::Relay::hello(true, 7));
    const int receiver8 = connectWith(bench::Relay::hello(false, 8));

    EXPECT_EQ(readSome(receiver8, 5), "early");
    ASSERT_TRUE(bench::writeAll(sender8, "to eight", 8));
    ASSERT_TRUE(bench::writeAll(sender7, "to seven", 8));
    EXPECT_EQ(readSome(receiver8, 8), "to eight");
    EXPECT_EQ(readSome(receiver7, 8), "to seven");

    // A receiver's bytes are dropped: once the next bytes went the other
    // way, nothing came back to the sender.
    ASSERT_TRUE(bench::writeAll(receiver7, "back", 4));
    ASSERT_TRUE(bench::writeAll(sender7, "again", 5));
    EXPECT_EQ(readSome(receiver7, 5), "again");
    char byte = 0;
    EXPECT_EQ(recv(sender7, &byte, 1, MSG_DONTWAIT), -1);
    EXPECT_EQ(errno, EAGAIN);
}

TEST_F(RelayTest, EitherSideClosingClosesThePair)
{
    const int sender = connectWith(bench::Relay::hello(true, 1));
    const int receiver = connectWith(bench::Relay::hello(false, 1));
    const int otherSender = connectWith(bench::Relay::hello(true, 2));
    const int otherReceiver = connectWith(bench::Relay::hello(false, 2));
    ASSERT_TRUE(bench::writeAll(sender, "x", 1));
    ASSERT_EQ(readSome(receiver, 1), "x");

    shutdown(sender, SHUT_WR);
    EXPECT_TRUE(ended(receiver));
    shutdown(otherReceiver, SHUT_WR);
    EXPECT_TRUE(ended(otherSender));
}

TEST_F(RelayTest, ARunThroughTheRelayDeliversEveryMessageOfEveryRoute)
{
    std::unique_ptr<bench::Wire> wire = bench::makeWire(bench::Target::Relay, port);
    bench::Plan plan;
    plan.modules = 4;
    plan.routes = {{0, 1}, {1, 2}, {2, 3}, {3, 0}};
    plan.messages = 4000;
    plan.window = 64;
    plan.bodySize = 300;
    const bench::Outcome out = bench::runPlan(*wire, plan, 0, nullptr);
    EXPECT_TRUE(out.ok) << out.error;
    EXPECT_EQ(out.delivered, 4000);

    // Nobody listening: open fails and says where.
    std::unique_ptr<bench::Wire> nowhere = bench::makeWire(bench::Target::Relay, bench::freePort());
    EXPECT_FALSE(nowhere->open(2, {{0, 1}}, false));
    EXPECT_NE(nowhere->error().find("relay"), std::string::npos) << nowhere->error();
    nowhere->close();
}
