// Heartbeats come from the client's own timer, on the clock: every 10 s of
// it by default, so a module that sends nothing else is never silent for
// the three 15 s periods after which the hub drops it. The clock is the
// timers' replaceable one, so a minute passes in a moment; the hub itself
// runs on the real clock and simply counts the heartbeats it gets.

#include "tests/client/ClientFixture.h"
#include "tests/timer/FakeClock.h"

namespace sdk {
namespace {

class ClientHeartbeat : public ClientFixture {};

size_t countOf(const std::string &text, const std::string &needle)
{
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
        ++count;
    }
    return count;
}

TEST_F(ClientHeartbeat, EveryTenSecondsOfTheClockWithNothingElseToSend)
{
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    FakeClock clock; // before the clients: their timers start from it
    pellix::CPellixClient beating(tcpOptions(0x10, "sdk-beating"));
    pellix::ClientOptions quietOptions = unixOptions(0x11, "sdk-quiet");
    quietOptions.heartbeatMs = 0;
    pellix::CPellixClient quiet(quietOptions);
    Seen seen;
    seen.attach(beating);
    ASSERT_TRUE(beating.connect());
    ASSERT_TRUE(quiet.connect());

    std::vector<int64_t> beats; // clock milliseconds since the connect
    for (int64_t t = 250; t <= 65000; t += 250) {
        clock.advanceMs(250);
        beating.poll(0);
        quiet.poll(0);
        if (beating.stats().heartbeatsSent > beats.size()) {
            beats.push_back(t);
        }
    }
    EXPECT_EQ((std::vector<int64_t>{10000, 20000, 30000, 40000, 50000, 60000}), beats);
    EXPECT_EQ(0u, quiet.stats().heartbeatsSent);
    EXPECT_TRUE(beating.isRegistered());

    // Each of them reached the hub as a heartbeat of this module.
    ASSERT_TRUE(roundTrip(beating, seen));
    EXPECT_EQ(255, daemon.stop(SIGTERM));
    const std::string out = daemon.stdoutText();
    EXPECT_EQ(6u, countOf(out, "heart cmd from dev: sdk-beating\n")) << out;
    EXPECT_EQ(0u, countOf(out, "heart cmd from dev: sdk-quiet\n")) << out;
}

TEST_F(ClientHeartbeat, PeriodIsTheModulesChoice)
{
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    FakeClock clock;
    pellix::ClientOptions options = tcpOptions(0x10, "sdk-fast");
    options.heartbeatMs = 1500;
    pellix::CPellixClient client(options);
    ASSERT_TRUE(client.connect());
    for (int i = 0; i < 20; ++i) {
        clock.advanceMs(500);
        client.poll(0);
    }
    EXPECT_EQ(6u, client.stats().heartbeatsSent); // at 1.5, 3, 4.5, 6, 7.5 and 9 s
}

} // namespace
} // namespace sdk
