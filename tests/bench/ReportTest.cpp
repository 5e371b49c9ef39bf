// The report takes medians over the repeats that succeeded only, and its
// ratios are the medians' ratios.
#include <gtest/gtest.h>

#include <string>

#include "bench/Report.h"
#include "tests/support/TempDir.h"

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
        "target=pellix-hardened scenario=flood size=32 ok=1 rate=100",
        "target=pellix-hardened scenario=flood size=32 ok=1 rate=300",
        "target=pellix-hardened scenario=flood size=32 ok=1 rate=200",
        "target=pellix-hardened scenario=flood size=32 ok=0 rate=999999",
        "target=mosquitto scenario=flood size=32 ok=1 rate=80",
        "target=mosquitto scenario=flood size=32 ok=1 rate=120",
        "target=floor scenario=flood size=32 ok=1 rate=400",
    }));
    EXPECT_EQ(row(table, "forward-flood 32 B: messages/s"),
              "| forward-flood 32 B: messages/s | 400 | – | – | 200 | 100 | 2.00× | 0.50× | – | – | – |");
    // No repeat of the 256-byte flood: dashes, never a zero.
    EXPECT_EQ(row(table, "forward-flood 256 B: messages/s"),
              "| forward-flood 256 B: messages/s | – | – | – | – | – | – | – | – | – | – |");
}

TEST(BenchReport, ManyModulesRowsUse200ConnectionsAndTheSweepListsEachCount)
{
    const std::string table = bench::markdownTable(input({
        "target=pellix scenario=many size=32 connections=200 ok=1 p50_us=5000 p99_us=9000",
        "target=pellix scenario=many size=32 connections=8 ok=1 p50_us=40 p99_us=90",
        "target=mosquitto scenario=many size=32 connections=200 ok=1 p50_us=50 p99_us=100",
    }));
    EXPECT_EQ(row(table, "200 modules, 10000/s in all: p50 µs"),
              "| 200 modules, 10000/s in all: p50 µs | – | – | 5,000 | – | 50.0 | – | – | – | – | 100.00× |");
    EXPECT_EQ(row(table, "8"), "| 8 | – | – | 40.0 | 90.0 | – | – | – | – | – | – | – | – |");
    EXPECT_EQ(row(table, "200"), "| 200 | – | – | 5,000 | 9,000 | – | – | 50.0 | 100 | – | – | – | – |");
}

TEST(BenchReport, StuckRowsHaveNoFloorAndAZeroIsShownButNeverDividedBy)
{
    const std::string table = bench::markdownTable(input({
        "target=pellix scenario=stuck size=60000 ok=1 frozen_ms=30000 worst_ms=30100",
        "target=pellix-hardened scenario=stuck size=60000 ok=1 frozen_ms=0 worst_ms=8",
        "target=mosquitto scenario=stuck size=60000 ok=1 frozen_ms=0 worst_ms=4",
    }));
    EXPECT_EQ(row(table, "stuck modules flooded: healthy pair frozen, ms"),
              "| stuck modules flooded: healthy pair frozen, ms | – | – | 30,000 | 0.00 | 0.00 | – | – | – | – | – |");
    EXPECT_EQ(row(table, "stuck modules flooded: worst probe latency, ms"),
              "| stuck modules flooded: worst probe latency, ms | – | – | 30,100 | 8.00 | 4.00 | 2.00× | – | – | – | 7525.00× |");
}

TEST(BenchReport, StuckChartDataIsInMillisecondsAndItsPanelIsDrawnOnlyWithStuckRuns)
{
    TempDir dir;
    ASSERT_TRUE(bench::writeChartFiles(input({
                                           "target=pellix scenario=stuck size=60000 ok=1 p50_us=3500000 worst_ms=10200",
                                           "target=pellix-hardened scenario=stuck size=60000 ok=1 p50_us=90 worst_ms=3.5",
                                           "target=mosquitto scenario=stuck size=60000 ok=1 p50_us=100 worst_ms=1.5",
                                       }),
                                       dir.path(), "x.png"));
    const std::string data = readFile(dir.path() + "/stuck.dat");
    EXPECT_NE(data.find("\n\"p50\" 3500 0.09 0.1\n\"worst\" 10200 3.5 1.5\n"), std::string::npos) << data;
    EXPECT_NE(readFile(dir.path() + "/chart.gp").find("layout 1,3"), std::string::npos);

    ASSERT_TRUE(bench::writeChartFiles(input({"target=pellix scenario=flood size=32 ok=1 rate=5"}), dir.path(), "x.png"));
    const std::string script = readFile(dir.path() + "/chart.gp");
    EXPECT_NE(script.find("layout 1,2"), std::string::npos);
    EXPECT_EQ(script.find("stuck.dat"), std::string::npos);
}

TEST(BenchReport, BridgeSectionKeepsTheQosApartAndAppearsOnlyWithBridgeRuns)
{
    const std::string table = bench::markdownTable(input({
        "target=pellix-bridge-hardened scenario=bridge size=32 qos=0 ok=1 rate=30000 cpu_us=4 hwm_kb=6000 lost=0",
        "target=pellix-bridge scenario=bridge size=32 qos=0 ok=1 rate=20000 idle_rss_kb=5900",
        "target=pellix-bridge scenario=bridge size=32 qos=1 ok=1 rate=9000 idle_rss_kb=6100",
        "target=mosquitto scenario=bridge size=32 qos=0 ok=1 rate=60000",
        "target=mosquitto scenario=flood size=32 ok=1 rate=999",
    }));
    EXPECT_EQ(row(table, "32 B, QoS 0"),
              "| 32 B, QoS 0 | 20,000 | 30,000 | 60,000 | – | 0.50× | 4.00 | – | 6,000 | 0.00 |");
    EXPECT_EQ(row(table, "32 B, QoS 1"), "| 32 B, QoS 1 | 9,000 | – | – | – | – | – | – | – | – |");
    EXPECT_NE(table.find("pellix-bridge 6,000 kB"), std::string::npos) << table;
    // The broker's bridge-scenario runs stay out of the main table.
    EXPECT_EQ(row(table, "forward-flood 32 B: messages/s"),
              "| forward-flood 32 B: messages/s | – | – | – | – | 999 | – | – | – | – | – |");
    EXPECT_EQ(bench::markdownTable(input({"target=pellix scenario=flood size=32 ok=1 rate=5"})).find("bridge"),
              std::string::npos);
}

TEST(BenchReport, RelayColumnAndItsRatiosOnlyWhereOneSenderFeedsOneReceiver)
{
    const bench::ReportInput in = input({
        "target=relay scenario=flood size=32 ok=1 rate=500 cpu_us=1",
        "target=pellix scenario=flood size=32 ok=1 rate=50",
        "target=pellix-hardened scenario=flood size=32 ok=1 rate=250 cpu_us=2",
        "target=relay scenario=fanout size=32 ok=1 rate=7",
        "target=relay scenario=many size=32 connections=8 ok=1 p50_us=20 p99_us=40",
        "target=pellix-hardened scenario=many size=32 connections=8 ok=1 p50_us=30 p99_us=100",
        "target=pellix-hardened scenario=many size=32 connections=2 ok=1 p50_us=30 p99_us=100",
    });
    const std::string table = bench::markdownTable(in);
    EXPECT_EQ(row(table, "forward-flood 32 B: messages/s"),
              "| forward-flood 32 B: messages/s | – | 500 | 50.0 | 250 | – | – | – | 0.50× | 0.10× | – |");
    EXPECT_EQ(row(table, "forward-flood 32 B: hub CPU µs/message"),
              "| forward-flood 32 B: hub CPU µs/message | – | 1.00 | – | 2.00 | – | – | – | 2.00× | – | – |");
    EXPECT_EQ(row(table, "fan-out 1 → 8: deliveries/s"),
              "| fan-out 1 → 8: deliveries/s | – | – | – | – | – | – | – | – | – | – |");
    EXPECT_EQ(row(table, "8"), "| 8 | 20.0 | 40.0 | – | – | 30.0 | 100 | – | – | – | – | 1.50× | 2.50× |");

    TempDir dir;
    ASSERT_TRUE(bench::writeChartFiles(in, dir.path(), "x.png"));
    const std::string data = readFile(dir.path() + "/throughput.dat");
    EXPECT_NE(data.find("# payload floor relay pellix pellix-hardened mosquitto"), std::string::npos) << data;
    EXPECT_NE(data.find("\"32 B\" 0 500 50 250 0\n"), std::string::npos) << data;
}

TEST(BenchReport, MonitorRowsPerHubAndCountInNumericOrderWithCpuAgainstNoMonitor)
{
    const std::string table = bench::markdownTable(input({
        "target=pellix scenario=monitor size=32 monitors=0 ok=1 rate=30000 cpu_us=1 hwm_kb=5000 "
        "private_peak_kb=300 monitor_copies=0 monitor_lost=0",
        "target=pellix scenario=monitor size=32 monitors=8 ok=1 rate=29000 cpu_us=1.5",
        "target=pellix scenario=monitor size=32 monitors=64 ok=1 rate=20000 cpu_us=4 hwm_kb=6000 "
        "private_peak_kb=900 monitor_copies=1000 monitor_lost=50",
        "target=pellix scenario=monitor size=32 monitors=64 ok=0 rate=1 cpu_us=99",
        "target=pellix-hardened scenario=monitor size=32 monitors=4 ok=1 rate=90000",
    }));
    const size_t at = table.find("| Pellix | 0 |");
    ASSERT_NE(at, std::string::npos) << table;
    EXPECT_LT(at, table.find("| Pellix | 4 |"));
    EXPECT_LT(table.find("| Pellix | 4 |"), table.find("| Pellix | 8 |"));
    EXPECT_LT(table.find("| Pellix | 8 |"), table.find("| Pellix | 64 |"));
    EXPECT_EQ(row(table, "Pellix | 64"), "| Pellix | 64 | 20,000 | 4.00 | 4.00× | 6,000 | 900 | 1,000 | 50.0 |");
    EXPECT_EQ(row(table, "Pellix | 8"), "| Pellix | 8 | 29,000 | 1.50 | 1.50× | – | – | – | – |");
    EXPECT_EQ(row(table, "Pellix hardened | 4"), "| Pellix hardened | 4 | 90,000 | – | – | – | – | – | – |");
    EXPECT_EQ(bench::markdownTable(input({"target=pellix scenario=flood size=32 ok=1 rate=5"})).find("monitors attached"),
              std::string::npos);
}

TEST(BenchReport, StatusLoopRowsCompareTheP99WithTheSameHubWithoutTheLoop)
{
    const std::string table = bench::markdownTable(input({
        "target=pellix-hardened scenario=statusloop size=32 crowd=200 loopers=0 ok=1 p50_us=40 p99_us=100 "
        "max_us=900 cpu_ms_per_s=80 answers=0 doc_bytes=0",
        "target=pellix-hardened scenario=statusloop size=32 crowd=200 loopers=2 ok=1 p50_us=45 p99_us=250 "
        "max_us=2000 cpu_ms_per_s=120 answers_per_s=4.8 status_kb_per_s=1296 doc_bytes=276480 private_peak_kb=2100",
        "target=pellix scenario=statusloop size=32 crowd=200 loopers=2 ok=1 p99_us=3000",
    }));
    EXPECT_NE(table.find("beside 200 registered modules"), std::string::npos) << table;
    EXPECT_NE(table.find("a status document of 270 KiB"), std::string::npos) << table;
    EXPECT_EQ(row(table, "Pellix hardened | none"),
              "| Pellix hardened | none | 40.0 | 100 | 900 | 1.00× | 80.0 | – | – | – |");
    EXPECT_EQ(row(table, "Pellix hardened | 2"),
              "| Pellix hardened | 2 | 45.0 | 250 | 2,000 | 2.50× | 120 | 4.80 | 1,296 | 2,100 |");
    EXPECT_EQ(row(table, "Pellix | 2"), "| Pellix | 2 | – | 3,000 | – | – | – | – | – | – |");
    EXPECT_EQ(bench::markdownTable(input({"target=pellix scenario=paced size=32 ok=1 p99_us=5"})).find("status"),
              std::string::npos);
}
