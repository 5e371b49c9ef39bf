#pragma once
// The SDK against the real daemon: a temporary root, one hub under it on a
// free port, SDK clients pointed at it, and raw modules (tests/support) as
// their counterparts, so that what the SDK sends is checked byte for byte.

#include <gtest/gtest.h>

#include <pellix/CPellixClient.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <string>
#include <vector>

#include "tests/support/DaemonProcess.h"
#include "tests/support/Frames.h"
#include "tests/support/ModuleClient.h"
#include "tests/support/TempDir.h"

namespace sdk {

// What a client's callbacks saw, in order.
struct Seen {
    struct Frame {
        int dev, src, cmd, len;
        std::string payload;
    };
    struct Event {
        int event;
        std::string data;
    };
    std::vector<Frame> frames;
    std::vector<Event> events;
    std::vector<int> departures;
    std::vector<bool> connection;

    void attach(pellix::CPellixClient &client)
    {
        client.setFrameCallback([this](const pellix::FrameView &f) {
            frames.push_back(Frame{f.devId, f.srcId, f.cmd, f.len,
                                   std::string(reinterpret_cast<const char *>(f.payload), f.payloadSize)});
        });
        client.setEventCallback([this](int event, const uint8_t *data, size_t size) {
            events.push_back(Event{event, std::string(reinterpret_cast<const char *>(data), size)});
        });
        client.setDepartureCallback([this](int id) { departures.push_back(id); });
        client.setConnectionCallback([this](bool up) { connection.push_back(up); });
    }
};

class ClientFixture : public ::testing::Test {
protected:
    ClientFixture() : daemon(dir) { pellix::CPellixClient::setTraceLevel(-1); }

    void TearDown() override
    {
        // A hub built with sanitizers reported nothing, whatever the test did.
        EXPECT_EQ("", daemon.sanitizerReport());
        if (HasFailure()) {
            std::cerr << "--- daemon " << daemon.describeEnd() << ", root " << daemon.root() << "\n--- log:\n"
                      << daemon.logText() << "\n";
        }
    }

    pellix::ClientOptions tcpOptions(int id, const std::string &name)
    {
        pellix::ClientOptions options;
        options.port = daemon.port();
        options.moduleId = id;
        options.name = name;
        return options;
    }

    pellix::ClientOptions unixOptions(int id, const std::string &name)
    {
        pellix::ClientOptions options = tcpOptions(id, name);
        options.transport = pellix::Transport::Unix;
        options.unixPath = daemon.unixSocketPath();
        return options;
    }

    e2e::ModuleClient rawModule(uint8_t id, const std::string &name)
    {
        e2e::ModuleClient raw = e2e::ModuleClient::tcp(daemon.port());
        EXPECT_TRUE(raw.isOpen()) << raw.error();
        EXPECT_EQ(e2e::hex(e2e::makeFrame(id, e2e::kHubId, e2e::kCmdReg)), e2e::hex(raw.registerAs(id, name)));
        return raw;
    }

    // Polls until done() holds; false after timeoutMs.
    static bool pollUntil(pellix::CPellixClient &client, const std::function<bool()> &done, int timeoutMs = 5000)
    {
        const auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(timeoutMs);
        while (!done()) {
            if (std::chrono::steady_clock::now() >= deadline) {
                return false;
            }
            client.poll(20);
        }
        return true;
    }

    // A frame from the client to itself and back: everything it sent before
    // has been handled by the hub, and everything the hub had for it before
    // has been delivered.
    static bool roundTrip(pellix::CPellixClient &client, Seen &seen)
    {
        static int serial = 0;
        const std::string mark = "round-trip-" + std::to_string(++serial);
        if (!client.send(client.options().moduleId, 0x0070, mark)) {
            return false;
        }
        const bool back = pollUntil(client, [&] { return !seen.frames.empty() && seen.frames.back().payload == mark; });
        if (back) {
            seen.frames.pop_back();
        }
        return back;
    }

    TempDir dir;
    e2e::DaemonProcess daemon;
};

} // namespace sdk
