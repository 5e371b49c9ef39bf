#include <gtest/gtest.h>

#include "trace/Trace.h"
#include "tests/support/OutputCapture.h"

TEST(Trace, DroppedAboveThreshold)
{
    tm_set_level(4);
    OutputCapture out(1);
    tm_printf(5, "f", 1, "x\n");
    EXPECT_EQ(out.text(), "");
}
