// One timer on its own, driven by the fake clock: when it is due, how it
// counts, what it hands to its callback.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "tests/timer/FakeClock.h"
#include "timer/CMTimer.h"

namespace {

class CMTimerTest : public ::testing::Test {
protected:
    TimerCallback recorder()
    {
        return [this](const void *data, int len) {
            datas.push_back(data);
            bytes.push_back(data != nullptr ? std::string(static_cast<const char *>(data), len) : "");
        };
    }

    FakeClock clock;
    std::vector<const void *> datas;
    std::vector<std::string> bytes;
};

TEST_F(CMTimerTest, DueOnePeriodAfterCreationThenOnePeriodAfterEachFiring)
{
    CMTimer timer(nullptr, 0, -1, 100);
    timer.setCallback(recorder());
    clock.advanceMs(99);
    EXPECT_EQ(timer.checkTimeout(), 0);
    clock.advanceMs(1);
    EXPECT_EQ(timer.checkTimeout(), 1);
    EXPECT_EQ(timer.checkTimeout(), 0);

    // Late by 30 ms: the next period runs from the late firing; the lateness
    // is not made up.
    clock.advanceMs(130);
    EXPECT_EQ(timer.checkTimeout(), 1);
    clock.advanceMs(99);
    EXPECT_EQ(timer.checkTimeout(), 0);
    clock.advanceMs(1);
    EXPECT_EQ(timer.checkTimeout(), 1);
    EXPECT_EQ(datas.size(), 3u);
    EXPECT_EQ(timer.getCount(), -1);
}

TEST_F(CMTimerTest, ElapsedTimeIsCountedInWholeMilliseconds)
{
    // Both times are cut to whole milliseconds before subtracting: from
    // x.250999 s to x.350000 s counts as 100 ms, although 99.001 ms passed.
    clock.set(5000, 250999);
    CMTimer timer(nullptr, 0, 1, 100);
    clock.set(5000, 349999);
    EXPECT_EQ(timer.checkTimeout(), 0);
    clock.set(5000, 350000);
    EXPECT_EQ(timer.checkTimeout(), 1);
}

TEST_F(CMTimerTest, TimerWithoutCallbackStillCountsAndRestarts)
{
    CMTimer timer(nullptr, 0, 2, 100);
    clock.advanceMs(100);
    EXPECT_EQ(timer.checkTimeout(), 1);
    EXPECT_EQ(timer.getCount(), 1);
    clock.advanceMs(99);
    EXPECT_EQ(timer.checkTimeout(), 0);
    clock.advanceMs(1);
    EXPECT_EQ(timer.checkTimeout(), 1);
    EXPECT_FALSE(timer.isActive());
    clock.advanceMs(100);
    EXPECT_EQ(timer.checkTimeout(), 0);
}

TEST_F(CMTimerTest, CallbackGetsPrivateCopyOfDataOrNullAndZero)
{
    char source[] = "abc\0def";
    CMTimer withData(source, 7, -1, 0);
    withData.setCallback(recorder());
    memset(source, 'x', sizeof source);
    withData.checkTimeout();
    withData.checkTimeout();
    EXPECT_EQ(bytes[0], std::string("abc\0def", 7));
    EXPECT_NE(datas[0], static_cast<const void *>(source));
    EXPECT_EQ(datas[0], datas[1]); // the same buffer at every firing

    int seenLen = -1;
    CMTimer zeroLength(source, 0, 1, 0);
    zeroLength.setCallback([&](const void *data, int len) {
        datas.push_back(data);
        seenLen = len;
    });
    zeroLength.checkTimeout();
    EXPECT_EQ(datas.back(), nullptr);
    EXPECT_EQ(seenLen, 0);
}

TEST_F(CMTimerTest, CountAndTimeAreUpdatedBeforeTheCallbackRuns)
{
    int countSeen = 99;
    int dueAgainInside = -1;
    CMTimer timer(nullptr, 0, 3, 10);
    timer.setCallback([&](const void *, int) {
        countSeen = timer.getCount();
        dueAgainInside = timer.checkTimeout();
    });
    clock.advanceMs(10);
    EXPECT_EQ(timer.checkTimeout(), 1);
    EXPECT_EQ(countSeen, 2);
    EXPECT_EQ(dueAgainInside, 0);
}

TEST_F(CMTimerTest, ResetGivesNewPeriodFromNowAndNeverRevives)
{
    CMTimer timer(nullptr, 0, 2, 100);
    clock.advanceMs(50);
    timer.reset(200);
    EXPECT_EQ(timer.getPeriodMs(), 200u);
    clock.advanceMs(199);
    EXPECT_EQ(timer.checkTimeout(), 0);
    clock.advanceMs(1);
    EXPECT_EQ(timer.checkTimeout(), 1);
    EXPECT_EQ(timer.getCount(), 1);

    timer.stop();
    timer.reset(10);
    clock.advanceMs(10);
    EXPECT_EQ(timer.checkTimeout(), 0);
    EXPECT_FALSE(timer.isActive());
}

} // namespace
