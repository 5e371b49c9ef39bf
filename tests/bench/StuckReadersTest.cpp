// The stuck-reader run: its frozen time is the union of the slow probes'
// excesses, through the hub with the shipped hardened file every probe of
// the healthy pair arrives while the flood goes on, and a hub that takes
// nothing more fails the run instead of hanging it.
#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <string>
#include <thread>

#include "bench/StuckReaders.h"
#include "tests/support/DaemonProcess.h"
#include "tests/support/TempDir.h"

namespace {

const int64_t kMs = 1000000;

} // namespace

TEST(BenchStuck, FrozenTimeMergesOverlappingProbesAndIgnoresFastOnes)
{
    // Three probes held up by the same block, one alone later, two fast.
    const std::vector<std::pair<int64_t, int64_t>> probes = {
        {10000 * kMs, 10300 * kMs}, {1100 * kMs, 5000 * kMs}, {0, 100 * kMs},
        {1000 * kMs, 5000 * kMs},   {1200 * kMs, 5001 * kMs}, {6000 * kMs, 6200 * kMs},
    };
    // [1200, 5001] and [10200, 10300]: summing the excesses would give 11201.
    EXPECT_EQ(bench::StuckReaders::frozenNs(probes, 200 * kMs), 3901 * kMs);
    EXPECT_EQ(bench::StuckReaders::frozenNs({}, 200 * kMs), 0);
}

TEST(BenchStuck, ThroughTheHardenedHubEveryProbeArrivesDuringTheFlood)
{
    TempDir dir;
    e2e::DaemonProcess daemon(dir);
    ASSERT_TRUE(daemon.startHardened()) << daemon.lastError();

    std::unique_ptr<bench::Wire> wire = bench::makeWire(bench::Target::Pellix, daemon.port());
    bench::StuckPlan plan;
    plan.stuckModules = 2;
    plan.seconds = 1.5;
    bench::StuckReaders run(*wire, plan, daemon.pid());
    const bench::StuckOutcome out = run.run();
    EXPECT_TRUE(out.ok) << out.error;
    // Strict ids: a probe under the wrong source id would be dropped.
    EXPECT_EQ(out.probesSent, 30);
    EXPECT_EQ(out.probesReceived, 30);
    EXPECT_EQ(out.latenciesNs.size(), 30u);
    EXPECT_GT(out.floodMessages, 0);
    EXPECT_GT(out.rssKb, 0);
    EXPECT_TRUE(daemon.running());
}

TEST(BenchStuck, AHubThatStopsTakingAnythingFailsTheRunWithTheProbesLostAndNoHang)
{
    TempDir dir;
    e2e::DaemonProcess daemon(dir);
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    std::unique_ptr<bench::Wire> wire = bench::makeWire(bench::Target::Pellix, daemon.port());
    bench::StuckPlan plan;
    plan.stuckModules = 1;
    plan.seconds = 3;
    plan.drainMs = 500;
    bench::StuckReaders run(*wire, plan, daemon.pid());
    // Stopped once the pair is under way, the hub holds every connection
    // open and reads none: the flooder's blocked write must still give up.
    std::thread stopper([&daemon, &run] {
        for (int i = 0; i < 2000 && run.probesArrived() < 2; ++i) {
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        daemon.sendSignal(SIGSTOP);
    });
    const bench::StuckOutcome out = run.run();
    stopper.join();
    daemon.sendSignal(SIGCONT);
    EXPECT_FALSE(out.ok);
    EXPECT_GT(out.probesSent, out.probesReceived);
    EXPECT_NE(out.error.find("probes lost"), std::string::npos) << out.error;
}
