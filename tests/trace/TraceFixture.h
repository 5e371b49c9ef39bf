#pragma once
// Keeps the trace's process-wide threshold and name as each test found them,
// so that tests can change both freely and in any order.

#include <gtest/gtest.h>

#include <string>

#include "trace/Trace.h"

class TraceTestBase : public ::testing::Test {
protected:
    void SetUp() override
    {
        savedLevel = traceLevel;
        savedName = traceName;
    }
    void TearDown() override
    {
        traceLevel = savedLevel;
        traceName = savedName;
    }

private:
    int savedLevel = 0;
    std::string savedName;
};

// ESC [ ... m sequences used by the trace.
#define TRACE_RESET "\033[m"
#define TRACE_GREEN "\033[0;32;32m"
#define TRACE_RULE "*****************************"
