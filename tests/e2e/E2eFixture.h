#pragma once
// The common ground of the end-to-end tests: a temporary root, one daemon
// under it, modules that connect and register, and the checks every test
// ends with.

#include <gtest/gtest.h>

#include <csignal>
#include <iostream>
#include <regex>
#include <string>

#include "tests/support/DaemonProcess.h"
#include "tests/support/Frames.h"
#include "tests/support/ModuleClient.h"
#include "tests/support/TempDir.h"

namespace e2e {

// The registration reply to module `id`: 18 bytes from the hub, cmd 1.
inline std::string registrationReply(uint8_t id)
{
    return makeFrame(id, kHubId, kCmdReg);
}

inline size_t countOf(const std::string &text, const std::string &needle)
{
    size_t count = 0;
    for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + needle.size())) {
        ++count;
    }
    return count;
}

class E2eFixture : public ::testing::Test {
protected:
    E2eFixture() : daemon(dir) {}

    void TearDown() override
    {
        if (HasFailure()) {
            // Enough of the daemon's side to see what it made of the test.
            std::cerr << "--- daemon " << daemon.describeEnd() << ", root " << daemon.root() << "\n"
                      << "--- stderr (tail):\n" << tail(daemon.stderrText()) << "\n"
                      << "--- log (tail):\n" << tail(daemon.logText()) << "\n";
        }
    }

    static std::string tail(const std::string &text, size_t size = 3000)
    {
        return text.size() <= size ? text : "..." + text.substr(text.size() - size);
    }

    // Connects over TCP (or the Unix socket) and registers; the reply is
    // checked here.
    ModuleClient tcpModule(uint8_t id, const std::string &name)
    {
        return registered(ModuleClient::tcp(daemon.port()), id, name);
    }
    ModuleClient unixModule(uint8_t id, const std::string &name)
    {
        return registered(ModuleClient::unixStream(daemon.unixSocketPath()), id, name);
    }
    ModuleClient registered(ModuleClient client, uint8_t id, const std::string &name)
    {
        EXPECT_TRUE(client.isOpen()) << client.error();
        const std::string reply = client.registerAs(id, name);
        EXPECT_EQ(hex(registrationReply(id)), hex(reply)) << "registration reply to module " << int(id);
        return client;
    }

    // Every test ends here: SIGTERM ends the daemon with status 255, and a
    // daemon built with sanitizers reported nothing.
    void expectStopsCleanly(int sig = SIGTERM)
    {
        EXPECT_EQ(255, daemon.stop(sig)) << daemon.describeEnd();
        EXPECT_EQ("", daemon.sanitizerReport()) << tail(daemon.stderrText());
    }

    // The descriptor number the hub logged for the registration of `name`.
    std::string loggedFd(unsigned id, const std::string &name)
    {
        std::smatch m;
        const std::string log = daemon.logText();
        const std::regex line("reg fd: (\\d+), dev: " + std::to_string(id) + ", name: " + name + "\n");
        return std::regex_search(log, m, line) ? m[1].str() : std::string("?");
    }

    TempDir dir;
    DaemonProcess daemon;
};

} // namespace e2e
