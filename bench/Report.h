#pragma once
// Turns the result lines of many runs into the table of medians (Markdown)
// and the data and script of the chart (gnuplot).
//
// A result line is a list of key=value words; the runs of one (target,
// scenario, size) are the repeats whose median is taken.

#include <map>
#include <string>
#include <vector>

namespace bench {

typedef std::map<std::string, std::string> ResultLine;

ResultLine parseResultLine(const std::string &line);
std::string formatResultLine(const ResultLine &line);

struct ReportInput {
    std::vector<ResultLine> lines;
    std::string title;   // first line above the table
    std::string machine; // a sentence on when and where it was measured
};

// The Markdown table with the ratios to the peer and to the floor.
std::string markdownTable(const ReportInput &input);
// Writes <dir>/throughput.dat, latency.dat, stuck.dat, sweep.dat and
// chart.gp (which draws <dir>/<png>); false when a file cannot be written.
bool writeChartFiles(const ReportInput &input, const std::string &dir, const std::string &png);

} // namespace bench
