// pellix-cli: the hub from a shell or a script. The commands and the exit
// statuses are in its help, written in CliArgs.cpp.

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <pellix/CPellixClient.h>
#include <pellix/CUdpSender.h>
#include <pellix/Checks.h>
#include <pellix/Wire.h>

#include <json/writer.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <cstring>
#include <memory>
#include <set>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

#include "cli/CliArgs.h"
#include "cli/CliPrinter.h"
#include "cli/OpenMetrics.h"
#include "cli/PcapngWriter.h"
#include "cli/StatusView.h"

namespace {

const int kExitOk = 0;
const int kExitHub = 1;
const int kExitUsage = 2;
const int kExitTimeout = 3;
const int kExitRefused = 4;
const int kExitNobody = 5; // no module holds DEST

// How long status and monitor wait for the hub's first answer: a hub
// without these commands ignores them, and the tool must say so soon.
const int kAnswerTimeoutMs = 2000;
// How long the hub shares one status document among its answers.
const int kStatusShareMs = 100;

typedef std::chrono::steady_clock Clock;

volatile sig_atomic_t stopSignal = 0;

void onStopSignal(int sig)
{
    stopSignal = sig;
}

void catchStopSignals()
{
    struct sigaction action;
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // select() and poll() return at once on a signal
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);
}

long long msUntil(Clock::time_point deadline)
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
}

FILE *errOut = stderr;
bool jsonErrors = false; // --json: errors and warnings as JSON objects too

void errorLine(const char *type, int status, const std::string &message)
{
    if (jsonErrors) {
        // "type" first, as on every line the tool prints.
        fprintf(errOut, "{\"type\":\"%s\",%s\"message\":%s}\n", type,
                status >= 0 ? ("\"status\":" + std::to_string(status) + ",").c_str() : "",
                Json::valueToQuotedString(cli::printable(message).c_str()).c_str());
    } else {
        fprintf(errOut, "pellix-cli: %s\n", message.c_str());
    }
    fflush(errOut);
}

int fail(int status, const std::string &message)
{
    errorLine("error", status, message);
    return status;
}

std::string hexId(int id)
{
    char text[16];
    snprintf(text, sizeof text, "0x%02x", id);
    return text;
}

std::string hexCmd(int cmd)
{
    char text[16];
    snprintf(text, sizeof text, "0x%04x", cmd);
    return text;
}

int statusFor(const pellix::Result &result)
{
    switch (result.status()) {
    case pellix::Status::InvalidArgument:
        return kExitUsage;
    case pellix::Status::Refused:
        return kExitRefused;
    default:
        return kExitHub;
    }
}

// The framework underneath writes its trace to standard output and perror
// texts to standard error, which would mix with the tool's own output and
// its one-line errors. Unless --verbose asks for them they go nowhere;
// with --verbose they all go to standard error. The tool's output and
// errors use descriptors of their own. Returns the stream for the output.
FILE *separateFrameworkOutput(bool verbose)
{
    const int errFd = dup(STDERR_FILENO);
    const int outFd = dup(STDOUT_FILENO);
    if (errFd < 0 || outFd < 0) {
        return stdout;
    }
    fcntl(errFd, F_SETFD, FD_CLOEXEC);
    fcntl(outFd, F_SETFD, FD_CLOEXEC);
    fflush(stdout);
    if (verbose) {
        dup2(STDERR_FILENO, STDOUT_FILENO);
        pellix::CPellixClient::setTraceLevel(6);
    } else {
        const int null = open("/dev/null", O_RDWR | O_CLOEXEC);
        if (null >= 0) {
            dup2(null, STDERR_FILENO);
            close(null);
        }
        pellix::CPellixClient::setTraceLevel(-1);
    }
#if defined(__SANITIZE_ADDRESS__)
    // Sanitizer reports must still be seen.
    __sanitizer_set_report_fd(reinterpret_cast<void *>(static_cast<intptr_t>(errFd)));
#endif
    FILE *err = fdopen(errFd, "w");
    if (err != nullptr) {
        errOut = err;
    }
    FILE *out = fdopen(outFd, "w");
    return out != nullptr ? out : stdout;
}

std::string whereOf(const cli::CliArgs &args)
{
    if (args.useUnix) {
        return "unix socket " + args.unixPath;
    }
    return (args.udp ? "udp " : "") + args.host + ":" + std::to_string(args.port);
}

pellix::ClientOptions streamOptions(const cli::CliArgs &args)
{
    pellix::ClientOptions options;
    options.transport = args.useUnix ? pellix::Transport::Unix : pellix::Transport::Tcp;
    options.host = args.host;
    options.port = args.port;
    if (args.useUnix) {
        options.unixPath = args.unixPath;
    }
    return options;
}

const char *transportOf(const cli::CliArgs &args)
{
    return args.udp ? "udp" : args.useUnix ? "unix" : "tcp";
}

// send, pub and the hub commands: one frame, then done.
template <typename Sender> pellix::Result act(Sender &sender, const cli::CliArgs &args)
{
    switch (args.command) {
    case cli::Command::Send:
        return sender.send(args.dest, args.cmd, args.payload);
    case cli::Command::Pub:
        return sender.publish(args.event, args.payload);
    case cli::Command::Dump:
        return sender.dumpSockets();
    case cli::Command::Print:
        return sender.toggleDataPrint();
    case cli::Command::Level:
        return sender.setHubTraceLevel(args.level);
    default:
        return pellix::Result(pellix::Status::InvalidArgument, "not a one-frame command");
    }
}

// The ids the hub's connections hold, from one status request.
pellix::Result statusIds(pellix::CPellixClient &client, std::set<int> &ids)
{
    std::string text;
    pellix::Result r = client.requestStatus(text, kAnswerTimeoutMs);
    Json::Value document;
    std::string why;
    if (r && !cli::parseStatus(text, document, why)) {
        r = pellix::Result(pellix::Status::NoReply, "the hub's status reply is not a JSON object: " +
                                                        cli::printable(why.substr(0, 80)));
    }
    const Json::Value &connections = document.isObject() ? document["connections"] : Json::Value::nullSingleton();
    for (const Json::Value &c : connections.isArray() ? connections : Json::Value(Json::arrayValue)) {
        const Json::Value &held = c.isObject() ? c["ids"] : Json::Value::nullSingleton();
        for (const Json::Value &id : held.isArray() ? held : Json::Value(Json::arrayValue)) {
            if (id.isUInt()) {
                ids.insert(static_cast<int>(id.asUInt()));
            }
        }
    }
    return r;
}

// The ids the hub's connections hold, from a status request (answers are
// paced per connection, so a tool asks once a run, and once more only when
// `wanted` is missing: the hub shares a document for 100 ms, so a module
// that registered just before may not be in the first one).
pellix::Result registeredIds(pellix::CPellixClient &client, std::set<int> &ids, int wanted)
{
    pellix::Result r = statusIds(client, ids);
    if (r && ids.count(wanted) == 0) {
        const Clock::time_point fresh = Clock::now() + std::chrono::milliseconds(kStatusShareMs + 50);
        for (long long left = msUntil(fresh); left > 0 && client.poll(static_cast<int>(left)) == 0;
             left = msUntil(fresh)) {
        }
        ids.clear();
        r = statusIds(client, ids);
    }
    return r;
}

const char *const kNobody = "no module is registered under ";

// send's question before the frame goes: does anything take it? -1 when the
// frame may go, else the exit status (the line is written).
int checkDestination(pellix::CPellixClient &client, const cli::CliArgs &args)
{
    if (args.dest == pellix::kHubId) {
        return -1;
    }
    if (args.dest >= pellix::kEventSourceId) {
        const bool eventCommand = args.cmd == pellix::wire::kCmdPublish || args.cmd == pellix::wire::kCmdSubscribe ||
                                  args.cmd == pellix::wire::kCmdUnsubscribe;
        return eventCommand ? -1
                            : fail(kExitNobody, "nobody takes cmd " + hexCmd(args.cmd) + " at " + hexId(args.dest) +
                                                    ": 0xe1 to 0xff are event commands, publish (5), subscribe "
                                                    "(6) and unsubscribe (7); use pub for a publication");
    }
    std::set<int> held;
    const pellix::Result r = registeredIds(client, held, args.dest);
    if (r) {
        return held.count(args.dest) != 0 ? -1 : fail(kExitNobody, kNobody + hexId(args.dest));
    }
    if (r.status() == pellix::Status::NoReply && client.isConnected()) {
        errorLine("warning", -1, "the hub does not answer status requests; " + hexId(args.dest) + " not checked");
        return -1;
    }
    return fail(statusFor(r), r.message());
}

int runOneShot(const cli::CliArgs &args, cli::CliPrinter &printer)
{
    pellix::Result result;
    if (args.udp) {
        pellix::CUdpSender sender;
        result = sender.open(args.host, args.port, args.src);
        if (result) {
            result = act(sender, args);
        }
    } else {
        pellix::ClientOptions options = streamOptions(args);
        options.moduleId = args.src;
        options.registerModule = false;
        options.heartbeatMs = 0;
        pellix::CPellixClient client(options);
        result = client.connect();
        if (result && args.command == cli::Command::Send && args.check) {
            const int refused = checkDestination(client, args);
            if (refused >= 0) {
                return refused;
            }
        }
        if (result) {
            result = args.command == cli::Command::ReloadAccess ? client.reloadAccess() : act(client, args);
        }
        client.close(); // what was sent is still delivered
    }
    if (!result) {
        return fail(statusFor(result), result.message());
    }
    const char *transport = transportOf(args);
    switch (args.command) {
    case cli::Command::Send:
        printer.sent("frame", args.dest, args.src, args.cmd, args.payload.size(), transport);
        break;
    case cli::Command::Pub:
        printer.published(args.event, args.payload.size(), transport);
        break;
    case cli::Command::Dump:
        printer.sent("dump command", pellix::kHubId, args.src, pellix::wire::kCmdDumpSockets, 0, transport);
        break;
    case cli::Command::ReloadAccess:
        printer.sent("reload command", pellix::kHubId, args.src, pellix::wire::kCmdReloadAccess, 0, transport);
        break;
    case cli::Command::Print:
        printer.sent("data print command", pellix::kHubId, args.src, pellix::wire::kCmdDataPrint, 0, transport);
        break;
    default:
        printer.sent("trace level command", pellix::kHubId, args.src, pellix::wire::kCmdTraceLevel, 4, transport);
        break;
    }
    return kExitOk;
}

// Serves the connection (callbacks count into `received`) until a stop
// signal, args.count receipts, args.timeout or a refusal a callback noted;
// the reason, or null when polling failed.
const char *serve(pellix::CPellixClient &client, const cli::CliArgs &args, const long &received,
                  const std::string &refusal = std::string())
{
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(static_cast<long long>(args.timeout * 1000.0));
    for (;;) {
        if (stopSignal != 0) {
            return "signal";
        }
        if (args.count > 0 && received >= args.count) {
            return "count";
        }
        if (!refusal.empty()) {
            return "refused";
        }
        long long waitMs = 100;
        if (args.timeout > 0) {
            const long long left = msUntil(deadline);
            if (left <= 0) {
                return "timeout";
            }
            waitMs = std::min(left, waitMs);
        }
        if (client.poll(static_cast<int>(waitMs)) < 0) {
            return nullptr;
        }
    }
}

// listen and sub: registered, kept alive, printing what arrives.
int runReceiver(const cli::CliArgs &args, cli::CliPrinter &printer)
{
    pellix::ClientOptions options = streamOptions(args);
    options.moduleId = args.id;
    options.name = args.name;
    pellix::CPellixClient client(options);

    long received = 0;
    client.setFrameCallback([&](const pellix::FrameView &frame) {
        printer.frame(frame);
        ++received;
    });
    client.setEventCallback([&](int event, const uint8_t *data, size_t size) {
        printer.event(event, data, size);
        ++received;
    });
    client.setDepartureCallback([&](int moduleId) {
        printer.departure(moduleId);
        ++received;
    });
    client.setConnectionCallback([&](bool up) { printer.connection(up); });
    if (!args.events.empty()) {
        pellix::Result r = client.subscribe(args.events); // sent once registered
        if (!r) {
            return fail(statusFor(r), r.message());
        }
    }
    pellix::Result result = client.connect();
    if (!result) {
        return fail(statusFor(result), result.message());
    }
    // Handlers go in before the "registered" line: whoever reads it may signal at once.
    catchStopSignals();

    printer.registered(args.id, args.name, whereOf(args));
    if (!args.events.empty()) {
        printer.subscribed(args.events);
    }

    const char *reason = serve(client, args, received);
    if (reason == nullptr) {
        return fail(kExitHub, "waiting for the hub failed");
    }
    if (!args.events.empty() && client.isConnected()) {
        client.unsubscribe(args.events);
    }
    client.close();
    printer.end(reason, received);
    return std::string(reason) == "timeout" && args.count > 0 ? kExitTimeout : kExitOk;
}

// The hub as the refusal line names it.
std::string hubAt(const cli::CliArgs &args)
{
    return args.useUnix ? args.unixPath : args.host + ":" + std::to_string(args.port);
}

// A time-out while still connected means the hub ignored the request.
int unansweredRequest(const pellix::Result &r, bool stillConnected, const cli::CliArgs &args, const char *what)
{
    if (r.status() == pellix::Status::NoReply && stillConnected) {
        return fail(kExitHub, "the hub at " + hubAt(args) + " does not answer " + what + " requests");
    }
    return fail(statusFor(r), r.message());
}

// The connection status and monitor ask over: unregistered, from --src.
pellix::ClientOptions watcherOptions(const cli::CliArgs &args, bool keepAlive)
{
    pellix::ClientOptions options = streamOptions(args);
    options.moduleId = args.src;
    options.registerModule = false;
    options.heartbeatMs = keepAlive ? options.heartbeatMs : 0;
    return options;
}

int runStatus(const cli::CliArgs &args, cli::CliPrinter &printer)
{
    std::unique_ptr<pellix::CUdpSender> udp;
    std::unique_ptr<pellix::CPellixClient> client;
    pellix::Result r;
    if (args.udp) {
        udp.reset(new pellix::CUdpSender);
        r = udp->open(args.host, args.port, args.src);
    } else {
        client.reset(new pellix::CPellixClient(watcherOptions(args, args.watch > 0)));
        r = client->connect();
    }
    if (!r) {
        return fail(statusFor(r), r.message());
    }
    catchStopSignals();
    const bool terminal = printer.toTerminal();
    long shown = 0;
    while (stopSignal == 0) {
        std::string text;
        r = udp ? udp->requestStatus(text, kAnswerTimeoutMs) : client->requestStatus(text, kAnswerTimeoutMs);
        if (stopSignal != 0) {
            break;
        }
        if (r.status() == pellix::Status::Refused) {
            // The SDK's sentence up to its advice, then the tool's own.
            return fail(kExitRefused, r.message().substr(0, r.message().find("; ")) +
                                          "; run pellix-cli status without --udp");
        }
        if (!r) {
            return unansweredRequest(r, udp || client->isConnected(), args, "status");
        }
        Json::Value document;
        std::string why;
        if (!cli::parseStatus(text, document, why)) {
            return fail(kExitHub, "the hub's status reply is not a JSON object: " + cli::printable(why.substr(0, 80)));
        }
        if (args.openMetrics) {
            printer.text(cli::renderOpenMetrics(document));
        } else {
            printer.status(document, shown == 0 || args.json ? cli::CliPrinter::Nothing
                                     : terminal              ? cli::CliPrinter::ClearScreen
                                                             : cli::CliPrinter::BlankLine);
        }
        ++shown;
        if (args.watch <= 0 || (args.count > 0 && shown >= args.count)) {
            break;
        }
        // Wait for the next round, serving the connection (heartbeats) meanwhile.
        const Clock::time_point next = Clock::now() + std::chrono::milliseconds(static_cast<long long>(args.watch * 1000));
        for (long long left = msUntil(next); left > 0 && stopSignal == 0; left = msUntil(next)) {
            const int waitMs = static_cast<int>(std::min(left, 100LL));
            const bool failed = client ? client->poll(waitMs) < 0 : ::poll(nullptr, 0, waitMs) < 0 && errno != EINTR;
            if (failed) {
                return fail(kExitHub, "waiting for the hub failed");
            }
        }
    }
    if (client) {
        client->close();
    }
    return kExitOk;
}

// monitor's filters: a record passes when it matches one value of every
// filter given. Reports of lost copies always pass.
bool passes(const cli::CliArgs &args, const pellix::MonitorView &r)
{
    auto listed = [](const std::vector<int> &values, int value) {
        return std::find(values.begin(), values.end(), value) != values.end();
    };
    if (r.kind == pellix::kMonitorLost) {
        return true;
    }
    if (!args.filterIds.empty() && !listed(args.filterIds, r.srcId) && !listed(args.filterIds, r.devId)) {
        return false;
    }
    if (!args.filterCmds.empty() && !listed(args.filterCmds, r.cmd)) {
        return false;
    }
    if (!args.filterEvents.empty()) {
        // A publication's payload starts with its event number.
        const bool publication = r.cmd == pellix::wire::kCmdPublish && r.payloadSize >= 2;
        return publication && listed(args.filterEvents, r.payload[0] | (r.payload[1] << 8));
    }
    return true;
}

int runMonitor(const cli::CliArgs &args, cli::CliPrinter &printer)
{
    pellix::CPellixClient client(watcherOptions(args, true));
    long received = 0;
    bool announced = false;
    std::string refusal; // the hub's reason, when it refuses the monitor after a reconnect
    client.setMonitorCallback([&](const pellix::MonitorView &r) {
        if (r.kind == pellix::kMonitorRefused) {
            refusal = pellix::refusalReason(r);
            return;
        }
        // The hub's answer comes before any record: the ready line goes first.
        if (r.kind == pellix::kMonitorOn) {
            if (!announced) {
                printer.monitoring(whereOf(args));
            }
            announced = true;
            return;
        }
        if (announced && passes(args, r) && (args.count == 0 || received < args.count)) {
            printer.record(r);
            ++received;
        }
    });
    client.setConnectionCallback([&](bool up) { printer.connection(up, "connection restored, monitoring again"); });
    pellix::Result r = client.connect();
    if (!r) {
        return fail(statusFor(r), r.message());
    }
    catchStopSignals();
    r = client.startMonitor(kAnswerTimeoutMs);
    if (!r) {
        return stopSignal != 0 ? kExitOk : unansweredRequest(r, client.isConnected(), args, "monitor");
    }
    const char *reason = serve(client, args, received, refusal);
    if (reason == nullptr) {
        return fail(kExitHub, "waiting for the hub failed");
    }
    if (!refusal.empty()) {
        client.close();
        return fail(kExitRefused, "the hub at " + whereOf(args) + " refused the monitor: " + refusal);
    }
    if (client.isConnected()) {
        client.stopMonitor();
    }
    client.close();
    printer.end(reason, received);
    return std::string(reason) == "timeout" && args.count > 0 ? kExitTimeout : kExitOk;
}

// call: one frame, and the first frame DEST sends back.
int runCall(const cli::CliArgs &args, cli::CliPrinter &printer)
{
    int id = args.id;
    {
        // One status request, over a connection that registers nothing:
        // whether DEST is there, and which id is free for the reply.
        pellix::CPellixClient watcher(watcherOptions(args, false));
        pellix::Result r = watcher.connect();
        if (!r) {
            return fail(statusFor(r), r.message());
        }
        std::set<int> held;
        r = registeredIds(watcher, held, args.dest);
        const bool ignored = r.status() == pellix::Status::NoReply && watcher.isConnected();
        if (r && held.count(args.dest) == 0) {
            return fail(kExitNobody, kNobody + hexId(args.dest));
        }
        for (int candidate = pellix::kMaxModuleId; r && id < 0 && candidate > pellix::kHubId; --candidate) {
            id = held.count(candidate) == 0 ? candidate : id;
        }
        if (r && id < 0) {
            return fail(kExitHub, "every module id is taken; give --id, the id to register under");
        }
        if (!r && !(ignored && id >= 0)) {
            return fail(ignored ? kExitHub : statusFor(r),
                        ignored ? "the hub at " + hubAt(args) + " does not answer status requests; give --id, the "
                                                               "id to register under"
                                : r.message());
        }
        watcher.close();
    }
    pellix::ClientOptions options = streamOptions(args);
    options.moduleId = id;
    options.name = args.name;
    pellix::CPellixClient client(options);
    pellix::Result r = client.connect();
    if (!r) {
        return fail(statusFor(r), r.message());
    }
    pellix::Reply reply;
    const int timeoutMs = static_cast<int>(std::min(args.timeout * 1000.0, 1e9));
    r = client.request(args.dest, args.cmd, args.payload, reply, std::max(timeoutMs, 1), args.replyCmd);
    const bool connected = client.isConnected();
    client.close();
    if (r) {
        printer.reply(reply);
        return kExitOk;
    }
    if (r.status() == pellix::Status::NoReply && connected) {
        char seconds[32];
        snprintf(seconds, sizeof seconds, "%g", args.timeout);
        return fail(kExitTimeout, "no reply from " + hexId(args.dest) +
                                      (args.replyCmd >= 0 ? " with cmd " + hexCmd(args.replyCmd) : "") +
                                      " within " + seconds + " s");
    }
    return fail(statusFor(r), r.message());
}

// A monitor record as the hub sent it, from its view.
std::string recordBytes(const pellix::MonitorView &r)
{
    std::string bytes(1, static_cast<char>(r.kind));
    for (int i = 0; i < 8; ++i) {
        bytes += static_cast<char>((r.timeUs >> (8 * i)) & 0xff);
    }
    bytes += {static_cast<char>(r.devId), static_cast<char>(r.srcId), static_cast<char>(r.cmd & 0xff),
              static_cast<char>(r.cmd >> 8), static_cast<char>(r.length & 0xff), static_cast<char>(r.length >> 8)};
    bytes.append(reinterpret_cast<const char *>(r.payload), r.payloadSize);
    return bytes;
}

// capture: monitor's records into a pcapng file (or standard output).
int runCapture(const cli::CliArgs &args, cli::CliPrinter &printer, FILE *standardOutput)
{
    const bool toStandardOutput = args.write == "-";
    FILE *file = toStandardOutput ? standardOutput : fopen(args.write.c_str(), "wbe");
    if (file == nullptr) {
        return fail(kExitUsage, "cannot write " + cli::printable(args.write) + ": " + strerror(errno));
    }
    long received = 0;
    // No empty file is left behind when the hub refuses; what was captured
    // before a refusal (after a reconnect) is kept.
    auto abandon = [&](int status, const std::string &why) {
        if (!toStandardOutput) {
            fclose(file);
            if (received == 0) {
                unlink(args.write.c_str());
            }
        }
        return fail(status, why);
    };
    cli::PcapngWriter writer(file, "pellix");
    if (!writer.begin("pellix-cli " PELLIX_VERSION, "pellix monitor at " + whereOf(args))) {
        return abandon(kExitHub, "cannot write " + cli::printable(args.write) + ": " + strerror(errno));
    }
    pellix::CPellixClient client(watcherOptions(args, true));
    bool announced = false;
    std::string stopWhy; // the hub's refusal, or a write that failed
    bool writeFailed = false;
    client.setMonitorCallback([&](const pellix::MonitorView &r) {
        if (r.kind == pellix::kMonitorRefused) {
            stopWhy = pellix::refusalReason(r);
            return;
        }
        if (r.kind == pellix::kMonitorOn) {
            if (!announced) {
                printer.capturing(whereOf(args), toStandardOutput ? "standard output" : args.write);
            }
            announced = true;
            return;
        }
        if (!announced || writeFailed || !passes(args, r) || (args.count > 0 && received >= args.count)) {
            return;
        }
        const std::string record = recordBytes(r);
        const size_t whole = pellix::wire::kMonitorRecordHeaderSize + std::max<size_t>(r.length, r.payloadSize);
        if (!writer.packet(r.timeUs, record.data(), record.size(), whole)) {
            writeFailed = true;
            stopWhy = "cannot write " + cli::printable(args.write) + ": " + strerror(errno);
            return;
        }
        ++received;
    });
    client.setConnectionCallback([&](bool up) { printer.connection(up, "connection restored, capturing again"); });
    pellix::Result r = client.connect();
    if (!r) {
        return abandon(statusFor(r), r.message());
    }
    catchStopSignals();
    r = client.startMonitor(kAnswerTimeoutMs);
    if (!r && stopSignal == 0) {
        const bool ignored = r.status() == pellix::Status::NoReply && client.isConnected();
        return abandon(ignored ? kExitHub : statusFor(r),
                       ignored ? "the hub at " + hubAt(args) + " does not answer monitor requests" : r.message());
    }
    const char *reason = r ? serve(client, args, received, stopWhy) : "signal";
    if (reason == nullptr) {
        return abandon(kExitHub, "waiting for the hub failed");
    }
    if (!stopWhy.empty() && !writeFailed) {
        client.close();
        return abandon(kExitRefused, "the hub at " + whereOf(args) + " refused the monitor: " + stopWhy);
    }
    if (client.isConnected()) {
        client.stopMonitor();
    }
    client.close();
    if (writeFailed) {
        return fail(kExitHub, stopWhy);
    }
    if (!toStandardOutput && fclose(file) != 0) {
        return fail(kExitHub, "cannot write " + cli::printable(args.write) + ": " + strerror(errno));
    }
    printer.end(reason, received);
    return std::string(reason) == "timeout" && args.count > 0 ? kExitTimeout : kExitOk;
}

} // namespace

int main(int argc, char **argv)
{
    cli::CliArgs args;
    std::string error;
    jsonErrors = cli::wantsJson(argc, argv);
    if (!cli::parseArgs(argc, argv, args, error)) {
        return fail(kExitUsage, error + " (see pellix-cli --help)");
    }
    if (!args.help.empty()) {
        fputs(args.help.c_str(), stdout);
        return kExitOk;
    }
    try {
        FILE *out = separateFrameworkOutput(args.verbose);
        if (args.command == cli::Command::Capture) {
            // The packets may take standard output; the lines then go to standard error.
            cli::CliPrinter printer(args.write == "-" ? errOut : out, args.json);
            return runCapture(args, printer, out);
        }
        cli::CliPrinter printer(out, args.json);
        if (args.command == cli::Command::Call) {
            return runCall(args, printer);
        }
        if (args.command == cli::Command::Listen || args.command == cli::Command::Sub) {
            return runReceiver(args, printer);
        }
        if (args.command == cli::Command::Status) {
            return runStatus(args, printer);
        }
        if (args.command == cli::Command::Monitor) {
            return runMonitor(args, printer);
        }
        return runOneShot(args, printer);
    } catch (const std::exception &e) {
        return fail(kExitHub, e.what());
    }
}
