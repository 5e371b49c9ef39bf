// pellix-bridge CONFIG.json: bridges one Pellix hub to one MQTT broker.
//
// Exit status: 0 after SIGTERM or SIGINT, 1 on a failure at run time, 2 when
// the arguments or the configuration cannot be used (one line on standard
// error names the key; nothing has connected then). SIGUSR1 prints the
// counters.

#include <csignal>
#include <cstdio>
#include <cstring>
#include <string>

#include <pellix/CPellixClient.h>

#include "bridge/Bridge.h"
#include "bridge/BridgeConfig.h"

namespace {

volatile sig_atomic_t stopping = 0;
volatile sig_atomic_t reporting = 0;

// Only flags: the loop does the work (printing is not async-signal-safe).
void onStop(int)
{
    stopping = 1;
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

} // namespace

int main(int argc, char **argv)
{
    if (argc != 2 || argv[1][0] == '-') {
        fprintf(stderr, "usage: pellix-bridge CONFIG.json\n");
        return 2;
    }
    bridge::BridgeConfig config;
    std::string error;
    if (!bridge::BridgeConfig::load(argv[1], config, error)) {
        fprintf(stderr, "pellix-bridge: configuration: %s\n", error.c_str());
        return 2;
    }
    if (!handle(SIGTERM, onStop) || !handle(SIGINT, onStop) || !handle(SIGHUP, onStop) ||
        !handle(SIGUSR1, onReport) || signal(SIGPIPE, SIG_IGN) == SIG_ERR) {
        return 1;
    }
    pellix::CPellixClient::setTraceLevel(-1); // the framework's trace would go to standard output
    bridge::Bridge bridge(config);
    return bridge.run(stopping, reporting);
}
