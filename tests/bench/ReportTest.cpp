// The report takes medians over the repeats that succeeded only, and its
// ratios are the medians' ratios.
#include <gtest/gtest.h>

#include <string>

#include "bench/Report.h"

namespace {

bench::ReportInput input(const std::vector<std::string> &lines)
{
    bench::ReportInput in;
    for (const std::string &line : lines) {
        in.lines.push_back(bench::parseResultLine(line));
    }
    return in;
}

// The table's row that starts with `title`, or "" when there is none.
std::string row(const std::string &table, const std::string &title)
{
    const size_t at = table.find("| " + title + " |");
    if (at == std::string::npos) {
        return std::string();
    }
    return table.substr(at, table.find('\n', at) - at);
}

} // namespace

TEST(BenchReport, ResultLinesReadBackAsWrittenWithTheKeyWordsFirst)
{
    const bench::ResultLine line = bench::parseResultLine("rate=5 target=x ok=1 scenario=flood size=32 junk");
    EXPECT_EQ(line.size(), 5u);
    EXPECT_EQ(bench::formatResultLine(line), "target=x scenario=flood size=32 ok=1 rate=5");
    EXPECT_EQ(bench::parseResultLine(bench::formatResultLine(line)), line);
}

TEST(BenchReport, MedianIgnoresFailedRepeatsAndRatiosUseTheMedians)
{
    const std::string table = bench::markdownTable(input({
        "target=pellix-nopause scenario=flood size=32 ok=1 rate=100",
        "target=pellix-nopause scenario=flood size=32 ok=1 rate=300",
        "target=pellix-nopause scenario=flood size=32 ok=1 rate=200",
        "target=pellix-nopause scenario=flood size=32 ok=0 rate=999999",
        "target=mosquitto scenario=flood size=32 ok=1 rate=80",
        "target=mosquitto scenario=flood size=32 ok=1 rate=120",
        "target=floor scenario=flood size=32 ok=1 rate=400",
    }));
    EXPECT_EQ(row(table, "forward-flood 32 B: messages/s"),
              "| forward-flood 32 B: messages/s | 400 | – | 200 | 100 | 2.00× | 0.50× | – |");
    // No repeat of the 256-byte flood: dashes, never a zero.
    EXPECT_EQ(row(table, "forward-flood 256 B: messages/s"),
              "| forward-flood 256 B: messages/s | – | – | – | – | – | – | – |");
}

TEST(BenchReport, ManyModulesRowsUse200ConnectionsAndTheSweepListsEachCount)
{
    const std::string table = bench::markdownTable(input({
        "target=pellix-default scenario=many size=32 connections=200 ok=1 p50_us=5000 p99_us=9000",
        "target=pellix-default scenario=many size=32 connections=8 ok=1 p50_us=40 p99_us=90",
        "target=mosquitto scenario=many size=32 connections=200 ok=1 p50_us=50 p99_us=100",
    }));
    EXPECT_EQ(row(table, "200 modules, 10000/s in all: p50 µs"),
              "| 200 modules, 10000/s in all: p50 µs | – | 5,000 | – | 50.0 | – | – | 100.00× |");
    EXPECT_EQ(row(table, "8"), "| 8 | 40.0 | 90.0 | – | – | – | – |");
    EXPECT_EQ(row(table, "200"), "| 200 | 5,000 | 9,000 | – | – | 50.0 | 100 |");
}
