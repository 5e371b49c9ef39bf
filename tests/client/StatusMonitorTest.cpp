// The hub's status and monitor through the SDK: requestStatus putting a
// reply together from parts mixed with
// junk while other traffic still reaches its callbacks, a hub that never
// answers, the hub's refusals (a monitor too many, a status too large for a
// datagram; against the real daemon in tests/cli), and both commands against
// the real daemon.

#include <pellix/CUdpSender.h>

#include "client/ClientFrames.h"
#include "proto/MonitorRecord.h"
#include "proto/StatusPart.h"
#include "proto/StatusCollector.h"
#include "proto/PacketFrame.h"
#include "tests/client/ClientFixture.h"
#include "tests/client/FakeHub.h"

namespace sdk {
namespace {

using e2e::bytes;
using e2e::makeFrame;

std::string part(int number, int count, const std::string &text)
{
    std::string frame;
    StatusPart::appendFrame(frame, 0x30, number, count, text.data(), text.size());
    return frame;
}

pellix::ClientOptions fakeHubOptions(uint16_t port)
{
    pellix::CPellixClient::setTraceLevel(-1);
    pellix::ClientOptions options;
    options.port = port;
    options.moduleId = 0x30;
    options.registerModule = false;
    options.heartbeatMs = 0;
    return options;
}

TEST(ClientFakeHub, PartsAmongJunkWhileEventsStillArrive)
{
    const std::string document = "{\"version\":\"x\",\"padding\":\"" + std::string(3000, 'p') + "\"}";
    std::string answer = e2e::eventDelivery(0x30, bytes({9, 0}) + "during") + part(1, 2, "stale") +
                         makeFrame(0x30, 0x01, CMD_STATUS, bytes({1, 0})) + part(3, 2, "bad") + part(0, 2, "bad");
    answer += part(1, 3, document.substr(0, 1024)) + part(2, 3, document.substr(1024, 1024)) +
              part(2, 3, "repeated") + part(3, 3, document.substr(2048));
    fake::FakeHub hub(answer);
    ASSERT_TRUE(hub.ok());
    pellix::CPellixClient client(fakeHubOptions(hub.port()));
    Seen seen;
    seen.attach(client);
    ASSERT_TRUE(client.connect());
    std::string json;
    const pellix::Result r = client.requestStatus(json);
    ASSERT_TRUE(r) << r.message();
    EXPECT_EQ(document, json);
    ASSERT_EQ(1u, seen.events.size());
    EXPECT_EQ("during", seen.events[0].data);
    EXPECT_TRUE(seen.frames.empty()) << "status parts must not reach the frame callback";
}

TEST(ClientFakeHub, SilentHubGivesNoReplyInTime)
{
    fake::FakeHub hub;
    ASSERT_TRUE(hub.ok());
    pellix::CPellixClient client(fakeHubOptions(hub.port()));
    ASSERT_TRUE(client.connect());
    std::string json = "untouched";
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(pellix::Status::NoReply, client.requestStatus(json, 300).status());
    EXPECT_EQ(pellix::Status::NoReply, client.startMonitor(300).status());
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(2));
    EXPECT_EQ("untouched", json);

    pellix::CUdpSender udp;
    ASSERT_TRUE(udp.open("127.0.0.1", hub.port()));
    EXPECT_EQ(pellix::Status::NoReply, udp.requestStatus(json, 300).status());
}

TEST(ClientFakeHub, DatagramStatusRequestIsPaddedAndTooLargeIsRefused)
{
    fake::FakeHub hub(part(1, 1, "{\"needBytes\":9000}"));
    ASSERT_TRUE(hub.ok());
    pellix::CUdpSender udp;
    ASSERT_TRUE(udp.open("127.0.0.1", hub.port()));
    std::string json = "untouched";
    const pellix::Result r = udp.requestStatus(json, 5000);
    EXPECT_EQ(pellix::Status::Refused, r.status());
    EXPECT_EQ("the hub's status (needs a request of 9000 bytes) does not fit an answer to a datagram; ask over TCP or "
              "the Unix socket",
              r.message());
    EXPECT_EQ("untouched", json);
    EXPECT_EQ(std::vector<size_t>{pellix::kUdpStatusRequestBytes}, hub.datagramSizes());
    EXPECT_STREQ("refused", pellix::statusText(pellix::Status::Refused));
}

TEST(ClientFakeHub, MonitorRefusalEndsTheWaitWithTheReason)
{
    fake::FakeHub hub(fake::monitorRefusal(0x30, "8 monitors\x1b[2J already"));
    ASSERT_TRUE(hub.ok());
    pellix::CPellixClient client(fakeHubOptions(hub.port()));
    std::vector<int> kinds;
    client.setMonitorCallback([&](const pellix::MonitorView &r) { kinds.push_back(r.kind); });
    ASSERT_TRUE(client.connect());
    const auto start = std::chrono::steady_clock::now();
    const pellix::Result r = client.startMonitor(10000);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5)) << "waited for the time-out";
    EXPECT_EQ(pellix::Status::Refused, r.status());
    EXPECT_EQ("the hub at 127.0.0.1:" + std::to_string(hub.port()) + " refused the monitor: 8 monitors.[2J already",
              r.message());
    EXPECT_EQ(std::vector<int>{pellix::kMonitorRefused}, kinds);
}

class ClientStatusMonitor : public ClientFixture {
protected:
    void SetUp() override { ASSERT_TRUE(daemon.start()) << daemon.lastError(); }
};

TEST_F(ClientStatusMonitor, StatusAndMonitorFromTheRealHub)
{
    pellix::CPellixClient client(tcpOptions(0x31, "sdk-watcher"));
    std::vector<std::string> records;
    client.setMonitorCallback([&](const pellix::MonitorView &r) {
        records.push_back(std::to_string(r.kind) + " " + std::to_string(r.srcId) + ">" + std::to_string(r.devId) +
                          " " + std::to_string(r.cmd) + " " + std::to_string(r.length) + " " +
                          std::string(reinterpret_cast<const char *>(r.payload), r.payloadSize));
    });
    ASSERT_TRUE(client.connect());
    std::string json;
    pellix::Result r = client.requestStatus(json);
    ASSERT_TRUE(r) << r.message();
    EXPECT_NE(std::string::npos, json.find("\"sdk-watcher\"")) << json;

    pellix::CUdpSender udp;
    ASSERT_TRUE(udp.open("127.0.0.1", daemon.port()));
    r = udp.requestStatus(json);
    ASSERT_TRUE(r) << r.message();
    EXPECT_NE(std::string::npos, json.find("\"connections\"")) << json;

    r = client.startMonitor();
    ASSERT_TRUE(r) << r.message();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ("0 0>0 0 0 ", records[0]);
    e2e::ModuleClient raw = rawModule(0x20, "raw");
    ASSERT_TRUE(raw.send(makeFrame(0x31, 0x20, 0x0042, "hi")));
    ASSERT_TRUE(pollUntil(client, [&] { return records.back() == "1 32>49 66 2 hi"; }));
    client.stopMonitor();
    EXPECT_EQ(0u, client.stats().malformedFrames);
}

} // namespace
} // namespace sdk
