#include "bench/Report.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <sstream>

namespace bench {

namespace {

// The five columns, in the order of the table and the chart: the two
// floors, the hub with the configuration it ships with and with the
// hardened file, and the broker.
const char *const kTargets[] = {"floor", "relay", "pellix", "pellix-hardened", "mosquitto"};
const char *const kTargetTitles[] = {"Direct floor", "Relay floor", "Pellix", "Pellix hardened", "Mosquitto"};
const int kFloor = 0;
const int kRelay = 1;
const int kDefault = 2;
const int kHardened = 3;
const int kPeer = 4;
const int kTargetCount = 5;
// The hub as it ships with a monitor attached: paced runs, in a table of
// their own.
const char *const kMonitoredTarget = "pellix-monitor";
// The hub's two configurations, for the scenarios only a hub has.
const int kHubs[] = {kDefault, kHardened};

// Values that a line must hold besides target, scenario and size.
typedef std::vector<std::pair<std::string, std::string>> Match;

bool numberOf(const ResultLine &line, const std::string &key, double &out)
{
    ResultLine::const_iterator it = line.find(key);
    if (it == line.end() || it->second.empty() || it->second == "-") {
        return false;
    }
    char *end = nullptr;
    out = strtod(it->second.c_str(), &end);
    return end != nullptr && *end == '\0' && std::isfinite(out);
}

std::string valueOf(const ResultLine &line, const std::string &key)
{
    ResultLine::const_iterator it = line.find(key);
    return it == line.end() ? std::string() : it->second;
}

// Median over the repeats of one target, scenario and size (and `match`);
// false when no repeat has the key.
// The many-modules scenario runs with 200 connections unless it is part of
// the sweep over the number of connections.
bool median(const ReportInput &input, const std::string &target, const std::string &scenario,
            const std::string &size, const std::string &key, double &out, const Match &match = Match())
{
    Match wanted = match;
    if (scenario == "many" && std::find_if(match.begin(), match.end(), [](const std::pair<std::string, std::string> &m) {
                                  return m.first == "connections";
                              }) == match.end()) {
        wanted.emplace_back("connections", "200");
    }
    std::vector<double> values;
    for (const ResultLine &line : input.lines) {
        double v = 0;
        bool matches = valueOf(line, "target") == target && valueOf(line, "scenario") == scenario &&
                       (size.empty() || valueOf(line, "size") == size) && valueOf(line, "ok") == "1";
        for (const auto &m : wanted) {
            matches = matches && valueOf(line, m.first) == m.second;
        }
        if (matches && numberOf(line, key, v) && v >= 0) {
            values.push_back(v);
        }
    }
    if (values.empty()) {
        return false;
    }
    std::sort(values.begin(), values.end());
    const size_t n = values.size();
    out = n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
    return true;
}

std::string formatNumber(double v)
{
    char text[64];
    if (v >= 1000) {
        // Thousands separated by thin spaces would not survive every viewer.
        snprintf(text, sizeof text, "%.0f", v);
        std::string digits(text);
        std::string out;
        for (size_t i = 0; i < digits.size(); ++i) {
            if (i > 0 && (digits.size() - i) % 3 == 0) {
                out += ',';
            }
            out += digits[i];
        }
        return out;
    }
    if (v >= 100) {
        snprintf(text, sizeof text, "%.0f", v);
    } else if (v >= 10) {
        snprintf(text, sizeof text, "%.1f", v);
    } else {
        snprintf(text, sizeof text, "%.2f", v);
    }
    return text;
}

struct Row {
    std::string title;
    std::string scenario;
    std::string size;
    std::string key;
    bool hasFloor;
    // The relay carries the scenarios where one sender feeds one receiver.
    bool hasRelay() const { return scenario == "flood" || scenario == "paced" || scenario == "many"; }
};

std::string ratio(bool haveA, double a, bool haveB, double b)
{
    if (!haveA || !haveB || b <= 0) {
        return "–";
    }
    char text[32];
    snprintf(text, sizeof text, "%.2f×", a / b);
    return text;
}

// The connection counts of the sweep, ascending (the 200 of the main
// scenario included when it ran).
std::vector<std::string> sweepConnections(const ReportInput &input)
{
    std::vector<int> counts;
    for (const ResultLine &line : input.lines) {
        if (valueOf(line, "scenario") == "many" && !valueOf(line, "connections").empty()) {
            const int n = atoi(valueOf(line, "connections").c_str());
            if (std::find(counts.begin(), counts.end(), n) == counts.end()) {
                counts.push_back(n);
            }
        }
    }
    std::sort(counts.begin(), counts.end());
    std::vector<std::string> out;
    if (counts.size() > 1) {
        for (int n : counts) {
            out.push_back(std::to_string(n));
        }
    }
    return out;
}

// One cluster of bars per row of `file`, a bar per target from `first` on,
// each target in the same colour in every panel.
std::string barPlot(const std::string &file, int first = kFloor)
{
    std::string plot = "plot '" + file + "'";
    for (int t = first; t < kTargetCount; ++t) {
        plot += std::string(t == first ? "" : ", ''") + " using " + std::to_string(t + 2 - first) +
                (t == first ? ":xtic(1)" : "") + " title \"" + kTargetTitles[t] + "\" lt " + std::to_string(t + 1);
    }
    return plot + "\n";
}

// Hub events carried to an MQTT subscriber by pellix-bridge, beside the
// same publications made straight to the broker and relayed by Mosquitto's
// own bridge; only when a bridge scenario ran.
void bridgeSection(const ReportInput &input, std::ostringstream &out)
{
    const char *const targets[] = {"pellix-bridge", "pellix-bridge-hardened", "mosquitto", "mosquitto-bridge"};
    const int kShips = 0, kHardenedHub = 1, kAlone = 2, kPeerBridge = 3;
    bool ran = false;
    for (const ResultLine &line : input.lines) {
        ran = ran || valueOf(line, "scenario") == "bridge";
    }
    if (!ran) {
        return;
    }
    out << "\nEvents from a module through the hub (as it ships, and hardened) and pellix-bridge to an MQTT "
           "subscriber, beside publications straight to the broker and relayed by a second Mosquitto bridged to it "
           "(median of the repeats; CPU, memory and losses of the bridge behind the hardened hub):\n\n";
    out << "| Events | Bridge, hub as it ships /s | Bridge, hardened hub /s | Mosquitto alone /s | Mosquitto bridge /s "
           "| Bridge ÷ Mosquitto alone | Bridge CPU µs/event | Mosquitto bridge CPU µs/event | Bridge VmHWM kB | "
           "Lost |\n";
    out << "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    for (const char *size : {"32", "1024"}) {
        for (const char *qos : {"0", "1"}) {
            double rate[4] = {0, 0, 0, 0};
            bool have[4] = {false, false, false, false};
            out << "| " << size << " B, QoS " << qos << " |";
            for (int t = 0; t < 4; ++t) {
                have[t] = median(input, targets[t], "bridge", size, "rate", rate[t], {{"qos", qos}});
                out << " " << (have[t] ? formatNumber(rate[t]) : "–") << " |";
            }
            out << " " << ratio(have[kHardenedHub], rate[kHardenedHub], have[kAlone], rate[kAlone]) << " |";
            for (const std::pair<int, const char *> &cell :
                 {std::make_pair(kHardenedHub, "cpu_us"), std::make_pair(kPeerBridge, "cpu_us"),
                  std::make_pair(kHardenedHub, "hwm_kb"), std::make_pair(kHardenedHub, "lost")}) {
                double v = 0;
                out << " "
                    << (median(input, targets[cell.first], "bridge", size, cell.second, v, {{"qos", qos}})
                            ? formatNumber(v)
                            : "–")
                    << " |";
            }
            out << "\n";
        }
    }
    double idle = 0;
    double peerIdle = 0;
    const bool haveIdle = median(input, targets[kShips], "bridge", "", "idle_rss_kb", idle);
    const bool havePeerIdle = median(input, targets[kPeerBridge], "bridge", "", "idle_rss_kb", peerIdle);
    out << "\nIdle VmRSS with both links up: pellix-bridge " << (haveIdle ? formatNumber(idle) : "–")
        << " kB, the bridging Mosquitto " << (havePeerIdle ? formatNumber(peerIdle) : "–") << " kB.\n";
}

// The values of `key` over the lines of one scenario, as numbers, ascending.
std::vector<std::string> valuesOf(const ReportInput &input, const std::string &scenario, const std::string &key)
{
    std::vector<long> numbers;
    for (const ResultLine &line : input.lines) {
        double v = 0;
        if (valueOf(line, "scenario") == scenario && numberOf(line, key, v) &&
            std::find(numbers.begin(), numbers.end(), static_cast<long>(v)) == numbers.end()) {
            numbers.push_back(static_cast<long>(v));
        }
    }
    std::sort(numbers.begin(), numbers.end());
    std::vector<std::string> out;
    for (long n : numbers) {
        out.push_back(std::to_string(n));
    }
    return out;
}

std::string cell(const ReportInput &input, const std::string &target, const std::string &scenario,
                 const std::string &key, const Match &match)
{
    double v = 0;
    return median(input, target, scenario, "", key, v, match) ? formatNumber(v) : "–";
}

// The flood beside idle connections; only when the crowd scenario ran.
void crowdSection(const ReportInput &input, std::ostringstream &out)
{
    const std::vector<std::string> counts = valuesOf(input, "crowd", "idle");
    if (counts.empty()) {
        return;
    }
    out << "\nThe forward-flood of 32 B beside connections that say nothing (median of the repeats; the first "
           "192 of them registered; hub CPU per forwarded frame):\n\n";
    out << "| Hub | Idle connections | Frames/s | Hub CPU µs/frame | CPU ÷ none idle |\n";
    out << "|---|---:|---:|---:|---:|\n";
    for (int hub : kHubs) {
        double alone = 0;
        const bool haveAlone = median(input, kTargets[hub], "crowd", "", "cpu_us", alone, {{"idle", "0"}});
        for (const std::string &n : counts) {
            const Match match = {{"idle", n}};
            double cpu = 0;
            const bool haveCpu = median(input, kTargets[hub], "crowd", "", "cpu_us", cpu, match);
            if (!haveCpu) {
                continue;
            }
            out << "| " << kTargetTitles[hub] << " | " << n << " | " << cell(input, kTargets[hub], "crowd", "rate", match)
                << " | " << formatNumber(cpu) << " | " << ratio(haveCpu, cpu, haveAlone, alone) << " |\n";
        }
    }
}

// The flood with monitors attached; only when the monitor scenario ran.
void monitorSection(const ReportInput &input, std::ostringstream &out)
{
    const std::vector<std::string> counts = valuesOf(input, "monitor", "monitors");
    if (counts.empty()) {
        return;
    }
    out << "\nThe forward-flood of 32 B with monitors attached, each reading everything (median of the repeats; "
           "hub CPU per routed frame, the hub's resident and private memory at their peaks, copies summed over "
           "the monitors):\n\n";
    out << "| Hub | Monitors | Frames/s | Hub CPU µs/frame | CPU ÷ no monitor | VmHWM kB | Private peak kB | "
           "Copies received | Copies lost |\n";
    out << "|---|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    for (int hub : kHubs) {
        double alone = 0;
        const bool haveAlone = median(input, kTargets[hub], "monitor", "", "cpu_us", alone, {{"monitors", "0"}});
        for (const std::string &n : counts) {
            const Match match = {{"monitors", n}};
            double cpu = 0;
            const bool haveCpu = median(input, kTargets[hub], "monitor", "", "cpu_us", cpu, match);
            out << "| " << kTargetTitles[hub] << " | " << n << " | " << cell(input, kTargets[hub], "monitor", "rate", match)
                << " | " << (haveCpu ? formatNumber(cpu) : "–") << " | " << ratio(haveCpu, cpu, haveAlone, alone)
                << " | " << cell(input, kTargets[hub], "monitor", "hwm_kb", match) << " | "
                << cell(input, kTargets[hub], "monitor", "private_peak_kb", match) << " | "
                << cell(input, kTargets[hub], "monitor", "monitor_copies", match) << " | "
                << cell(input, kTargets[hub], "monitor", "monitor_lost", match) << " |\n";
        }
    }
}

// The paced pair beside a large status document, with and without the
// status loop; only when the status-loop scenario ran.
void statusLoopSection(const ReportInput &input, std::ostringstream &out)
{
    const std::vector<std::string> loopers = valuesOf(input, "statusloop", "loopers");
    if (loopers.empty()) {
        return;
    }
    double crowd = 0;
    double document = 0;
    const bool haveCrowd = median(input, kTargets[kHardened], "statusloop", "", "crowd", crowd) ||
                           median(input, kTargets[kDefault], "statusloop", "", "crowd", crowd);
    const bool haveDocument = median(input, kTargets[kHardened], "statusloop", "", "doc_bytes", document,
                                     {{"loopers", loopers.back()}});
    out << "\nThe forward-paced pair (5000 frames/s of 32 B) beside " << (haveCrowd ? formatNumber(crowd) : "–")
        << " registered modules with long names and reports (a status document of "
        << (haveDocument ? formatNumber(document / 1024) : "–")
        << " KiB), without and with connections asking for the status again as soon as each answer is complete "
           "(median of the repeats; the hub's CPU over the run):\n\n";
    out << "| Hub | Asking in a loop | p50 µs | p99 µs | max µs | p99 ÷ without | Hub CPU ms/s | Answers/s | "
           "Status KiB/s | Private peak kB |\n";
    out << "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    for (int hub : kHubs) {
        double without = 0;
        const bool haveWithout = median(input, kTargets[hub], "statusloop", "", "p99_us", without, {{"loopers", "0"}});
        for (const std::string &n : loopers) {
            const Match match = {{"loopers", n}};
            double p99 = 0;
            const bool haveP99 = median(input, kTargets[hub], "statusloop", "", "p99_us", p99, match);
            out << "| " << kTargetTitles[hub] << " | " << (n == "0" ? std::string("none") : n) << " | "
                << cell(input, kTargets[hub], "statusloop", "p50_us", match) << " | "
                << (haveP99 ? formatNumber(p99) : "–") << " | "
                << cell(input, kTargets[hub], "statusloop", "max_us", match) << " | "
                << ratio(haveP99, p99, haveWithout, without) << " | "
                << cell(input, kTargets[hub], "statusloop", "cpu_ms_per_s", match) << " | "
                << (n == "0" ? std::string("–") : cell(input, kTargets[hub], "statusloop", "answers_per_s", match))
                << " | "
                << (n == "0" ? std::string("–") : cell(input, kTargets[hub], "statusloop", "status_kb_per_s", match))
                << " | " << cell(input, kTargets[hub], "statusloop", "private_peak_kb", match) << " |\n";
        }
    }
}

} // namespace

ResultLine parseResultLine(const std::string &text)
{
    ResultLine line;
    std::istringstream words(text);
    std::string word;
    while (words >> word) {
        const size_t eq = word.find('=');
        if (eq != std::string::npos && eq > 0) {
            line[word.substr(0, eq)] = word.substr(eq + 1);
        }
    }
    return line;
}

std::string formatResultLine(const ResultLine &line)
{
    // target, scenario and size first, so that a line reads well by eye.
    std::string out;
    for (const char *key : {"target", "scenario", "size"}) {
        ResultLine::const_iterator it = line.find(key);
        if (it != line.end()) {
            out += (out.empty() ? "" : " ") + it->first + "=" + it->second;
        }
    }
    for (const auto &entry : line) {
        if (entry.first == "target" || entry.first == "scenario" || entry.first == "size") {
            continue;
        }
        out += (out.empty() ? "" : " ") + entry.first + "=" + entry.second;
    }
    return out;
}

std::string markdownTable(const ReportInput &input)
{
    const std::vector<Row> rows = {
        {"forward-flood 32 B: messages/s", "flood", "32", "rate", true},
        {"forward-flood 32 B: hub CPU µs/message", "flood", "32", "cpu_us", false},
        {"forward-flood 256 B: messages/s", "flood", "256", "rate", true},
        {"forward-flood 256 B: hub CPU µs/message", "flood", "256", "cpu_us", false},
        {"forward-flood 1024 B: messages/s", "flood", "1024", "rate", true},
        {"forward-flood 1024 B: hub CPU µs/message", "flood", "1024", "cpu_us", false},
        {"forward-paced 5000/s: one-way p50 µs", "paced", "", "p50_us", true},
        {"forward-paced 5000/s: one-way p99 µs", "paced", "", "p99_us", true},
        {"forward-paced 5000/s: one-way max µs", "paced", "", "max_us", true},
        {"forward-paced 5000/s: hub CPU µs/message", "paced", "", "cpu_us", false},
        {"fan-out 1 → 8: deliveries/s", "fanout", "", "rate", true},
        {"fan-out 1 → 8: hub CPU µs/delivery", "fanout", "", "cpu_us", false},
        {"200 modules, 10000/s in all: p50 µs", "many", "", "p50_us", true},
        {"200 modules, 10000/s in all: p99 µs", "many", "", "p99_us", true},
        {"200 modules, 10000/s in all: hub CPU µs/message", "many", "", "cpu_us", false},
        {"200 modules: hub VmHWM kB", "many", "", "hwm_kb", false},
        {"forward-flood 1024 B: hub VmHWM kB", "flood", "1024", "hwm_kb", false},
        {"idle, 8 modules connected: hub VmRSS kB", "idle", "", "rss_kb", false},
        {"stuck modules flooded: healthy pair frozen, ms", "stuck", "", "frozen_ms", false},
        {"stuck modules flooded: worst probe latency, ms", "stuck", "", "worst_ms", false},
        {"stuck modules flooded: hub VmRSS kB at the end", "stuck", "", "rss_kb", false},
        {"stuck modules flooded: hub VmHWM kB", "stuck", "", "hwm_kb", false},
    };
    std::ostringstream out;
    if (!input.title.empty()) {
        out << input.title << "\n\n";
    }
    out << "| Measure (median of the repeats) |";
    for (const char *title : kTargetTitles) {
        out << " " << title << " |";
    }
    out << " Hardened ÷ Mosquitto | Hardened ÷ floor | Hardened ÷ relay | Pellix ÷ relay | Pellix ÷ Mosquitto |\n";
    out << "|---|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
    for (const Row &row : rows) {
        double values[kTargetCount] = {};
        bool have[kTargetCount] = {};
        for (int t = 0; t < kTargetCount; ++t) {
            if ((t == kFloor && !row.hasFloor) || (t == kRelay && !row.hasRelay())) {
                continue;
            }
            have[t] = median(input, kTargets[t], row.scenario, row.size, row.key, values[t]);
        }
        out << "| " << row.title << " |";
        for (int t = 0; t < kTargetCount; ++t) {
            out << " " << (have[t] ? formatNumber(values[t]) : std::string("–")) << " |";
        }
        out << " " << ratio(have[kHardened], values[kHardened], have[kPeer], values[kPeer]) << " |";
        out << " " << ratio(have[kHardened], values[kHardened], have[kFloor], values[kFloor]) << " |";
        out << " " << ratio(have[kHardened], values[kHardened], have[kRelay], values[kRelay]) << " |";
        out << " " << ratio(have[kDefault], values[kDefault], have[kRelay], values[kRelay]) << " |";
        out << " " << ratio(have[kDefault], values[kDefault], have[kPeer], values[kPeer]) << " |\n";
    }
    const std::vector<std::string> sweep = sweepConnections(input);
    if (!sweep.empty()) {
        out << "\nOne-way latency against the number of connections, each sending 50 frames/s of 32 B to the next "
               "(µs, median of the repeats):\n\n";
        out << "| Connections | Relay p50 | Relay p99 | Pellix p50 | Pellix p99 | Hardened p50 | Hardened p99 | "
               "Mosquitto p50 | Mosquitto p99 | Pellix p50 ÷ relay | Pellix p99 ÷ relay | Hardened p50 ÷ relay | "
               "Hardened p99 ÷ relay |\n";
        out << "|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|---:|\n";
        const char *const keys[] = {"p50_us", "p99_us"};
        for (const std::string &n : sweep) {
            const Match match = {{"connections", n}};
            double relay[2] = {0, 0};
            bool haveRelay[2] = {false, false};
            for (int k = 0; k < 2; ++k) {
                haveRelay[k] = median(input, kTargets[kRelay], "many", "", keys[k], relay[k], match);
            }
            out << "| " << n << " |";
            std::string ratios;
            for (int t : {kRelay, kDefault, kHardened, kPeer}) {
                for (int k = 0; k < 2; ++k) {
                    double v = 0;
                    const bool have = median(input, kTargets[t], "many", "", keys[k], v, match);
                    out << " " << (have ? formatNumber(v) : "–") << " |";
                    if (t == kDefault || t == kHardened) {
                        ratios += " " + ratio(have, v, haveRelay[k], relay[k]) + " |";
                    }
                }
            }
            out << ratios << "\n";
        }
    }
    bool monitored = false;
    for (const ResultLine &line : input.lines) {
        monitored = monitored || valueOf(line, "target") == kMonitoredTarget;
    }
    if (monitored) {
        out << "\nThe hub as it ships, alone and with a monitor attached (median of the repeats):\n\n";
        out << "| Measure | Pellix | With a monitor | Monitored ÷ alone | Copies received | Copies lost |\n";
        out << "|---|---:|---:|---:|---:|---:|\n";
        for (const Row &row : rows) {
            double alone = 0, watched = 0, copies = 0, lost = 0;
            if ((row.scenario != "flood" && row.scenario != "paced") ||
                !median(input, kMonitoredTarget, row.scenario, row.size, row.key, watched)) {
                continue;
            }
            const bool haveAlone = median(input, kTargets[kDefault], row.scenario, row.size, row.key, alone);
            const bool haveCopies = median(input, kMonitoredTarget, row.scenario, row.size, "monitor_copies", copies);
            const bool haveLost = median(input, kMonitoredTarget, row.scenario, row.size, "monitor_lost", lost);
            out << "| " << row.title << " | " << (haveAlone ? formatNumber(alone) : "–") << " | "
                << formatNumber(watched) << " | " << ratio(true, watched, haveAlone, alone) << " | "
                << (haveCopies ? formatNumber(copies) : "–") << " | " << (haveLost ? formatNumber(lost) : "–")
                << " |\n";
        }
    }
    crowdSection(input, out);
    monitorSection(input, out);
    statusLoopSection(input, out);
    bridgeSection(input, out);
    if (!input.machine.empty()) {
        out << "\n" << input.machine << "\n";
    }
    return out.str();
}

bool writeChartFiles(const ReportInput &input, const std::string &dir, const std::string &png)
{
    {
        std::ofstream data(dir + "/throughput.dat");
        data << "# payload";
        for (const char *t : kTargets) {
            data << " " << t;
        }
        data << "  (messages/s, median)\n";
        for (const char *size : {"32", "256", "1024"}) {
            data << "\"" << size << " B\"";
            for (const char *t : kTargets) {
                double v = 0;
                data << " " << (median(input, t, "flood", size, "rate", v) ? static_cast<long>(v + 0.5) : 0L);
            }
            data << "\n";
        }
        if (!data) {
            return false;
        }
    }
    {
        std::ofstream data(dir + "/latency.dat");
        data << "# percentile";
        for (const char *t : kTargets) {
            data << " " << t;
        }
        data << "  (one-way µs at 5000 frames/s, median)\n";
        const char *const keys[] = {"p50_us", "p99_us", "max_us"};
        const char *const names[] = {"p50", "p99", "max"};
        for (int k = 0; k < 3; ++k) {
            data << names[k];
            for (const char *t : kTargets) {
                double v = 0;
                data << " " << (median(input, t, "paced", "", keys[k], v) ? v : 0.0);
            }
            data << "\n";
        }
        if (!data) {
            return false;
        }
    }
    const std::vector<std::string> sweep = sweepConnections(input);
    {
        std::ofstream data(dir + "/sweep.dat");
        data << "# connections, then p50 and p99 one-way µs for: pellix, pellix hardened, mosquitto\n";
        for (const std::string &n : sweep) {
            data << n;
            for (int t : {kDefault, kHardened, kPeer}) {
                for (const char *key : {"p50_us", "p99_us"}) {
                    double v = 0;
                    data << " " << (median(input, kTargets[t], "many", "", key, v, {{"connections", n}}) ? v : 0.0);
                }
            }
            data << "\n";
        }
        if (!data) {
            return false;
        }
    }
    // The probes between the healthy pair while stuck modules are flooded;
    // the floor has no such run.
    bool stuck = false;
    {
        std::ofstream data(dir + "/stuck.dat");
        data << "# probe latency, then pellix, pellix hardened, mosquitto  (ms, median)\n";
        const char *const keys[] = {"p50_us", "worst_ms"};
        const char *const names[] = {"\"p50\"", "\"worst\""};
        const double toMs[] = {1e-3, 1};
        for (int k = 0; k < 2; ++k) {
            data << names[k];
            for (int t : {kDefault, kHardened, kPeer}) {
                double v = 0;
                const bool have = median(input, kTargets[t], "stuck", "", keys[k], v);
                stuck = stuck || have;
                data << " " << (have ? v * toMs[k] : 0.0);
            }
            data << "\n";
        }
        if (!data) {
            return false;
        }
    }
    const int panels = 2 + (stuck ? 1 : 0) + (sweep.empty() ? 0 : 1);
    std::ofstream gp(dir + "/chart.gp");
    gp << "# Draws " << png << " from the .dat files beside it (run in this directory).\n"
       << "set terminal pngcairo size " << 600 * panels << ",520 font \"sans,10\"\n"
       << "set output \"" << png << "\"\n"
       << "set style data histograms\n"
       << "set style histogram clustered gap 1\n"
       << "set style fill solid 0.85 border -1\n"
       << "set boxwidth 0.9\n"
       << "set grid ytics\n"
       << "set key top right\n"
       << "set logscale y\n"
       << "set multiplot layout 1," << panels << " title \"" << input.title << "\"\n"
       << "set title \"forward-flood, one sender to one receiver\"\n"
       << "set ylabel \"messages per second (log scale)\"\n"
       << "set xlabel \"payload\"\n"
       << "set format y \"%.0s%c\"\n"
       << barPlot("throughput.dat")
       << "set title \"forward-paced, 5000 frames/s of 32 B, one-way latency\"\n"
       << "set key top left\n"
       << "set ylabel \"microseconds (log scale)\"\n"
       << "set xlabel \"percentile\"\n"
       << "set format y \"%g\"\n"
       << barPlot("latency.dat");
    if (stuck) {
        gp << "set title \"probes between a healthy pair while stuck modules are flooded\"\n"
           << "set ylabel \"milliseconds (log scale)\"\n"
           << "set xlabel \"probe latency\"\n"
           << barPlot("stuck.dat", kDefault);
    }
    if (!sweep.empty()) {
        gp << "set title \"one-way latency against connections, 50 frames/s each\"\n"
           << "set style data linespoints\nset logscale x 2\nset xlabel \"connections\"\n"
           << "set ylabel \"microseconds (log scale)\"\n"
           << "set xtics (2, 8, 32, 128, 200)\nset key top left\n"
           << "plot 'sweep.dat' using 1:2 title \"Pellix p50\" lt 3 lw 2, '' using 1:3 title \"Pellix p99\" lt 3 dt 2 lw 2, "
              "'' using 1:4 title \"hardened p50\" lt 4 lw 2, '' using 1:5 title \"hardened p99\" lt 4 dt 2 lw 2, "
              "'' using 1:6 title \"Mosquitto p50\" lt 5 lw 2, '' using 1:7 title \"Mosquitto p99\" lt 5 dt 2 lw 2\n";
    }
    gp << "unset multiplot\n";
    return static_cast<bool>(gp);
}

} // namespace bench
