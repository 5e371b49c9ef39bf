// The timer manager: passes over the three priority maps, replacement,
// removal one pass after the last firing, the timer list, and callbacks that
// change their own timer while it fires.

#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

#include "tests/net/TraceLines.h"
#include "tests/support/OutputCapture.h"
#include "tests/timer/FakeClock.h"
#include "timer/CTimerManager.h"

namespace {

const char kRule[] = "_______________________________________________________\n";
const char kHeader[] = "timer list:\n    Name  \t\tPrior\tState\n";

class TimerManagerTest : public ::testing::Test {
protected:
    // A callback that appends its tag to `fired` each time it runs.
    TimerCallback record(const std::string &tag)
    {
        return [this, tag](const void *, int) { fired.push_back(tag); };
    }

    std::string dump()
    {
        OutputCapture out(1);
        mgr.dumpTimerMapInfo();
        return out.text();
    }

    TraceLevelScope level{TRACE_DEBUG};
    FakeClock clock;
    CTimerManager mgr;
    std::vector<std::string> fired;
};

TEST_F(TimerManagerTest, CountOneFiresOnceAndIsRemovedOnePassLater)
{
    mgr.addTimer("once", record("once"), 1, 100, TIMER_PRIORITY_NORMAL, nullptr, 0);
    clock.advanceMs(99);
    mgr.checkTimers();
    EXPECT_TRUE(fired.empty());

    clock.advanceMs(1);
    OutputCapture firing(1);
    mgr.checkTimers();
    EXPECT_EQ(firing.text(), "");
    EXPECT_EQ(fired, std::vector<std::string>{"once"});
    ASSERT_NE(mgr.findTimer("once", TIMER_PRIORITY_NORMAL), nullptr);

    OutputCapture removal(1);
    mgr.checkTimers();
    const TraceOutput trace = parseTrace(removal.text());
    ASSERT_EQ(trace.lines.size(), 1u);
    EXPECT_EQ(trace.lines[0].level, TRACE_WARM);
    EXPECT_EQ(trace.lines[0].func, "checkTimerMap");
    EXPECT_EQ(trace.lines[0].message, "remove timer: once\n");
    EXPECT_EQ(trace.other, "");
    EXPECT_EQ(mgr.findTimer("once", TIMER_PRIORITY_NORMAL), nullptr);
    EXPECT_EQ(fired.size(), 1u);
}

TEST_F(TimerManagerTest, CountZeroNeverFiresAndGoesAtFirstPass)
{
    mgr.addTimer("never", record("never"), 0, 0, TIMER_PRIORITY_LOW, nullptr, 0);
    OutputCapture out(1);
    mgr.checkTimers();
    EXPECT_EQ(parseTrace(out.text()).messages(), std::vector<std::string>{"remove timer: never\n"});
    EXPECT_TRUE(fired.empty());
    EXPECT_EQ(mgr.findTimer("never", TIMER_PRIORITY_LOW), nullptr);
}

TEST_F(TimerManagerTest, PeriodZeroFiresEveryPassAndUnlimitedKeepsFiring)
{
    mgr.addTimer("every", record("every"), -1, 0, TIMER_PRIORITY_HIGH, nullptr, 0);
    mgr.addTimer("tick", record("tick"), -1, 1000, TIMER_PRIORITY_NORMAL, nullptr, 0);
    for (int i = 0; i < 3; ++i) {
        mgr.checkTimers();
    }
    EXPECT_EQ(fired, std::vector<std::string>(3, "every"));

    fired.clear();
    for (int i = 0; i < 20; ++i) {
        clock.advanceMs(1000);
        mgr.checkTimers();
    }
    EXPECT_EQ(std::count(fired.begin(), fired.end(), "tick"), 20);
    EXPECT_EQ(std::count(fired.begin(), fired.end(), "every"), 20);
    EXPECT_EQ(mgr.findTimer("tick", TIMER_PRIORITY_NORMAL)->getCount(), -1);
}

TEST_F(TimerManagerTest, CountBelowMinusOneCountsDownWithoutFinishing)
{
    mgr.addTimer("odd", record("odd"), -2, 10, TIMER_PRIORITY_NORMAL, nullptr, 0);
    for (int i = 0; i < 3; ++i) {
        clock.advanceMs(10);
        mgr.checkTimers();
    }
    EXPECT_EQ(fired.size(), 3u);
    ASSERT_NE(mgr.findTimer("odd", TIMER_PRIORITY_NORMAL), nullptr);
    EXPECT_EQ(mgr.findTimer("odd", TIMER_PRIORITY_NORMAL)->getCount(), -5);
}

TEST_F(TimerManagerTest, AddUnderExistingNameReplacesWithFreshTiming)
{
    OutputCapture first(1);
    mgr.addTimer("job", record("old"), -1, 100, TIMER_PRIORITY_NORMAL, nullptr, 0);
    TraceOutput trace = parseTrace(first.text());
    ASSERT_EQ(trace.lines.size(), 1u);
    EXPECT_EQ(trace.lines[0].level, TRACE_NOTICE);
    EXPECT_EQ(trace.lines[0].func, "update");
    EXPECT_EQ(trace.lines[0].message, "insert job\n");

    clock.advanceMs(60);
    OutputCapture second(1);
    mgr.addTimer("job", record("new"), 2, 100, TIMER_PRIORITY_NORMAL, nullptr, 0);
    trace = parseTrace(second.text());
    ASSERT_EQ(trace.lines.size(), 1u);
    EXPECT_EQ(trace.lines[0].level, TRACE_NOTICE);
    EXPECT_EQ(trace.lines[0].func, "update");
    EXPECT_EQ(trace.lines[0].message, "update job\n");
    EXPECT_EQ(mgr.findTimer("job", TIMER_PRIORITY_NORMAL)->getCount(), 2);

    // The old timer would have been due here; the new one is not.
    clock.advanceMs(50);
    mgr.checkTimers();
    EXPECT_TRUE(fired.empty());
    clock.advanceMs(50);
    mgr.checkTimers();
    EXPECT_EQ(fired, std::vector<std::string>{"new"});
}

TEST_F(TimerManagerTest, SameNameInTwoPrioritiesStopAndResetActOnHighFirst)
{
    mgr.addTimer("dup", record("high"), -1, 100, TIMER_PRIORITY_HIGH, nullptr, 0);
    mgr.addTimer("dup", record("low"), -1, 100, TIMER_PRIORITY_LOW, nullptr, 0);
    CMTimer *high = mgr.findTimer("dup", TIMER_PRIORITY_HIGH);
    CMTimer *low = mgr.findTimer("dup", TIMER_PRIORITY_LOW);
    ASSERT_NE(high, nullptr);
    ASSERT_NE(low, nullptr);
    EXPECT_NE(high, low);

    clock.advanceMs(100);
    mgr.checkTimers();
    EXPECT_EQ(fired, (std::vector<std::string>{"high", "low"}));

    mgr.resetTimer("dup", 500);
    EXPECT_EQ(high->getPeriodMs(), 500u);
    EXPECT_EQ(low->getPeriodMs(), 100u);

    mgr.stopTimer("dup");
    EXPECT_FALSE(high->isActive());
    EXPECT_TRUE(low->isActive());

    // The stopped one goes at the next pass, the other one stays.
    fired.clear();
    OutputCapture out(1);
    clock.advanceMs(100);
    mgr.checkTimers();
    EXPECT_EQ(parseTrace(out.text()).messages(), std::vector<std::string>{"remove timer: dup\n"});
    EXPECT_EQ(mgr.findTimer("dup", TIMER_PRIORITY_HIGH), nullptr);
    EXPECT_EQ(mgr.findTimer("dup", TIMER_PRIORITY_LOW), low);
    EXPECT_EQ(fired, std::vector<std::string>{"low"});

    // Now the low one is the first found.
    mgr.stopTimer("dup");
    EXPECT_FALSE(low->isActive());

    // Names that no map holds change nothing and trace nothing.
    OutputCapture quiet(1);
    EXPECT_EQ(mgr.stopTimer("unknown"), 0);
    mgr.resetTimer("unknown", 5);
    EXPECT_EQ(quiet.text(), "");
}

TEST_F(TimerManagerTest, ClockSetBackFiresEveryActiveTimerAtNextPass)
{
    mgr.addTimer("short", record("short"), -1, 100, TIMER_PRIORITY_HIGH, nullptr, 0);
    mgr.addTimer("long", record("long"), -1, 60000, TIMER_PRIORITY_NORMAL, nullptr, 0);
    mgr.addTimer("off", record("off"), 0, 0, TIMER_PRIORITY_LOW, nullptr, 0);
    clock.advanceMs(50);
    mgr.checkTimers();
    EXPECT_TRUE(fired.empty());

    clock.advanceMs(-3600 * 1000);
    mgr.checkTimers();
    EXPECT_EQ(fired, (std::vector<std::string>{"short", "long"}));

    // The following period runs from the firing at the earlier time.
    fired.clear();
    clock.advanceMs(99);
    mgr.checkTimers();
    EXPECT_TRUE(fired.empty());
    clock.advanceMs(1);
    mgr.checkTimers();
    EXPECT_EQ(fired, std::vector<std::string>{"short"});
}

TEST_F(TimerManagerTest, ClockJumpedForwardFiresOnceNotOncePerMissedPeriod)
{
    mgr.addTimer("beat", record("beat"), -1, 100, TIMER_PRIORITY_NORMAL, nullptr, 0);
    clock.advanceMs(100 * 50 + 30);
    mgr.checkTimers();
    mgr.checkTimers();
    mgr.checkTimers();
    EXPECT_EQ(fired.size(), 1u);
    clock.advanceMs(99);
    mgr.checkTimers();
    EXPECT_EQ(fired.size(), 1u);
    clock.advanceMs(1);
    mgr.checkTimers();
    EXPECT_EQ(fired.size(), 2u);
}

TEST_F(TimerManagerTest, PassVisitsHighThenNormalThenLowEachInNameOrder)
{
    mgr.addTimer("a-low", record("a-low"), -1, 0, TIMER_PRIORITY_LOW, nullptr, 0);
    mgr.addTimer("z-high", record("z-high"), -1, 0, TIMER_PRIORITY_HIGH, nullptr, 0);
    mgr.addTimer("b", record("b-normal"), -1, 0, TIMER_PRIORITY_NORMAL, nullptr, 0);
    mgr.addTimer("ab", record("ab-normal"), -1, 0, TIMER_PRIORITY_NORMAL, nullptr, 0);
    mgr.addTimer("a", record("a-normal"), -1, 0, TIMER_PRIORITY_NORMAL, nullptr, 0);
    mgr.addTimer("B", record("B-normal"), -1, 0, TIMER_PRIORITY_NORMAL, nullptr, 0);
    mgr.checkTimers();
    EXPECT_EQ(fired, (std::vector<std::string>{"z-high", "B-normal", "a-normal", "ab-normal", "b-normal", "a-low"}));
}

TEST_F(TimerManagerTest, InvalidPriorityStoresNothing)
{
    OutputCapture out(1);
    EXPECT_EQ(mgr.addTimer("lost", record("lost"), -1, 0, 0, nullptr, 0), 0);
    EXPECT_EQ(mgr.addTimer("lost", record("lost"), -1, 0, 4, nullptr, 0), 0);
    EXPECT_EQ(mgr.addTimer("lost", record("lost"), -1, 0, -1, nullptr, 0), 0);
    mgr.checkTimers();
    EXPECT_EQ(out.text(), "");
    EXPECT_TRUE(fired.empty());
    for (int priority = 1; priority <= 3; ++priority) {
        EXPECT_EQ(mgr.findTimer("lost", priority), nullptr);
    }
    EXPECT_EQ(dump(), std::string(kHeader) + kRule);
}

TEST_F(TimerManagerTest, DumpListsEveryTimerByPriorityWithRunningIndex)
{
    EXPECT_EQ(dump(), std::string(kHeader) + kRule);

    mgr.addTimer("heartCmdCheck", record("h"), -1, 15000, TIMER_PRIORITY_NORMAL, nullptr, 0);
    mgr.addTimer("checkConnection", record("c"), -1, 10000, TIMER_PRIORITY_NORMAL, nullptr, 0);
    mgr.addTimer("zz", record("z"), 3, 10, TIMER_PRIORITY_LOW, nullptr, 0);
    mgr.addTimer("urgent", record("u"), 1, 10, TIMER_PRIORITY_HIGH, nullptr, 0);
    mgr.addTimer("a-name-longer-than-twenty", record("l"), -1, 10, TIMER_PRIORITY_LOW, nullptr, 0);
    mgr.stopTimer("zz");

    EXPECT_EQ(dump(), std::string(kHeader) + kRule +
                          "00.urgent                \thight\ttrue\n"
                          "01.checkConnection       \tnomal\ttrue\n"
                          "02.heartCmdCheck         \tnomal\ttrue\n"
                          "03.a-name-longer-than-twenty  \tlow\ttrue\n"
                          "04.zz                    \tlow\tfalse\n");
}

// A callback object with state of its own: if the timer holding it were
// destroyed while it runs, touching `tag` afterwards would read freed memory
// (AddressSanitizer reports that).
struct SelfReplacing {
    CTimerManager *mgr;
    std::vector<std::string> *log;
    std::string tag;

    void operator()(const void *, int)
    {
        mgr->addTimer("self", Successor{log}, 1, 50, TIMER_PRIORITY_NORMAL, nullptr, 0);
        log->push_back(tag + " replaced itself");
    }

    struct Successor {
        std::vector<std::string> *log;
        void operator()(const void *, int) { log->push_back("successor"); }
    };
};

TEST_F(TimerManagerTest, CallbackReplacingItsOwnTimerFinishesSafely)
{
    mgr.addTimer("self", SelfReplacing{&mgr, &fired, std::string(64, 'q')}, -1, 100, TIMER_PRIORITY_NORMAL, nullptr,
                 0);
    mgr.addTimer("sibling", record("sibling"), -1, 100, TIMER_PRIORITY_NORMAL, nullptr, 0);
    CMTimer *original = mgr.findTimer("self", TIMER_PRIORITY_NORMAL);

    clock.advanceMs(100);
    OutputCapture out(1);
    mgr.checkTimers();
    EXPECT_EQ(parseTrace(out.text()).messages(), std::vector<std::string>{"update self\n"});
    EXPECT_EQ(fired, (std::vector<std::string>{std::string(64, 'q') + " replaced itself", "sibling"}));
    CMTimer *successor = mgr.findTimer("self", TIMER_PRIORITY_NORMAL);
    ASSERT_NE(successor, nullptr);
    EXPECT_NE(successor, original);

    // The successor has its own timing: one period from its creation.
    fired.clear();
    clock.advanceMs(49);
    mgr.checkTimers();
    EXPECT_TRUE(fired.empty());
    clock.advanceMs(1);
    mgr.checkTimers();
    EXPECT_EQ(fired, std::vector<std::string>{"successor"});
}

TEST_F(TimerManagerTest, CallbackStoppingItsOwnTimerIsRemovedNextPass)
{
    int calls = 0;
    std::string name = "stopper";
    mgr.addTimer(name, [&](const void *, int) { ++calls; mgr.stopTimer(name); }, -1, 10, TIMER_PRIORITY_HIGH, nullptr,
                 0);
    clock.advanceMs(10);
    mgr.checkTimers();
    EXPECT_EQ(calls, 1);
    ASSERT_NE(mgr.findTimer(name, TIMER_PRIORITY_HIGH), nullptr);
    EXPECT_FALSE(mgr.findTimer(name, TIMER_PRIORITY_HIGH)->isActive());

    clock.advanceMs(10);
    OutputCapture out(1);
    mgr.checkTimers();
    EXPECT_EQ(parseTrace(out.text()).messages(), std::vector<std::string>{"remove timer: stopper\n"});
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(mgr.findTimer(name, TIMER_PRIORITY_HIGH), nullptr);
}

// The epoll loop waits until the nearest deadline, never past it.
TEST_F(TimerManagerTest, NextDueIsTheNearestDeadlineWithinTheMostAsked)
{
    EXPECT_EQ(mgr.msUntilNextDue(100), 100); // no timers
    mgr.addTimer("slow", record("slow"), -1, 15000, TIMER_PRIORITY_NORMAL, nullptr, 0);
    mgr.addTimer("soon", record("soon"), 1, 30, TIMER_PRIORITY_LOW, nullptr, 0);
    mgr.addTimer("done", record("done"), 0, 5, TIMER_PRIORITY_HIGH, nullptr, 0); // never fires
    EXPECT_EQ(mgr.msUntilNextDue(100), 30);
    clock.advanceMs(20);
    EXPECT_EQ(mgr.msUntilNextDue(100), 10);
    clock.advanceMs(15);
    EXPECT_EQ(mgr.msUntilNextDue(100), 0); // overdue
    mgr.checkTimers();
    EXPECT_EQ(mgr.msUntilNextDue(100), 100);
    EXPECT_EQ(mgr.msUntilNextDue(5), 5);
    clock.set(1600000000, 0); // set back: due at once, as the check counts it
    EXPECT_EQ(mgr.msUntilNextDue(100), 0);
}

} // namespace
