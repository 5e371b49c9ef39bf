// The monitors and the status loop of the benchmark against the real hub:
// monitors up to the cap each get every copy and the one beyond is told it
// was refused; the loop collects whole documents that hold the crowd.
#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <thread>

#include "bench/MonitorTap.h"
#include "bench/Scenario.h"
#include "bench/StatusLoad.h"
#include "bench/Wire.h"
#include "tests/support/DaemonProcess.h"
#include "tests/support/TempDir.h"

namespace {

class BenchHubLoad : public ::testing::Test {
protected:
    void start(const std::string &keys)
    {
        port = e2e::pickFreePort();
        writeFile(daemon.configPath(), "{\"tcpListenPort\": " + std::to_string(port) + keys + "}");
        ASSERT_TRUE(daemon.startExpecting(port)) << daemon.lastError();
    }

    TempDir dir;
    e2e::DaemonProcess daemon{dir};
    uint16_t port = 0;
};

} // namespace

TEST_F(BenchHubLoad, MonitorsUpToTheCapGetEveryCopyAndTheOneBeyondIsRefused)
{
    start(", \"servePauseUs\": 0, \"maxMonitors\": 5");
    bench::MonitorTap taps;
    ASSERT_TRUE(taps.start(port, 5)) << taps.error();
    bench::MonitorTap beyond;
    EXPECT_FALSE(beyond.start(port, 1, bench::MonitorTap::kFirstId + 5));
    EXPECT_NE(beyond.error().find("kind 7"), std::string::npos) << beyond.error();

    std::unique_ptr<bench::Wire> wire = bench::makeWire(bench::Target::Pellix, port);
    bench::Plan flood;
    flood.routes = {{0, 1}};
    flood.messages = 1000;
    const bench::Outcome out = bench::runPlan(*wire, flood, daemon.pid(), nullptr);
    EXPECT_TRUE(out.ok) << out.error;
    taps.stop();
    // Every forwarded frame, and the registrations and heartbeats beside them.
    EXPECT_GE(taps.copies(), 5u * 1000u);
    EXPECT_EQ(taps.lost(), 0u);
}

TEST_F(BenchHubLoad, TheStatusLoopCollectsWholeDocumentsThatHoldTheCrowd)
{
    start("");
    bench::StatusLoad tooMany;
    bench::StatusLoadPlan wrong;
    wrong.loopers = bench::StatusLoad::kMostLoopers + 1;
    EXPECT_FALSE(tooMany.start(port, wrong));

    bench::StatusLoad load;
    bench::StatusLoadPlan plan;
    plan.crowd = 20;
    ASSERT_TRUE(load.start(port, plan)) << load.error();
    // Each looper's burst of answers comes at once.
    for (int i = 0; i < 250 && load.answers() < 4; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    EXPECT_TRUE(load.stop()) << load.error();
    EXPECT_GE(load.answers(), 4u);
    // 20 reports of 1000 bytes and 20 names, besides everything else.
    EXPECT_GT(load.documentBytes(), 20u * 1000u);
    EXPECT_GE(load.textBytes(), load.answers() * 20u * 1000u);
    EXPECT_TRUE(daemon.running());
}
