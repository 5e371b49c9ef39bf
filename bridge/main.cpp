// pellix-bridge CONFIG.json: bridges one Pellix hub to one MQTT broker.
// pellix-bridge --version: prints its version.
//
// Exit status: 0 after SIGTERM or SIGINT, 1 on a failure at run time, 2 when
// the arguments or the configuration cannot be used (one line on standard
// error names the key; nothing has connected then). SIGUSR1 prints the
// counters. Under a service manager that asks for it (NOTIFY_SOCKET) it
// says when it is ready (the configuration read, the hub tried once), feeds
// the watchdog from its loop and keeps a status line.

#include <csignal>
#include <cstdio>
#include <chrono>
#include <cstring>
#include <memory>
#include <string>

#include <pellix/CPellixClient.h>

#include "bridge/Bridge.h"
#include "bridge/BridgeConfig.h"
#include "notify/SystemdNotifier.h"

namespace {

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
    if (argc != 2 || argv[1][0] == '-') {
        fprintf(stderr, "usage: pellix-bridge CONFIG.json | --version\n");
        return 2;
    }
    bridge::BridgeConfig config;
    std::string error;
    if (!bridge::BridgeConfig::load(argv[1], config, error)) {
        fprintf(stderr, "pellix-bridge: configuration: %s\n", error.c_str());
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
