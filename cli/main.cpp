// pellix-cli: the hub from a shell or a script. The commands and the exit
// statuses are in its help, written in CliArgs.cpp.

#include <fcntl.h>
#include <unistd.h>

#include <pellix/CPellixClient.h>
#include <pellix/CUdpSender.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <exception>
#include <string>

#if defined(__SANITIZE_ADDRESS__)
#include <sanitizer/common_interface_defs.h>
#endif

#include "cli/CliArgs.h"
#include "cli/CliPrinter.h"
#include "hub/PacketFrame.h"

namespace {

const int kExitOk = 0;
const int kExitHub = 1;
const int kExitUsage = 2;
const int kExitTimeout = 3;

volatile sig_atomic_t stopSignal = 0;

void onStopSignal(int sig)
{
    stopSignal = sig;
}

FILE *errOut = stderr;

int fail(int status, const std::string &message)
{
    fprintf(errOut, "pellix-cli: %s\n", message.c_str());
    fflush(errOut);
    return status;
}

int statusFor(const pellix::Result &result)
{
    return result.status() == pellix::Status::InvalidArgument ? kExitUsage : kExitHub;
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
        if (result) {
            result = act(client, args);
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
        printer.sent("dump command", pellix::kHubId, args.src, CMD_DUMP_SOCKET, 0, transport);
        break;
    case cli::Command::Print:
        printer.sent("data print command", pellix::kHubId, args.src, CMD_DATA_PRINT, 0, transport);
        break;
    default:
        printer.sent("trace level command", pellix::kHubId, args.src, CMD_SET_DEBUG_LEVEL, 4, transport);
        break;
    }
    return kExitOk;
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
    struct sigaction action;
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = 0; // select() returns at once on a signal
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    sigaction(SIGHUP, &action, nullptr);

    printer.registered(args.id, args.name, whereOf(args));
    if (!args.events.empty()) {
        printer.subscribed(args.events);
    }

    typedef std::chrono::steady_clock Clock;
    const Clock::time_point deadline =
        Clock::now() + std::chrono::milliseconds(static_cast<long long>(args.timeout * 1000.0));
    const char *reason = "signal";
    for (;;) {
        if (stopSignal != 0) {
            break;
        }
        if (args.count > 0 && received >= args.count) {
            reason = "count";
            break;
        }
        long long waitMs = 100;
        if (args.timeout > 0) {
            const long long left =
                std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
            if (left <= 0) {
                reason = "timeout";
                break;
            }
            waitMs = left < waitMs ? left : waitMs;
        }
        if (client.poll(static_cast<int>(waitMs)) < 0) {
            return fail(kExitHub, "waiting for the hub failed");
        }
    }
    if (!args.events.empty() && client.isConnected()) {
        client.unsubscribe(args.events);
    }
    client.close();
    printer.end(reason, received);
    return std::string(reason) == "timeout" && args.count > 0 ? kExitTimeout : kExitOk;
}

} // namespace

int main(int argc, char **argv)
{
    cli::CliArgs args;
    std::string error;
    if (!cli::parseArgs(argc, argv, args, error)) {
        return fail(kExitUsage, error + " (see pellix-cli --help)");
    }
    if (!args.help.empty()) {
        fputs(args.help.c_str(), stdout);
        return kExitOk;
    }
    try {
        cli::CliPrinter printer(separateFrameworkOutput(args.verbose), args.json);
        if (args.command == cli::Command::Listen || args.command == cli::Command::Sub) {
            return runReceiver(args, printer);
        }
        return runOneShot(args, printer);
    } catch (const std::exception &e) {
        return fail(kExitHub, e.what());
    }
}
