// pellix-bridge between a real hub and a real broker.

#include <sys/stat.h>

#include "tests/bridge/BridgeFixture.h"
#include "tests/support/NotifySocket.h"
#include "tests/support/StatusRequest.h"

namespace bridgetest {
namespace {

using e2e::hex;

class BridgeE2e : public BridgeFixture {};

TEST_F(BridgeE2e, HubEventsReachTheirTopicsByteForByte)
{
    Json::Value c = config();
    Json::Value retained;
    retained["event"] = 9;
    retained["topic"] = "{prefix}/last";
    retained["retain"] = true;
    c["out"].append(retained);
    ASSERT_TRUE(startBridge(c));
    MqttProbe probe("probe");
    ASSERT_TRUE(probe.connect(brokerPort, "fleet/#"));
    std::string binary;
    for (int i = 0; i < 256; ++i) {
        binary += static_cast<char>(i);
    }
    const std::string big(1024, 'k');
    e2e::ModuleClient m = module(0x20);
    ASSERT_TRUE(m.send(publication(0x20, 5, binary) + publication(0x20, 8, "unmapped") +
                       publication(0x20, 7, big) + publication(0x20, 9, "kept")));
    ASSERT_TRUE(probe.waitForCount("fleet/dev1/last", 1));
    ASSERT_TRUE(probe.waitForCount("fleet/dev1/event/7", 1));
    EXPECT_EQ(hex(binary), hex(probe.payloadsOn("fleet/dev1/event/5").at(0)));
    EXPECT_EQ(big, probe.payloadsOn("fleet/dev1/event/7").at(0));
    EXPECT_TRUE(probe.payloadsOn("fleet/dev1/event/8").empty());
    EXPECT_EQ(4u, probe.received().size()) << "the state, events 5, 7 and 9";

    // A late subscriber gets the retained state and the retained event.
    MqttProbe late("late");
    ASSERT_TRUE(late.connect(brokerPort, "fleet/dev1/#"));
    ASSERT_TRUE(late.waitForCount("fleet/dev1/last", 1));
    ASSERT_TRUE(late.waitForCount("fleet/dev1/bridge/state", 1));
    EXPECT_EQ("online", late.payloadsOn("fleet/dev1/bridge/state").at(0));
    EXPECT_EQ(2u, late.received().size());

    // The events, not the state; the last acknowledgement may come just
    // after the subscriber has the message.
    EXPECT_TRUE(eventually(3000, [&] { return counters().find("sent=3 ") != std::string::npos; }));
    // The hub's status shows them too, under the bridge's connection.
    e2e::ModuleClient asker = e2e::ModuleClient::tcp(hub.port());
    EXPECT_TRUE(eventually(3000, [&] {
        const Json::Value doc = e2e::requestStatus(asker);
        const Json::Value *held = e2e::connectionWithId(doc, kBridgeId);
        return held != nullptr && (*held)["report"]["bridge"]["sent"].asInt() == 3 &&
               (*held)["report"]["bridge"]["broker"].asString() == "up";
    }));
    // Stopped, it says so on the state topic; no will is needed.
    EXPECT_EQ(0, stop(bridge, SIGTERM, 5000));
    ASSERT_TRUE(probe.waitForCount("fleet/dev1/bridge/state", 2));
    EXPECT_EQ("offline", probe.payloadsOn("fleet/dev1/bridge/state").back());
}

TEST_F(BridgeE2e, BrokerMessagesReachTheModuleAndTheSubscribers)
{
    ASSERT_TRUE(startBridge(config()));
    e2e::ModuleClient target = module(0x30);
    e2e::ModuleClient listener = module(0x31);
    ASSERT_TRUE(listener.subscribe({300}));

    // The command-line client, with a payload from a file (bytes 0 to 255).
    std::string payload;
    for (int i = 0; i < 256; ++i) {
        payload += static_cast<char>(255 - i);
    }
    writeFile(dir.path() + "/payload.bin", payload);
    Subprocess pub;
    ASSERT_TRUE(startProgram(pub, {"/usr/bin/mosquitto_pub", "-p", std::to_string(brokerPort), "-q", "1", "-t",
                           "fleet/dev1/cmd/reboot", "-f", dir.path() + "/payload.bin"},
                          dir.path() + "/pub.out"));
    ASSERT_EQ(0, finish(pub, 5000)) << readFile(dir.path() + "/pub.out");
    const std::string frame = e2e::makeFrame(0x30, kBridgeId, 0x42, payload);
    EXPECT_EQ(hex(frame), hex(target.readExactly(frame.size())));

    MqttProbe probe("probe");
    ASSERT_TRUE(probe.connect(brokerPort, "nothing/here"));
    ASSERT_TRUE(probe.publish("fleet/dev1/set/temp", "21.5"));
    const std::string delivery = e2e::eventDelivery(0x31, eventPayload(300, "21.5"));
    EXPECT_EQ(hex(delivery), hex(listener.readExactly(delivery.size())));

    // Too large for a frame: refused whole, counted, one log line.
    ASSERT_TRUE(probe.publish("fleet/dev1/cmd/big", std::string(70000, 'b')));
    ASSERT_TRUE(probe.publish("fleet/dev1/cmd/big", std::string(70000, 'c')));
    ASSERT_TRUE(eventually(5000, [&] { return counters().find("refused=2 ") != std::string::npos; }));
    EXPECT_EQ(1u, count("do not fit a frame"));
    EXPECT_EQ("", target.readFor(200));
    EXPECT_NE(std::string::npos, counters().find("received=2 "));
}

// A message far beyond what the bridge can use never reaches its memory
// (libmosquitto would read it whole before the bridge could refuse it): with
// MQTT 5 the bridge tells the broker the largest packet it takes; with 3.1.1
// the broker is configured as doc/bridge.md says.
class BridgeOversize : public BridgeFixture,
                       public ::testing::WithParamInterface<std::pair<int, const char *>> {};

TEST_P(BridgeOversize, MessageStaysOnTheBroker)
{
    ASSERT_TRUE(stopBroker());
    ASSERT_TRUE(startBroker(GetParam().second));
    Json::Value c = config();
    c["broker"]["mqttVersion"] = GetParam().first;
    ASSERT_TRUE(startBridge(c));
    e2e::ModuleClient target = module(0x30);
    MqttProbe probe("probe");
    ASSERT_TRUE(probe.connect(brokerPort, "nothing/here"));
    ASSERT_TRUE(probe.publish("fleet/dev1/cmd/first", "a"));
    const std::string first = e2e::makeFrame(0x30, kBridgeId, 0x42, "a");
    ASSERT_EQ(hex(first), hex(target.readExactly(first.size())));
    const long before = peakResidentKb(bridge.pid());
    ASSERT_GT(before, 0);

    const size_t huge = 16 * 1024 * 1024;
    ASSERT_TRUE(probe.publish("fleet/dev1/cmd/huge", std::string(huge, 'h')));
    ASSERT_TRUE(probe.publish("fleet/dev1/cmd/after", "b"));
    // The broker keeps one client's messages in order: once "b" is through,
    // the huge one went wherever it was going to go.
    const std::string after = e2e::makeFrame(0x30, kBridgeId, 0x42, "b");
    EXPECT_EQ(hex(after), hex(target.readExactly(after.size(), 10000)));
    const long grown = peakResidentKb(bridge.pid()) - before;
    std::cout << "[bridge] peak resident memory " << before << " kB, grown by " << grown << " kB with a "
              << huge / 1024 << " kB message" << std::endl;
    EXPECT_LT(grown, static_cast<long>(huge / 1024 / 8));
    EXPECT_NE(std::string::npos, counters().find("received=2 queued=0 dropped=0 refused=0 "));
}

INSTANTIATE_TEST_SUITE_P(MqttVersions, BridgeOversize,
                         ::testing::Values(std::make_pair(5, ""), std::make_pair(4, "message_size_limit 65529\n")));

// What the bridge sends one way never comes back the other, with the
// broker's no-local option (MQTT 5) and with the bridge's own tracking (3.1.1).
class BridgeLoop : public BridgeFixture, public ::testing::WithParamInterface<int> {};

TEST_P(BridgeLoop, NothingComesBack)
{
    Json::Value c = config();
    c["broker"]["mqttVersion"] = GetParam();
    c["in"][1]["filter"] = "{prefix}/event/+"; // the out topics themselves, into event 6 (bridged out too)
    c["in"][1]["event"] = 6;
    ASSERT_TRUE(startBridge(c));
    MqttProbe probe("probe");
    ASSERT_TRUE(probe.connect(brokerPort, "fleet/#"));
    e2e::ModuleClient m = module(0x20);
    ASSERT_TRUE(m.subscribe({6}));

    ASSERT_TRUE(m.send(publication(0x20, 6, "from-hub")));
    ASSERT_TRUE(probe.publish("fleet/dev1/event/7", "from-broker"));
    const std::string hubSide = e2e::eventDelivery(0x20, eventPayload(6, "from-hub"));
    const std::string brokerSide = e2e::eventDelivery(0x20, eventPayload(6, "from-broker"));
    std::string seen = m.readExactly(hubSide.size() + brokerSide.size());
    seen += m.readFor(700);
    EXPECT_EQ(hubSide.size() + brokerSide.size(), seen.size()) << hex(seen);
    EXPECT_EQ(std::vector<std::string>{"from-hub"}, probe.payloadsOn("fleet/dev1/event/6"));
    EXPECT_EQ(std::vector<std::string>{"from-broker"}, probe.payloadsOn("fleet/dev1/event/7"));
}

INSTANTIATE_TEST_SUITE_P(MqttVersions, BridgeLoop, ::testing::Values(4, 5));

TEST_F(BridgeE2e, BrokerOutageKeepsTheNewestWithinTheQueueBound)
{
    Json::Value c = config();
    c["queue"]["maxMessages"] = 20;
    ASSERT_TRUE(startBridge(c));
    // A persistent session: what the broker takes while the probe is away
    // reaches it when it is back.
    MqttProbe probe("keeper", false);
    ASSERT_TRUE(probe.connect(brokerPort, "fleet/dev1/event/#"));
    e2e::ModuleClient m = module(0x20);
    ASSERT_TRUE(m.send(publication(0x20, 5, "before")));
    ASSERT_TRUE(probe.waitForCount("fleet/dev1/event/5", 1));

    const int64_t down = nowMs();
    ASSERT_TRUE(stopBroker());
    ASSERT_TRUE(eventually(5000, [&] { return count("broker link down") == 1; }));
    std::string frames;
    for (int i = 0; i < 30; ++i) {
        frames += publication(0x20, 5, "m" + std::to_string(100 + i));
    }
    ASSERT_TRUE(m.send(frames));
    ASSERT_TRUE(m.ping());
    ASSERT_TRUE(eventually(3000, [&] { return counters().find("queued=20 dropped=10 ") != std::string::npos; }));
    std::this_thread::sleep_for(std::chrono::milliseconds(5000 - (nowMs() - down)));
    ASSERT_TRUE(startBroker());

    ASSERT_TRUE(probe.waitForCount("fleet/dev1/event/5", 21, 15000));
    std::vector<std::string> expected{"before"};
    for (int i = 10; i < 30; ++i) {
        expected.push_back("m" + std::to_string(100 + i));
    }
    EXPECT_EQ(expected, probe.payloadsOn("fleet/dev1/event/5"));
    // The last acknowledgement may come just after the subscriber has the message.
    EXPECT_TRUE(eventually(3000, [&] { return counters().find("sent=21 received=0 queued=0 dropped=10 ") == 15; }));
    EXPECT_NE(std::string::npos, counters().find("reconnects=1"));
}

TEST_F(BridgeE2e, QueueSurvivesARestartOfTheBridge)
{
    Json::Value c = config();
    c["queue"]["file"] = dir.path() + "/queue.bin";
    ASSERT_TRUE(startBridge(c));
    ASSERT_TRUE(stopBroker());
    ASSERT_TRUE(eventually(5000, [&] { return count("broker link down") == 1; }));
    e2e::ModuleClient m = module(0x20);
    ASSERT_TRUE(m.send(publication(0x20, 5, "one") + publication(0x20, 6, "two")));
    ASSERT_TRUE(m.ping());
    ASSERT_TRUE(eventually(3000, [&] { return counters().find("queued=2 ") != std::string::npos; }));
    ASSERT_EQ(0, stop(bridge, SIGTERM, 5000));
    struct stat st;
    ASSERT_EQ(0, stat((dir.path() + "/queue.bin").c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);

    ASSERT_TRUE(startBroker());
    MqttProbe probe("probe");
    ASSERT_TRUE(probe.connect(brokerPort, "fleet/dev1/event/#"));
    ASSERT_TRUE(startBridge(c));
    ASSERT_TRUE(probe.waitForCount("fleet/dev1/event/6", 1));
    EXPECT_EQ(std::vector<std::string>{"one"}, probe.payloadsOn("fleet/dev1/event/5"));
    ASSERT_TRUE(eventually(5000, [&] { return !fileExists(dir.path() + "/queue.bin"); }));
}

TEST_F(BridgeE2e, HubRestartKeepsTheMappings)
{
    ASSERT_TRUE(startBridge(config()));
    EXPECT_EQ(255, hub.stop(SIGTERM));
    ASSERT_TRUE(hub.startExpecting(hub.port())) << hub.lastError();
    ASSERT_TRUE(eventually(8000, [&] { return count("hub connection back") == 1; }));

    MqttProbe probe("probe");
    ASSERT_TRUE(probe.connect(brokerPort, "fleet/dev1/event/#"));
    e2e::ModuleClient m = module(0x31);
    ASSERT_TRUE(m.subscribe({300}));
    ASSERT_TRUE(m.send(publication(0x31, 5, "after")));
    ASSERT_TRUE(probe.waitForCount("fleet/dev1/event/5", 1));
    ASSERT_TRUE(probe.publish("fleet/dev1/set/x", "back"));
    const std::string delivery = e2e::eventDelivery(0x31, eventPayload(300, "back"));
    EXPECT_EQ(hex(delivery), hex(m.readExactly(delivery.size())));
}

TEST_F(BridgeE2e, TlsWithACertificateOfTheTestsOwn)
{
    const std::string d = dir.path() + "/";
    writeFile(d + "san.cnf", "subjectAltName=IP:127.0.0.1,DNS:localhost\n");
    const std::vector<std::vector<std::string>> steps = {
        {"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout",
         d + "ca.key", "-out", d + "ca.crt", "-days", "1", "-subj", "/CN=bridge-test-ca"},
        {"req", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes", "-keyout", d + "server.key",
         "-out", d + "server.csr", "-subj", "/CN=localhost"},
        {"x509", "-req", "-in", d + "server.csr", "-CA", d + "ca.crt", "-CAkey", d + "ca.key", "-CAcreateserial",
         "-out", d + "server.crt", "-days", "1", "-extfile", d + "san.cnf"}};
    for (std::vector<std::string> step : steps) {
        step.insert(step.begin(), "/usr/bin/openssl");
        Subprocess openssl;
        ASSERT_TRUE(startProgram(openssl, step, d + "openssl.out"));
        ASSERT_EQ(0, finish(openssl, 20000)) << readFile(d + "openssl.out");
    }
    const uint16_t tlsPort = e2e::pickFreePort();
    ASSERT_TRUE(stopBroker());
    ASSERT_TRUE(startBroker("listener " + std::to_string(tlsPort) + " 127.0.0.1\ncafile " + d + "ca.crt\ncertfile " +
                            d + "server.crt\nkeyfile " + d + "server.key\n"));
    ASSERT_TRUE(eventually(5000, [&] { return accepts(tlsPort); }));

    Json::Value c = config();
    c["broker"]["port"] = tlsPort;
    c["broker"]["cafile"] = d + "ca.crt";
    ASSERT_TRUE(startBridge(c));
    MqttProbe probe("probe");
    ASSERT_TRUE(probe.connect(brokerPort, "fleet/dev1/event/#"));
    e2e::ModuleClient m = module(0x20);
    ASSERT_TRUE(m.send(publication(0x20, 5, "over tls")));
    ASSERT_TRUE(probe.waitForCount("fleet/dev1/event/5", 1));
    EXPECT_EQ("over tls", probe.payloadsOn("fleet/dev1/event/5").at(0));
}

// Under a service manager: ready once the hub was tried, even when it is
// away, the watchdog fed and a status line kept, the stop announced.
TEST_F(BridgeE2e, NotifiesTheServiceManager)
{
    EXPECT_EQ(255, hub.stop(SIGTERM));
    NotifySocket manager(dir.path() + "/notify");
    ASSERT_TRUE(manager.isOpen());
    writeFile(dir.path() + "/bridge.json", Json::writeString(Json::StreamWriterBuilder(), config()));
    std::vector<std::string> env = Subprocess::environment();
    env.push_back("NOTIFY_SOCKET=" + manager.path());
    env.push_back("WATCHDOG_USEC=1000000");
    ASSERT_TRUE(bridge.exec({PELLIX_BRIDGE_PATH, dir.path() + "/bridge.json"}, env,
                            Subprocess::Streams{dir.path() + "/bridge.out", ""},
                            [] { return dup2(STDOUT_FILENO, STDERR_FILENO) < 0 ? 126 : 0; }));
    ASSERT_TRUE(manager.waitFor("READY=1", 10000));
    EXPECT_TRUE(manager.waitFor("WATCHDOG=1", 2000));
    EXPECT_TRUE(manager.waitFor("STATUS=hub down, broker up, sent: 0, received: 0, queued: 0", 5000));
    EXPECT_EQ(0, stop(bridge, SIGTERM, 5000));
    EXPECT_TRUE(manager.waitFor("STOPPING=1", 1000));
}

TEST_F(BridgeE2e, MalformedConfigurationEndsWithStatusTwoAndOneLine)
{
    const std::vector<std::pair<std::function<void(Json::Value &)>, std::string>> cases = {
        {[](Json::Value &c) { c["broker"]["port"] = "x"; }, "broker.port: "},
        {[](Json::Value &c) { c["out"][0]["qos"] = 2; }, "out[0].qos: "},
        {[](Json::Value &c) { c["in"][1]["filter"] = "a/#/b"; }, "in[1].filter: "},
        {[](Json::Value &c) { c["hub"].removeMember("moduleId"); }, "hub.moduleId: "},
        {[](Json::Value &c) { c["brokr"] = 1; }, "brokr: "},
    };
    std::vector<std::pair<std::string, std::string>> texts;
    for (const auto &item : cases) {
        Json::Value c = config();
        item.first(c);
        texts.emplace_back(Json::writeString(Json::StreamWriterBuilder(), c), item.second);
    }
    // Hostile texts, never a signal: nesting that once aborted the bridge,
    // bytes that are not UTF-8 (the parser's tests hold more).
    const std::string file = "(file): " + dir.path() + "/bridge.json: ";
    const std::string good = Json::writeString(Json::StreamWriterBuilder(), config());
    const std::string body = good.substr(0, good.rfind('}'));
    texts.insert(texts.end(), {
        {body + ", \"x\": " + std::string(1000, '[') + std::string(1000, ']') + "}", file + "not valid JSON: nested"},
        {body + ", \"x\": \"\xff\"}", file + "not valid UTF-8 at byte "},
    });
    for (const auto &item : texts) {
        const std::string &expected = item.second;
        ASSERT_TRUE(startBridgeWith(item.first, false));
        EXPECT_EQ(2, finish(bridge, 5000)) << expected;
        const std::string out = bridgeOutput();
        EXPECT_EQ(0u, out.find("pellix-bridge: configuration: " + expected)) << out;
        EXPECT_EQ(out.size() - 1, out.find('\n')) << "one line: " << out;
    }
}

} // namespace
} // namespace bridgetest

namespace bridgetest {
namespace {

// Every key that cannot be used on a line of its own in one run; files the
// bridge would need, checked before anything connects.
TEST_F(BridgeE2e, EveryRefusalInOneRunAndTheFilesCheckedAtStart)
{
    Json::Value c = config();
    c["broker"]["port"] = "x";
    c["out"][0]["qos"] = 2;
    c.removeMember("prefix");
    ASSERT_TRUE(startBridge(c, false));
    EXPECT_EQ(2, finish(bridge, 5000));
    EXPECT_EQ("pellix-bridge: configuration: prefix: is missing\n"
              "pellix-bridge: configuration: broker.port: must be an integer from 1 to 65535\n"
              "pellix-bridge: configuration: out[0].qos: must be an integer from 0 to 1\n",
              bridgeOutput());

    c = config();
    c["broker"]["cafile"] = dir.path() + "/no-ca.pem";
    c["queue"]["file"] = dir.path() + "/gone/queue.bin";
    ASSERT_TRUE(startBridge(c, false));
    EXPECT_EQ(2, finish(bridge, 5000)) << "no endless retry on a file that is not there";
    EXPECT_EQ("pellix-bridge: configuration: broker.cafile: cannot read " + dir.path() +
                  "/no-ca.pem: No such file or directory\n"
                  "pellix-bridge: configuration: queue.file: its directory " + dir.path() +
                  "/gone cannot be used: No such file or directory\n",
              bridgeOutput());
}

// The hub's status as OpenMetrics text on a topic, at the interval given.
TEST_F(BridgeE2e, MetricsOnTheirTopic)
{
    Json::Value c = config();
    c["metrics"]["interval"] = 1;
    ASSERT_TRUE(startBridge(c));
    MqttProbe probe("probe");
    ASSERT_TRUE(probe.connect(brokerPort, "fleet/dev1/metrics"));
    ASSERT_TRUE(probe.waitForCount("fleet/dev1/metrics", 2));
    const std::string text = probe.payloadsOn("fleet/dev1/metrics").at(1);
    EXPECT_EQ(0u, text.find("# TYPE pellix info\n")) << text;
    EXPECT_NE(std::string::npos, text.find("name=\"pellix-bridge\"")) << text;
    EXPECT_EQ(text.size() - 6, text.rfind("# EOF\n")) << text;
}

} // namespace
} // namespace bridgetest
