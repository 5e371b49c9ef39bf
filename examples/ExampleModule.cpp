// A complete small module on the Pellix SDK.
//
// It registers as module 0x42, subscribes to event 100 (a new greeting) and
// to event 0 (modules that went away), publishes event 101 with the current
// greeting and a counter every few seconds, and answers every frame with
// command 0x0010 by sending the same payload back to its sender with command
// 0x0011. When the hub restarts, the SDK reconnects, registers and
// subscribes again; the module only prints that it happened.
//
//   pellix-example-module [--tcp HOST:PORT | --unix PATH] [--id ID] [--period MS]

#include <pellix/CPellixClient.h>

#include <chrono>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

const int kAsk = 0x0010;
const int kAnswer = 0x0011;
const int kGreetingEvent = 100;
const int kTickEvent = 101;

volatile sig_atomic_t stopping = 0;

void onSignal(int)
{
    stopping = 1;
}

} // namespace

int main(int argc, char **argv)
{
    setvbuf(stdout, nullptr, _IOLBF, 0); // one line at a time, also into a pipe
    pellix::ClientOptions options;
    options.moduleId = 0x42;
    options.name = "pellix-example-module"; // the hub kills this name if we fall silent
    int periodMs = 5000;
    for (int i = 1; i + 1 < argc; i += 2) {
        const std::string option = argv[i];
        const std::string value = argv[i + 1];
        if (option == "--tcp" && value.find(':') != std::string::npos) {
            options.host = value.substr(0, value.rfind(':'));
            options.port = atoi(value.c_str() + value.rfind(':') + 1);
        } else if (option == "--unix") {
            options.transport = pellix::Transport::Unix;
            options.unixPath = value;
        } else if (option == "--id") {
            options.moduleId = static_cast<int>(strtol(value.c_str(), nullptr, 0));
        } else if (option == "--period") {
            periodMs = atoi(value.c_str());
        } else {
            fprintf(stderr, "usage: %s [--tcp HOST:PORT | --unix PATH] [--id ID] [--period MS]\n", argv[0]);
            return 2;
        }
    }
    pellix::CPellixClient::setTraceLevel(-1); // the framework's own trace stays quiet
    pellix::CPellixClient client(options);
    std::string greeting = "hello";

    client.setFrameCallback([&](const pellix::FrameView &frame) {
        if (frame.cmd == kAsk) {
            client.send(frame.srcId, kAnswer, frame.payload, frame.payloadSize);
        }
    });
    client.setEventCallback([&](int event, const uint8_t *data, size_t size) {
        if (event == kGreetingEvent) {
            greeting.assign(reinterpret_cast<const char *>(data), size);
            printf("greeting is now \"%s\"\n", greeting.c_str());
        }
    });
    client.setDepartureCallback([](int moduleId) { printf("module 0x%02x went away\n", moduleId); });
    client.setConnectionCallback(
        [](bool up) { printf(up ? "hub is back, registered again\n" : "hub lost, reconnecting\n"); });

    client.subscribe({pellix::kDepartureEvent, kGreetingEvent});
    const pellix::Result connected = client.connect();
    if (!connected) {
        fprintf(stderr, "pellix-example-module: %s\n", connected.message().c_str());
        return 1;
    }
    // Handlers first: a supervisor may signal as soon as it reads the line.
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    printf("registered as 0x%02x\n", options.moduleId);

    // The module's own loop: poll() serves the hub, the rest is ours.
    typedef std::chrono::steady_clock Clock;
    Clock::time_point nextTick = Clock::now() + std::chrono::milliseconds(periodMs);
    unsigned counter = 0;
    while (!stopping) {
        if (client.poll(100) < 0) {
            fprintf(stderr, "pellix-example-module: select failed\n");
            return 1;
        }
        if (Clock::now() >= nextTick) {
            nextTick += std::chrono::milliseconds(periodMs);
            const std::string tick = greeting + " #" + std::to_string(++counter);
            const pellix::Result sent = client.publish(kTickEvent, tick);
            if (!sent) {
                printf("tick %u not published: %s\n", counter, sent.message().c_str());
            }
        }
    }
    client.close();
    return 0;
}
