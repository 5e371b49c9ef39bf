// The levelled trace line: prefix, time stamp, colour, level filter and the
// report of an out-of-range level.

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <regex>
#include <set>
#include <string>

#include "tests/support/OutputCapture.h"
#include "tests/trace/TraceFixture.h"
#include "trace/Trace.h"

namespace {

const char *const kTags[] = {
    "\033[1;31m[FATEL ]",    "\033[0;35m[ALERT ]",    "\033[0;32;31m[ERROR ]", "\033[1;33m[ WARM ]",
    "\033[0;32;34m[NOTICE]", "\033[0;32;32m[ INFO ]", "\033[0;36m[DEBUG ]",
};

// "MM/DD/YY HH:MM:SS.mmm"
const size_t kStampSize = 21;
const std::regex kStamp(R"(\d\d/\d\d/\d\d \d\d:\d\d:\d\d\.\d\d\d)");

// Splits one captured trace line into its time stamp and the rest.
struct Split {
    std::string stamp;
    std::string rest;
};

Split splitLine(const std::string &text)
{
    Split s;
    s.stamp = text.substr(0, kStampSize);
    s.rest = text.size() > kStampSize ? text.substr(kStampSize) : std::string();
    return s;
}

std::string expectedRest(int level, const std::string &name, const std::string &func, const std::string &line,
                         const std::string &message)
{
    return std::string(":") + kTags[level] + ": #[" + name + "]: " + func + "\t[" + line + "]: " + message +
           "\033[m";
}

// Sets TZ for one test and puts the previous zone back afterwards.
class ScopedTimeZone {
public:
    explicit ScopedTimeZone(const char *zone)
    {
        const char *old = getenv("TZ");
        hadOld = old != nullptr;
        if (hadOld) {
            oldValue = old;
        }
        setenv("TZ", zone, 1);
        tzset();
    }
    ~ScopedTimeZone()
    {
        if (hadOld) {
            setenv("TZ", oldValue.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    ScopedTimeZone(const ScopedTimeZone &) = delete;
    ScopedTimeZone &operator=(const ScopedTimeZone &) = delete;

private:
    bool hadOld = false;
    std::string oldValue;
};

std::string localClock(time_t t)
{
    struct tm local;
    localtime_r(&t, &local);
    char text[32];
    strftime(text, sizeof text, "%D %H:%M:%S", &local);
    return text;
}

} // namespace

class TraceLineTest : public TraceTestBase {};

TEST_F(TraceLineTest, StartsAtInfoWithNoName)
{
    // Nothing in this process has set them: the values at load.
    EXPECT_EQ(traceLevel, 5);
    EXPECT_EQ(traceName, "");

    OutputCapture out(1);
    tm_printf(TRACE_INFO, "early", 7, "before main\n");
    tm_printf(TRACE_DEBUG, "early", 8, "dropped\n");
    const Split s = splitLine(out.text());
    EXPECT_TRUE(std::regex_match(s.stamp, kStamp)) << s.stamp;
    EXPECT_EQ(s.rest, expectedRest(5, "", "early", "   7", "before main\n"));
}

TEST_F(TraceLineTest, NoticeLineByteForByte)
{
    tm_set_name("pellix");
    tm_set_level(4);
    OutputCapture out(1);
    tm_printf(TRACE_NOTICE, "main", 42, "msg\n");
    const Split s = splitLine(out.text());
    EXPECT_TRUE(std::regex_match(s.stamp, kStamp)) << s.stamp;
    EXPECT_EQ(s.rest, ":\033[0;32;34m[NOTICE]: #[pellix]: main\t[  42]: msg\n\033[m");
}

TEST_F(TraceLineTest, AlertLineFromMainWithArguments)
{
    tm_set_name("pellix");
    tm_set_level(4);
    OutputCapture out(1);
    tm_printf(TRACE_ALERT, "main", 97, "tcp svr listen port: %d, unix svr listen path: %s\n", 10032,
              "/tmp/qm_sock");
    const Split s = splitLine(out.text());
    EXPECT_TRUE(std::regex_match(s.stamp, kStamp)) << s.stamp;
    EXPECT_EQ(s.rest, ":\033[0;35m[ALERT ]: #[pellix]: main\t[  97]: "
                      "tcp svr listen port: 10032, unix svr listen path: /tmp/qm_sock\n\033[m");
}

TEST_F(TraceLineTest, EveryLevelCarriesItsTag)
{
    tm_set_name("p");
    tm_set_level(6);
    for (int level = 0; level <= 6; ++level) {
        OutputCapture out(1);
        tm_printf(level, "f", 1, "x\n");
        EXPECT_EQ(splitLine(out.text()).rest, expectedRest(level, "p", "f", "   1", "x\n")) << "level " << level;
    }
}

TEST_F(TraceLineTest, LineNumberIsRightAlignedInFourColumns)
{
    tm_set_name("pellix");
    tm_set_level(6);
    OutputCapture out(1);
    tm_printf(TRACE_DEBUG, "f", 0, "a\n");
    tm_printf(TRACE_DEBUG, "f", 1234, "b\n");
    tm_printf(TRACE_DEBUG, "f", 56789, "c\n");
    tm_printf(TRACE_DEBUG, "f", -5, "d\n");
    const std::string text = out.text();
    EXPECT_NE(text.find("\t[   0]: a\n"), std::string::npos);
    EXPECT_NE(text.find("\t[1234]: b\n"), std::string::npos);
    EXPECT_NE(text.find("\t[56789]: c\n"), std::string::npos);
    EXPECT_NE(text.find("\t[  -5]: d\n"), std::string::npos);
}

TEST_F(TraceLineTest, LongMessageIsPrintedWhole)
{
    tm_set_level(6);
    const std::string message(5000, 'z');
    OutputCapture out(1);
    tm_printf(TRACE_DEBUG, "f", 1, "%s|%d\n", message.c_str(), -17);
    const std::string rest = splitLine(out.text()).rest;
    EXPECT_EQ(rest, expectedRest(6, traceName, "f", "   1", message + "|-17\n"));
}

TEST_F(TraceLineTest, NoNewlineIsAddedAndResetFollowsMessage)
{
    tm_set_level(6);
    OutputCapture out(1);
    tm_printf(TRACE_DEBUG, "f", 1, "no newline");
    const std::string text = out.text();
    EXPECT_EQ(text.substr(text.size() - 13), "no newline\033[m");
}

TEST_F(TraceLineTest, StampIsLocalTimeOfTheCall)
{
    // A zone with a half-hour offset from UTC shows up any use of UTC.
    ScopedTimeZone zone("PLX-5:30");
    tm_set_level(6);
    OutputCapture out(1);
    const time_t before = time(nullptr);
    tm_printf(TRACE_DEBUG, "f", 1, "x\n");
    const time_t after = time(nullptr);
    const std::string stamp = splitLine(out.text()).stamp;
    ASSERT_TRUE(std::regex_match(stamp, kStamp)) << stamp;
    // time() reads the kernel's coarse clock, which may still show the
    // second before when the trace's clock has passed into the next one.
    std::set<std::string> allowed;
    for (time_t t = before; t <= after + 1; ++t) {
        allowed.insert(localClock(t));
    }
    EXPECT_EQ(allowed.count(stamp.substr(0, 17)), 1u) << stamp;
}

class TraceLevelTest : public TraceTestBase {};

TEST_F(TraceLevelTest, NoticeThresholdDropsInfoAndDebug)
{
    tm_set_name("pellix");
    tm_set_level(4);
    {
        OutputCapture out(1);
        tm_printf(TRACE_INFO, "f", 1, "info\n");
        tm_printf(TRACE_DEBUG, "f", 1, "debug\n");
        EXPECT_EQ(out.text(), "");
    }
    for (int level = 0; level <= 4; ++level) {
        OutputCapture out(1);
        tm_printf(level, "f", 1, "shown\n");
        EXPECT_EQ(splitLine(out.text()).rest, expectedRest(level, "pellix", "f", "   1", "shown\n"));
    }
    EXPECT_TRUE(tm_enabled(4));
    EXPECT_FALSE(tm_enabled(5));
}

TEST_F(TraceLevelTest, OutOfRangeLevelIsReportedWhateverTheThreshold)
{
    for (int threshold : {-1, 0, 4, 6, 100}) {
        tm_set_level(threshold);
        OutputCapture out(1);
        tm_printf(7, "f", 1, "never %d\n", 1);
        tm_printf(-1, "f", 1, "never\n");
        tm_printf(-2147483647 - 1, "f", 1, "never\n");
        EXPECT_EQ(out.text(), "tm printf input err level 7\n"
                              "tm printf input err level -1\n"
                              "tm printf input err level -2147483648\n")
            << "threshold " << threshold;
    }
    EXPECT_FALSE(tm_enabled(7));
    EXPECT_FALSE(tm_enabled(-1));
}

TEST_F(TraceLevelTest, NegativeThresholdSilencesEveryLevel)
{
    EXPECT_EQ(tm_set_level(-1), 0);
    EXPECT_EQ(traceLevel, -1);
    OutputCapture out(1);
    for (int level = 0; level <= 6; ++level) {
        tm_printf(level, "f", 1, "x\n");
        tm_printf_raw(level, "raw\n");
    }
    EXPECT_EQ(out.text(), "");
}

TEST_F(TraceLevelTest, ThresholdIsStoredUncheckedAndNameCopied)
{
    EXPECT_EQ(tm_set_level(1000), 0);
    EXPECT_EQ(traceLevel, 1000);
    std::string name = "hub";
    EXPECT_EQ(tm_set_name(name), 0);
    name = "changed";
    EXPECT_EQ(traceName, "hub");

    OutputCapture out(1);
    tm_printf(TRACE_DEBUG, "f", 3, "y\n");
    EXPECT_EQ(splitLine(out.text()).rest, expectedRest(6, "hub", "f", "   3", "y\n"));
}

class TraceRawTest : public TraceTestBase {};

TEST_F(TraceRawTest, PrintsOnlyTheFormattedText)
{
    tm_set_name("pellix");
    tm_set_level(4);
    OutputCapture out(1);
    tm_printf_raw(TRACE_NOTICE, "a=%d b=%s\n", 3, "x");
    tm_printf_raw(TRACE_INFO, "dropped\n");
    tm_printf_raw(TRACE_FATEL, "no reset");
    tm_printf_raw(7, "never\n");
    tm_printf_raw(-1, "never\n");
    EXPECT_EQ(out.text(), "a=3 b=x\nno resettm printf input err level 7\ntm printf input err level -1\n");
}
