// pellix-bridge CONFIG.json: bridges one Pellix hub to one MQTT broker.
// pellix-bridge --version: prints its version.
//
// Exit status: 0 after SIGTERM or SIGINT, 1 on a failure at run time, 2 when
// the arguments or the configuration cannot be used (one line on standard
// error for each key that cannot be used; nothing has connected then).
// SIGUSR1 prints the counters. Under a service manager that asks for it
// (NOTIFY_SOCKET) it says when it is ready (the configuration read, the hub
// tried once), feeds the watchdog from its loop and keeps a status line.

#include <csignal>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include <pellix/CPellixClient.h>

#include "bridge/Bridge.h"
#include "bridge/BridgeConfig.h"
#include "notify/SystemdNotifier.h"

namespace {

const char kHelp[] =
    "usage: pellix-bridge CONFIG.json\n"
    "\n"
    "Bridges the Pellix hub on this device to one MQTT broker: hub events become\n"
    "MQTT messages, and messages under chosen topic filters become hub events or\n"
    "frames for a module. CONFIG.json is one JSON object (comments allowed):\n"
    "\n"
    "  broker      host (127.0.0.1), port (1883), clientId (required, 1 to 23\n"
    "              bytes), keepalive (30), mqttVersion (5, or 4 for 3.1.1),\n"
    "              username, password; TLS: cafile, and certfile with keyfile for\n"
    "              a client certificate, insecure (accept another host name)\n"
    "  hub         host and port, or unixPath (default TCP 127.0.0.1:10032);\n"
    "              moduleId (required: 0x00 or 0x02 to 0xe0), name (pellix-bridge)\n"
    "  prefix      required: the device's topic prefix, put in for {prefix}\n"
    "  out         hub events to topics: a list of { event or events (numbers,\n"
    "              \"A-B\" ranges), topic ({prefix}, {event}), qos (0, 1), retain }\n"
    "  in          topics to the hub: a list of { filter (+ and #, {prefix}), qos,\n"
    "              and event, or module and command }\n"
    "  queue       maxMessages (1000), maxBytes (1048576), file (kept across runs)\n"
    "  stateEvent  hub event published with online or offline as the broker link\n"
    "              changes\n"
    "  metrics     topic ({prefix}/metrics), interval (60 s), qos (0), retain:\n"
    "              the hub's status as OpenMetrics text on that topic\n"
    "\n"
    "Numbers may be strings in hex (\"0x50\"). Every key that cannot be used is\n"
    "named on a line of its own, all at once, before anything connects; so are a\n"
    "cafile, certfile or keyfile that cannot be read and a queue file whose\n"
    "directory cannot be written. Exit status: 0 after SIGTERM or SIGINT, 1 on a\n"
    "failure at run time, 2 when the arguments or the configuration cannot be\n"
    "used. SIGUSR1 prints the counters on standard error.\n"
    "\n"
    "Example: pellix-bridge /usr/share/pellix-bridge/bridge.local.json\n";

volatile sig_atomic_t stopping = 0;
volatile sig_atomic_t reporting = 0;

// Only flags: the loop does the work (printing is not async-signal-safe).
void onStop(int)
{
    stopping = 1;
    SystemdNotifier::sendStoppingFromSignal(); // at once: the queue is saved before the end
}

void onReport(int)
{
    reporting = 1;
}

bool handle(int sig, void (*handler)(int))
{
    struct sigaction action;
    memset(&action, 0, sizeof action);
    action.sa_handler = handler;
    sigemptyset(&action.sa_mask);
    if (sigaction(sig, &action, nullptr) != 0) {
        perror("pellix-bridge: sigaction");
        return false;
    }
    return true;
}

int64_t monotonicMs()
{
    return std::chrono::duration_cast<std::chrono::milliseconds>(
               std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

int main(int argc, char **argv)
{
    if (argc == 2 && strcmp(argv[1], "--version") == 0) {
        printf("pellix-bridge %s\n", PELLIX_VERSION);
        return 0;
    }
    if (argc == 2 && (strcmp(argv[1], "--help") == 0 || strcmp(argv[1], "-h") == 0)) {
        fputs(kHelp, stdout);
        return 0;
    }
    if (argc != 2 || argv[1][0] == '-') {
        fprintf(stderr, "usage: pellix-bridge CONFIG.json | --version (see pellix-bridge --help)\n");
        return 2;
    }
    bridge::BridgeConfig config;
    std::vector<std::string> errors;
    if (!bridge::BridgeConfig::load(argv[1], config, errors) || !config.checkFiles(errors)) {
        // Every refusal at once, never one per run; then no endless retry
        // on a file that was never there.
        for (const std::string &error : errors) {
            fprintf(stderr, "pellix-bridge: configuration: %s\n", error.c_str());
        }
        return 2;
    }
    std::string notifyError;
    const std::unique_ptr<SystemdNotifier> notifier = SystemdNotifier::fromEnvironment(notifyError);
    if (!notifyError.empty()) {
        fprintf(stderr, "pellix-bridge: %s\n", notifyError.c_str());
    }
    if (notifier) {
        notifier->armForSignals();
    }
    if (!handle(SIGTERM, onStop) || !handle(SIGINT, onStop) || !handle(SIGHUP, onStop) ||
        !handle(SIGUSR1, onReport) || signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
        return 1;
    }
    pellix::CPellixClient::setTraceLevel(-1); // the framework's trace would go to standard output
    bridge::Bridge bridge(config);
    if (notifier) {
        bridge.setPassHook([&] { notifier->pass(monotonicMs(), true, [&] { return bridge.statusLine(); }); });
    }
    const int status = bridge.run(stopping, reporting);
    if (notifier) {
        notifier->stopping();
    }
    return status;
}
