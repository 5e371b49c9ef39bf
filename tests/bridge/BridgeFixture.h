#pragma once
// The bridge between real parts: a pellix daemon (tests/support), a
// mosquitto broker on a free loopback port with a configuration written
// into the test's directory, and the pellix-bridge binary with a JSON
// configuration the test adjusts. Frames on the hub side come from the
// frame codec (tests/support/Frames), never written by hand.

#include <gtest/gtest.h>
#include <json/json.h>

#include <signal.h>
#include <unistd.h>

#include <chrono>
#include <functional>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "proto/EventList.h"
#include "proto/PacketFrame.h"
#include "tests/bridge/BridgeProcess.h"
#include "tests/bridge/MqttProbe.h"
#include "tests/support/Clock.h"
#include "tests/support/DaemonProcess.h"
#include "tests/support/Frames.h"
#include "tests/support/ModuleClient.h"
#include "tests/support/TempDir.h"

namespace bridgetest {

const uint8_t kBridgeId = 0x50;

class BridgeFixture : public ::testing::Test {
protected:
    BridgeFixture() : hub(dir) {}

    void SetUp() override
    {
        ASSERT_TRUE(hub.start()) << hub.lastError();
        ASSERT_TRUE(startBroker());
    }

    void TearDown() override
    {
        // A bridge built with sanitizers reported nothing, whatever the test did.
        EXPECT_EQ(std::string::npos, bridgeOutput().find("Sanitizer"));
        EXPECT_EQ(std::string::npos, bridgeOutput().find("runtime error:"));
        if (HasFailure()) {
            std::cerr << "--- bridge:\n" << bridgeOutput() << "--- broker:\n" << readFile(dir.path() + "/broker.out");
        }
    }

    // The first start picks the port; every start writes the configuration,
    // with `extra` lines at its end.
    bool startBroker(const std::string &extra = std::string())
    {
        if (brokerPort == 0) {
            brokerPort = e2e::pickFreePort();
        }
        // user root: mosquitto started as root would otherwise switch to its
        // own user, which cannot read the test's directory.
        writeFile(dir.path() + "/broker.conf", "listener " + std::to_string(brokerPort) +
                                                   " 127.0.0.1\nallow_anonymous true\npersistence true\n" +
                                                   "persistence_location " + dir.path() + "/\nuser root\n" + extra);
        return startProgram(broker, {"/usr/sbin/mosquitto", "-c", dir.path() + "/broker.conf"}, dir.path() + "/broker.out") &&
               eventually(5000, [this] { return accepts(brokerPort); });
    }
    bool stopBroker() { return stop(broker, SIGTERM, 5000) == 0; }

    Json::Value config() const
    {
        Json::Value c;
        c["broker"]["port"] = brokerPort;
        c["broker"]["clientId"] = "bridge-under-test";
        c["hub"]["port"] = hub.port();
        c["hub"]["moduleId"] = kBridgeId;
        c["prefix"] = "fleet/dev1";
        Json::Value out;
        out["events"].append("5-7");
        out["topic"] = "{prefix}/event/{event}";
        out["qos"] = 1;
        c["out"].append(out);
        Json::Value frame;
        frame["filter"] = "{prefix}/cmd/#";
        frame["module"] = 0x30;
        frame["command"] = 0x42;
        c["in"].append(frame);
        Json::Value event;
        event["filter"] = "{prefix}/set/+";
        event["event"] = 300;
        c["in"].append(event);
        return c;
    }

    bool startBridge(const Json::Value &c, bool waitForLinks = true)
    {
        return startBridgeWith(Json::writeString(Json::StreamWriterBuilder(), c), waitForLinks);
    }
    // With the configuration file holding `text` as it is.
    bool startBridgeWith(const std::string &text, bool waitForLinks = true)
    {
        writeFile(dir.path() + "/bridge.json", text);
        // Each start writes a new output file: none of an earlier run's lines count.
        unlink((dir.path() + "/bridge.out").c_str());
        return startProgram(bridge, {PELLIX_BRIDGE_PATH, dir.path() + "/bridge.json"}, dir.path() + "/bridge.out") &&
               (!waitForLinks || eventually(5000, [&] { return count("broker link up") > 0; }));
    }
    std::string bridgeOutput() const { return readFile(dir.path() + "/bridge.out"); }
    size_t count(const std::string &needle) const
    {
        const std::string text = bridgeOutput();
        size_t n = 0;
        for (size_t at = text.find(needle); at != std::string::npos; at = text.find(needle, at + 1)) {
            ++n;
        }
        return n;
    }
    // Asks for the counters with SIGUSR1 and returns the line printed.
    std::string counters()
    {
        const size_t before = count("info: counters ");
        bridge.signal(SIGUSR1);
        eventually(3000, [&] { return count("info: counters ") > before; });
        const std::string text = bridgeOutput();
        const size_t at = text.rfind("info: counters ");
        return at == std::string::npos ? std::string() : text.substr(at, text.find('\n', at) - at);
    }

    e2e::ModuleClient module(uint8_t id)
    {
        e2e::ModuleClient m = e2e::ModuleClient::tcp(hub.port());
        EXPECT_EQ(e2e::hex(e2e::makeFrame(id, e2e::kHubId, e2e::kCmdReg)), e2e::hex(m.registerAs(id, "test-module")));
        return m;
    }
    static std::string eventPayload(int event, const std::string &data)
    {
        unsigned char number[2];
        EventList::eventNumber(number, event);
        return std::string(reinterpret_cast<char *>(number), 2) + data;
    }
    static std::string publication(uint8_t src, int event, const std::string &data)
    {
        return e2e::makeFrame(e2e::kEventMgrId, src, e2e::kCmdPublishEvent, eventPayload(event, data));
    }

    TempDir dir;
    e2e::DaemonProcess hub;
    Subprocess broker;
    Subprocess bridge;
    uint16_t brokerPort = 0;
};

} // namespace bridgetest
