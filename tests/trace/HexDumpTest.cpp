// The framed hex blocks of received and forwarded bytes.

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "tests/support/OutputCapture.h"
#include "tests/trace/TraceFixture.h"
#include "trace/Trace.h"

namespace {

std::vector<unsigned char> counting(int n)
{
    std::vector<unsigned char> bytes;
    for (int i = 0; i < n; ++i) {
        bytes.push_back(static_cast<unsigned char>(i));
    }
    return bytes;
}

const std::string kDumpHeader = TRACE_GREEN "in onReadSocketData:[338]:\n" TRACE_RULE "\n";
const std::string kDebugHeader = TRACE_GREEN "in debug_print:\n" TRACE_RULE "\n";

std::string footer(int size)
{
    return " size = " + std::to_string(size) + "\n" TRACE_RULE "\n" TRACE_RESET;
}

} // namespace

class HexDumpTest : public TraceTestBase {};

TEST_F(HexDumpTest, TwentyFiveBytesMakeTwoFullRowsAndAShortOne)
{
    const std::vector<unsigned char> bytes = counting(25);
    OutputCapture out(1);
    EXPECT_EQ(tm_dump(bytes.data(), 25, 338, "onReadSocketData"), 0);
    EXPECT_EQ(out.text(), kDumpHeader +
                              "00 01 02 03 04 05 06 07 08 09 \n"
                              "0a 0b 0c 0d 0e 0f 10 11 12 13 \n"
                              "14 15 16 17 18  size = 25\n" TRACE_RULE "\n" TRACE_RESET);
}

TEST_F(HexDumpTest, TenBytesEndTheirRowSoTheFooterStartsWithASpace)
{
    const std::vector<unsigned char> bytes = counting(10);
    OutputCapture out(1);
    tm_dump(bytes.data(), 10, 338, "onReadSocketData");
    EXPECT_EQ(out.text(), kDumpHeader + "00 01 02 03 04 05 06 07 08 09 \n" + footer(10));
}

TEST_F(HexDumpTest, EmptyAndNegativeSizesPrintNoBytes)
{
    // The data is never read for such sizes.
    OutputCapture out(1);
    tm_dump(nullptr, 0, 338, "onReadSocketData");
    tm_dump(nullptr, -3, 338, "onReadSocketData");
    EXPECT_EQ(debug_print(nullptr, 0), 0);
    debug_print(nullptr, -1);
    EXPECT_EQ(out.text(), kDumpHeader + footer(0) + kDumpHeader + footer(-3) + kDebugHeader + footer(0) +
                              kDebugHeader + footer(-1));
}

TEST_F(HexDumpTest, HighBytesAreNotSignExtended)
{
    const char bytes[] = {'\x80', '\xff', '\x7f', '\xa5', '\x00'};
    OutputCapture out(1);
    tm_dump(bytes, 5, 1, "f");
    debug_print(bytes, 5);
    EXPECT_EQ(out.text(), TRACE_GREEN "in f:[1]:\n" TRACE_RULE "\n80 ff 7f a5 00  size = 5\n" TRACE_RULE
                          "\n" TRACE_RESET + kDebugHeader + "80 ff 7f a5 00  size = 5\n" TRACE_RULE "\n" TRACE_RESET);
}

TEST_F(HexDumpTest, DebugPrintHasTheFixedHeader)
{
    const std::vector<unsigned char> bytes = counting(11);
    OutputCapture out(1);
    debug_print(bytes.data(), 11);
    EXPECT_EQ(out.text(), kDebugHeader + "00 01 02 03 04 05 06 07 08 09 \n0a  size = 11\n" TRACE_RULE "\n" TRACE_RESET);
}

TEST_F(HexDumpTest, DumpsIgnoreTheTraceLevel)
{
    tm_set_level(-1);
    const unsigned char byte = 0x3c;
    OutputCapture out(1);
    tm_dump(&byte, 1, 9, "forwardData");
    debug_print(&byte, 1);
    EXPECT_EQ(out.text(), TRACE_GREEN "in forwardData:[9]:\n" TRACE_RULE "\n3c " + footer(1) + kDebugHeader + "3c " +
                              footer(1));
}
