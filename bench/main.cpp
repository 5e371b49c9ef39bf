// pellix-bench: the load generator of bench/run.sh.
//
//   pellix-bench run --target floor|relay|pellix|mqtt [--port P] [--pid PID] [--label L]
//                    --scenario flood|paced|fanout|many|idle|stuck|bridge|monitor|statusloop
//                    [options]
//       one measured run; prints one result line (key=value words) and
//       exits 1 when a message was lost or the run failed
//   pellix-bench free-port
//       a port that TCP and UDP can both bind on 127.0.0.1
//   pellix-bench report RESULTS OUTDIR [--title T] [--machine M] [--png NAME]
//       the Markdown table of the medians (OUTDIR/results.md) and the
//       chart's data and gnuplot script
//
// Options of run: --size N (body bytes, default 32), --count N (messages,
// or publications for fanout), --window N (sends in flight), --rate N
// (sends per second for paced and many), --seconds S (paced and many),
// --subscribers N (fanout, default 8), --connections N (many, default 200),
// --stuck N (stuck, the modules that never read, default 3; --size is then
// the flood's body, default 60000, and --seconds how long it lasts),
// --monitors N (pellix: N monitors attached for the run; their copies and
// the copies the hub reported lost go into the result line).
//
// relay: the routes go through pellix-bench-relay at --port (--pid its
// process): flood, paced and many only, where one sender feeds a receiver.
//
// crowd: the flood beside --idle N connections that say nothing (the first
// of them registered): what idle modules cost each forwarded frame.
//
// monitor: the flood with --monitors N (default 4) attached; the result
// line adds the peaks of the hub's resident and private memory.
//
// statusloop: the paced pair beside a crowd of --crowd N registered modules
// (default 200, long names, a report of about 1 KB each) while --loopers N
// connections (default 2; 0 for the same run without them) each ask for
// the status again as soon as the previous answer came; the result line
// adds the answers, the document's size, the hub's CPU per second and the
// memory peaks.
//
// bridge: one publisher, one MQTT subscriber of the broker at --broker-port
// (default --port) on topic bench/relay at --qos 0|1. With --target pellix
// the publisher is a module of the hub at --port publishing event 100, which
// a pellix-bridge (--pid) maps to that topic; with --target mqtt it publishes
// the topic at the QoS to the broker at --port, the same broker or one that
// bridges to it. --lossy 1: a missing message is counted, not a failure.
// The result line adds idle_rss_kb, --pid's VmRSS once the bridge carried
// its first probe.

#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "bench/BenchIo.h"
#include "bench/MemorySampler.h"
#include "bench/IdleCrowd.h"
#include "bench/MonitorTap.h"
#include "bench/Report.h"
#include "bench/Scenario.h"
#include "bench/StatusLoad.h"
#include "bench/StuckReaders.h"
#include "bench/Wire.h"

namespace {

struct Options {
    std::string target;
    std::string label;
    std::string scenario;
    uint16_t port = 0;
    pid_t pid = 0;
    size_t size = 0; // 0: the scenario's default
    long count = -1;
    long window = 500;
    double rate = -1;
    double seconds = -1;
    int subscribers = 8;
    int connections = 200;
    int stuck = 3;
    int monitors = -1; // -1: the scenario's default
    int idle = 0;       // crowd: connections that say nothing
    int crowd = 200;
    int loopers = 2;
    int qos = 0;
    uint16_t brokerPort = 0;
    bool lossy = false;
};

int usage(const char *why)
{
    fprintf(stderr, "pellix-bench: %s\n(see the comment at the top of bench/main.cpp)\n", why);
    return 2;
}

// A whole number or decimal within [lo, hi]; anything else is refused
// rather than read as 0 or cut to the type.
template <typename T> bool parseValue(const char *text, double lo, double hi, T &out)
{
    char *end = nullptr;
    const double v = strtod(text, &end);
    if (end == text || *end != '\0' || !(v >= lo && v <= hi)) {
        return false;
    }
    out = static_cast<T>(v);
    return true;
}

bool parseRun(int argc, char **argv, Options &o, std::string &why)
{
    for (int i = 2; i < argc; ++i) {
        const std::string arg = argv[i];
        if (i + 1 >= argc) {
            why = "missing value after " + arg;
            return false;
        }
        const char *value = argv[++i];
        bool ok = true;
        if (arg == "--target") {
            o.target = value;
        } else if (arg == "--label") {
            o.label = value;
        } else if (arg == "--scenario") {
            o.scenario = value;
        } else if (arg == "--port") {
            ok = parseValue(value, 1, 65535, o.port);
        } else if (arg == "--pid") {
            ok = parseValue(value, 1, 4194304, o.pid);
        } else if (arg == "--size") {
            ok = parseValue(value, 16, 65000, o.size);
        } else if (arg == "--count") {
            ok = parseValue(value, 1, 1e9, o.count);
        } else if (arg == "--window") {
            ok = parseValue(value, 1, 1e7, o.window);
        } else if (arg == "--rate") {
            ok = parseValue(value, 0.001, 1e7, o.rate);
        } else if (arg == "--seconds") {
            ok = parseValue(value, 0.001, 1e6, o.seconds);
        } else if (arg == "--subscribers") {
            ok = parseValue(value, 1, 1000, o.subscribers);
        } else if (arg == "--connections") {
            ok = parseValue(value, 2, 10000, o.connections);
        } else if (arg == "--idle") {
            ok = parseValue(value, 0, bench::IdleCrowd::kMost, o.idle);
        } else if (arg == "--monitors") {
            ok = parseValue(value, 0, bench::MonitorTap::kMostMonitors, o.monitors);
        } else if (arg == "--crowd") {
            ok = parseValue(value, 0, bench::StatusLoad::kMostCrowd, o.crowd);
        } else if (arg == "--loopers") {
            ok = parseValue(value, 0, bench::StatusLoad::kMostLoopers, o.loopers);
        } else if (arg == "--qos") {
            ok = parseValue(value, 0, 1, o.qos);
        } else if (arg == "--broker-port") {
            ok = parseValue(value, 1, 65535, o.brokerPort);
        } else if (arg == "--lossy") {
            ok = parseValue(value, 0, 1, o.lossy);
        } else if (arg == "--stuck") {
            ok = parseValue(value, 1, 100, o.stuck);
        } else {
            why = "unknown option " + arg;
            return false;
        }
        if (!ok) {
            why = "bad value " + std::string(value) + " for " + arg;
            return false;
        }
    }
    if (o.target != "floor" && o.target != "relay" && o.target != "pellix" && o.target != "mqtt") {
        why = "--target must be floor, relay, pellix or mqtt";
        return false;
    }
    if (o.target != "floor" && o.port == 0) {
        why = "--port is needed for " + o.target;
        return false;
    }
    if (o.scenario == "bridge" && o.target == "floor") {
        why = "the bridge scenario needs --target pellix or mqtt";
        return false;
    }
    if (o.target == "relay" && o.scenario != "flood" && o.scenario != "paced" && o.scenario != "many") {
        why = "the relay carries the flood, paced and many scenarios only";
        return false;
    }
    if ((o.scenario == "monitor" || o.scenario == "statusloop" || o.scenario == "crowd" || o.monitors > 0) &&
        o.target != "pellix") {
        why = "monitors, the status loop and the idle crowd need --target pellix";
        return false;
    }
    if (o.monitors < 0) {
        o.monitors = o.scenario == "monitor" ? 4 : 0;
    }
    if (o.label.empty()) {
        o.label = o.target;
    }
    if (o.size == 0) {
        o.size = o.scenario == "stuck" ? 60000 : 32;
    }
    return true;
}

bench::Target targetOf(const std::string &name)
{
    return name == "floor"    ? bench::Target::Floor
           : name == "relay"  ? bench::Target::Relay
           : name == "pellix" ? bench::Target::Pellix
                              : bench::Target::Mqtt;
}

std::string fixed(double v, int decimals)
{
    char text[64];
    snprintf(text, sizeof text, "%.*f", decimals, v);
    return text;
}

// A run that could not begin: its line says why.
int failRun(const Options &o, bench::ResultLine &line, const std::string &why)
{
    fprintf(stderr, "pellix-bench: %s %s: %s\n", o.label.c_str(), o.scenario.c_str(), why.c_str());
    std::string error = why;
    std::replace(error.begin(), error.end(), ' ', '_');
    line["ok"] = "0";
    line["error"] = error;
    printf("%s\n", bench::formatResultLine(line).c_str());
    return 1;
}

int runIdle(const Options &o, bench::ResultLine &line)
{
    // Eight modules connect (and register or subscribe), then nothing
    // happens for a second.
    std::unique_ptr<bench::Wire> wire = bench::makeWire(targetOf(o.target), o.port);
    std::vector<std::pair<int, int>> routes;
    for (int i = 0; i < 8; ++i) {
        routes.emplace_back((i + 1) % 8, i);
    }
    if (!wire->open(8, routes, false)) {
        line["ok"] = "0";
        line["error"] = "\"" + wire->error() + "\"";
        wire->close();
        return 1;
    }
    double before = 0;
    double after = 0;
    const bool cpu = o.pid > 0 && bench::processCpuSeconds(o.pid, before);
    std::this_thread::sleep_for(std::chrono::milliseconds(o.seconds > 0 ? static_cast<int>(o.seconds * 1000) : 1000));
    long rss = 0;
    long hwm = 0;
    if (o.pid > 0 && bench::processMemoryKb(o.pid, rss, hwm)) {
        line["rss_kb"] = std::to_string(rss);
        line["hwm_kb"] = std::to_string(hwm);
    }
    if (cpu && bench::processCpuSeconds(o.pid, after)) {
        line["idle_cpu_ms_per_s"] = fixed((after - before) * 1000 / (o.seconds > 0 ? o.seconds : 1), 1);
    }
    wire->close();
    line["ok"] = "1";
    return 0;
}

int runStuck(const Options &o, bench::ResultLine &line)
{
    // Without a hub or broker in between, nobody's reading can hold up
    // anybody else's connection: there is nothing to measure on the floor.
    if (o.target == "floor") {
        line["ok"] = "0";
        line["error"] = "the_stuck_scenario_needs_a_hub_or_broker";
        return 1;
    }
    bench::StuckPlan plan;
    plan.stuckModules = o.stuck;
    plan.floodBodySize = o.size;
    if (o.seconds > 0) {
        plan.seconds = o.seconds;
    }
    std::unique_ptr<bench::Wire> wire = bench::makeWire(targetOf(o.target), o.port);
    bench::StuckReaders run(*wire, plan, o.pid);
    const bench::StuckOutcome outcome = run.run();
    line["stuck"] = std::to_string(o.stuck);
    line["ok"] = outcome.ok ? "1" : "0";
    line["probes"] = std::to_string(outcome.probesSent);
    line["lost"] = std::to_string(outcome.probesSent - outcome.probesReceived);
    line["flood_messages"] = std::to_string(outcome.floodMessages);
    line["frozen_ms"] = fixed(static_cast<double>(outcome.frozenNs) / 1e6, 0);
    if (!outcome.latenciesNs.empty()) {
        line["p50_us"] = fixed(bench::percentile(outcome.latenciesNs, 50) / 1000, 1);
        line["worst_ms"] = fixed(bench::percentile(outcome.latenciesNs, 100) / 1e6, 1);
    }
    if (outcome.rssKb >= 0) {
        line["rss_kb"] = std::to_string(outcome.rssKb);
        line["hwm_kb"] = std::to_string(outcome.hwmKb);
    }
    if (!outcome.ok) {
        std::string error = outcome.error;
        std::replace(error.begin(), error.end(), ' ', '_');
        line["error"] = error;
        fprintf(stderr, "pellix-bench: %s stuck: %s\n", o.label.c_str(), outcome.error.c_str());
    }
    return outcome.ok ? 0 : 1;
}

int runCommand(int argc, char **argv)
{
    Options o;
    std::string why;
    if (!parseRun(argc, argv, o, why)) {
        return usage(why.c_str());
    }
    bench::ResultLine line;
    line["target"] = o.label;
    line["scenario"] = o.scenario;
    line["size"] = std::to_string(o.size);
    if (o.scenario == "idle") {
        const int rc = runIdle(o, line);
        printf("%s\n", bench::formatResultLine(line).c_str());
        return rc;
    }
    if (o.scenario == "stuck") {
        const int rc = runStuck(o, line);
        printf("%s\n", bench::formatResultLine(line).c_str());
        return rc;
    }

    bench::Plan plan;
    plan.bodySize = o.size;
    plan.window = o.window;
    if (o.scenario == "flood" || o.scenario == "monitor" || o.scenario == "crowd") {
        plan.modules = 2;
        plan.routes = {{0, 1}};
        plan.messages = o.count >= 0 ? o.count : 200000;
    } else if (o.scenario == "paced" || o.scenario == "statusloop") {
        plan.modules = 2;
        plan.routes = {{0, 1}};
        plan.rate = o.rate > 0 ? o.rate : 5000;
        plan.messages = static_cast<long>(plan.rate * (o.seconds > 0 ? o.seconds : 5));
        plan.window = 1L << 30;
    } else if (o.scenario == "fanout") {
        plan.modules = 1 + o.subscribers;
        plan.fanOut = true;
        plan.messages = o.count >= 0 ? o.count : 20000;
    } else if (o.scenario == "many") {
        line["connections"] = std::to_string(o.connections);
        plan.modules = o.connections;
        for (int i = 0; i < o.connections; ++i) {
            plan.routes.emplace_back(i, (i + 1) % o.connections);
        }
        plan.rate = o.rate > 0 ? o.rate : 10000;
        plan.messages = static_cast<long>(plan.rate * (o.seconds > 0 ? o.seconds : 5));
        plan.window = 1L << 30;
    } else if (o.scenario == "bridge") {
        line["qos"] = std::to_string(o.qos);
        plan.modules = 2;
        plan.routes = {{0, 1}};
        plan.messages = o.count >= 0 ? o.count : 50000;
        plan.lossTolerated = o.lossy;
        if (o.lossy) {
            plan.stallTimeoutMs = 2000; // what is missing by then counts as lost
        }
    } else {
        return usage("--scenario must be flood, paced, fanout, many, idle, stuck, bridge, crowd, monitor or statusloop");
    }

    std::unique_ptr<bench::Wire> wire;
    if (o.scenario == "bridge") {
        bench::BridgeSetup path;
        path.hubPublisher = o.target == "pellix";
        path.publishPort = o.port;
        path.subscribePort = o.brokerPort != 0 ? o.brokerPort : o.port;
        path.qos = o.qos;
        path.onReady = [&o, &line] {
            long rss = 0;
            long hwm = 0;
            if (o.pid > 0 && bench::processMemoryKb(o.pid, rss, hwm)) {
                line["idle_rss_kb"] = std::to_string(rss);
            }
        };
        wire = bench::makeBridgeWire(path);
    } else {
        wire = bench::makeWire(targetOf(o.target), o.port);
    }
    bench::IdleCrowd crowd;
    if (o.scenario == "crowd") {
        line["idle"] = std::to_string(o.idle);
        if (!crowd.start(o.port, o.idle)) {
            return failRun(o, line, crowd.error());
        }
    }
    bench::MonitorTap monitor;
    if (o.monitors > 0 && !monitor.start(o.port, o.monitors)) {
        return failRun(o, line, monitor.error());
    }
    bench::StatusLoad statusLoad;
    if (o.scenario == "statusloop") {
        line["crowd"] = std::to_string(o.crowd);
        line["loopers"] = std::to_string(o.loopers);
        bench::StatusLoadPlan load;
        load.crowd = o.crowd;
        load.loopers = o.loopers;
        if (!statusLoad.start(o.port, load)) {
            return failRun(o, line, statusLoad.error());
        }
    }
    std::unique_ptr<bench::MemorySampler> memory;
    if (o.pid > 0 && (o.scenario == "monitor" || o.scenario == "statusloop")) {
        memory.reset(new bench::MemorySampler(o.pid));
    }
    double cpuSeconds = -1;
    bench::Outcome outcome = bench::runPlan(*wire, plan, o.pid, &cpuSeconds);
    if (o.monitors > 0 || o.scenario == "monitor") {
        monitor.stop();
        line["monitors"] = std::to_string(o.monitors);
        line["monitor_copies"] = std::to_string(monitor.copies());
        line["monitor_lost"] = std::to_string(monitor.lost());
    }
    if (o.scenario == "statusloop") {
        const bool looped = statusLoad.stop();
        line["answers"] = std::to_string(statusLoad.answers());
        if (statusLoad.seconds() > 0) {
            line["answers_per_s"] = fixed(static_cast<double>(statusLoad.answers()) / statusLoad.seconds(), 1);
            line["status_kb_per_s"] = fixed(static_cast<double>(statusLoad.textBytes()) / 1024 / statusLoad.seconds(), 0);
        }
        line["doc_bytes"] = std::to_string(statusLoad.documentBytes());
        if (outcome.ok && !looped) {
            outcome.ok = false;
            outcome.error = statusLoad.error();
        } else if (outcome.ok && o.loopers > 0 && statusLoad.answers() == 0) {
            outcome.ok = false;
            outcome.error = "no status answer came in the run";
        }
    }
    if (memory) {
        memory->stop();
        line["resident_peak_kb"] = std::to_string(memory->residentPeakKb());
        line["private_peak_kb"] = std::to_string(memory->privatePeakKb());
    }
    if (o.scenario == "statusloop" && cpuSeconds >= 0 && outcome.seconds > 0) {
        line["cpu_ms_per_s"] = fixed(cpuSeconds * 1000 / outcome.seconds, 1);
    }
    line["ok"] = outcome.ok ? "1" : "0";
    line["sent"] = std::to_string(outcome.sent);
    line["delivered"] = std::to_string(outcome.delivered);
    line["lost"] = std::to_string(outcome.expected - outcome.delivered);
    line["seconds"] = fixed(outcome.seconds, 3);
    if (outcome.seconds > 0) {
        line["rate"] = fixed(static_cast<double>(outcome.delivered) / outcome.seconds, 0);
    }
    if (!outcome.latenciesNs.empty()) {
        line["p50_us"] = fixed(bench::percentile(outcome.latenciesNs, 50) / 1000, 1);
        line["p99_us"] = fixed(bench::percentile(outcome.latenciesNs, 99) / 1000, 1);
        line["max_us"] = fixed(bench::percentile(outcome.latenciesNs, 100) / 1000, 1);
    }
    if (cpuSeconds >= 0 && outcome.delivered > 0) {
        line["cpu_us"] = fixed(cpuSeconds * 1e6 / static_cast<double>(outcome.delivered), 2);
    }
    long rss = 0;
    long hwm = 0;
    if (o.pid > 0 && bench::processMemoryKb(o.pid, rss, hwm)) {
        line["rss_kb"] = std::to_string(rss);
        line["hwm_kb"] = std::to_string(hwm);
    }
    if (!outcome.ok) {
        std::string error = outcome.error;
        for (char &c : error) {
            if (c == ' ') {
                c = '_';
            }
        }
        line["error"] = error;
        fprintf(stderr, "pellix-bench: %s %s: %s\n", o.label.c_str(), o.scenario.c_str(), outcome.error.c_str());
    }
    printf("%s\n", bench::formatResultLine(line).c_str());
    return outcome.ok ? 0 : 1;
}

int reportCommand(int argc, char **argv)
{
    if (argc < 4) {
        return usage("report needs RESULTS and OUTDIR");
    }
    bench::ReportInput input;
    std::string png = "bench.png";
    for (int i = 4; i + 1 < argc; i += 2) {
        const std::string arg = argv[i];
        if (arg == "--title") {
            input.title = argv[i + 1];
        } else if (arg == "--machine") {
            input.machine = argv[i + 1];
        } else if (arg == "--png") {
            png = argv[i + 1];
        } else {
            return usage(("unknown option " + arg).c_str());
        }
    }
    std::ifstream in(argv[2]);
    if (!in) {
        return usage("cannot read the results file");
    }
    std::string text;
    while (std::getline(in, text)) {
        if (!text.empty() && text[0] != '#') {
            input.lines.push_back(bench::parseResultLine(text));
        }
    }
    const std::string dir = argv[3];
    std::ofstream md(dir + "/results.md");
    md << bench::markdownTable(input);
    if (!md || !bench::writeChartFiles(input, dir, png)) {
        fprintf(stderr, "pellix-bench: cannot write into %s\n", dir.c_str());
        return 1;
    }
    return 0;
}

} // namespace

int main(int argc, char **argv)
{
    if (argc < 2) {
        return usage("a command is needed: run, free-port or report");
    }
    const std::string command = argv[1];
    if (command == "run") {
        return runCommand(argc, argv);
    }
    if (command == "free-port") {
        const uint16_t port = bench::freePort();
        if (port == 0) {
            return 1;
        }
        printf("%u\n", port);
        return 0;
    }
    if (command == "report") {
        return reportCommand(argc, argv);
    }
    return usage("unknown command");
}
