// The hub's status and monitor through the SDK: the shared codec of parts
// and records, requestStatus putting a reply together from parts mixed with
// junk while other traffic still reaches its callbacks, a hub that never
// answers, the hub's refusals (a monitor too many, a status too large for a
// datagram; against the real daemon in tests/cli), and both commands against
// the real daemon.

#include <pellix/CUdpSender.h>

#include "client/ClientFrames.h"
#include "hub/MonitorRecord.h"
#include "hub/PacketFrame.h"
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

TEST(ClientMonitorCodec, RecordsAndPartsDecodeWithinTheirBounds)
{
    std::string frame;
    MonitorRecord::appendFrame(frame, 0x30, FORWARDED, 0x0102030405060708ull, 0x20, 0x21, 0xABCD, "hello", 5);
    const std::vector<e2e::CutFrame> cut = e2e::cutFrames(frame);
    ASSERT_EQ(1u, cut.size());
    EXPECT_EQ(CMD_MONITOR, cut[0].cmd);
    const std::string payload = frame.substr(PacketFrame::kPayloadOffset, frame.size() - PacketFrame::kMinFrameSize);
    const unsigned char *p = reinterpret_cast<const unsigned char *>(payload.data());
    MonitorRecord r;
    ASSERT_TRUE(MonitorRecord::decode(p, static_cast<int>(payload.size()), r));
    EXPECT_EQ(FORWARDED, r.kind);
    EXPECT_EQ(0x0102030405060708ull, r.timeUs);
    EXPECT_EQ(0x20, r.devId);
    EXPECT_EQ(0x21, r.srcId);
    EXPECT_EQ(0xABCD, r.cmd);
    EXPECT_EQ(5, r.length);
    EXPECT_EQ("hello", std::string(reinterpret_cast<const char *>(r.payload), r.payloadSize));
    EXPECT_FALSE(MonitorRecord::decode(p, MonitorRecord::kHeaderSize - 1, r));
    uint64_t lost = 0;
    EXPECT_FALSE(MonitorRecord::lostCount(r, lost)); // 5 bytes carried, not 8
    EXPECT_STREQ("lost", MonitorRecord::kindName(LOST));
    EXPECT_STREQ("refused", MonitorRecord::kindName(REFUSED));
    EXPECT_EQ(nullptr, MonitorRecord::kindName(8));

    const struct {
        std::string payload;
        bool ok;
    } parts[] = {
        {bytes({1, 0, 2, 0}) + "ab", true}, {bytes({2, 0, 2, 0}), true},  {bytes({1, 0, 2}), false},
        {bytes({0, 0, 2, 0}), false},       {bytes({3, 0, 2, 0}), false}, {bytes({1, 0, 0, 0}), false},
    };
    for (const auto &c : parts) {
        StatusPart decoded;
        EXPECT_EQ(c.ok, StatusPart::decode(reinterpret_cast<const unsigned char *>(c.payload.data()),
                                           static_cast<int>(c.payload.size()), decoded))
            << e2e::hex(c.payload);
    }
    std::string frames;
    ASSERT_TRUE(StatusPart::appendFrames(frames, 0x30, std::string(2500, 'x'), 1024));
    EXPECT_EQ(3u, e2e::cutFrames(frames).size());
    EXPECT_FALSE(StatusPart::appendFrames(frames, 0x30, std::string(70000, 'x'), 1)); // more than 65535 parts
}

TEST(ClientStatusCollector, JunkIsIgnoredAndTheSizeIsBounded)
{
    StatusCollector collector(10);
    auto add = [&](int number, int count, const std::string &text) {
        const std::string payload = bytes({number, 0, count, 0}) + text;
        return collector.add(reinterpret_cast<const unsigned char *>(payload.data()), static_cast<int>(payload.size()));
    };
    EXPECT_EQ(StatusCollector::Ignored, add(2, 2, "late"));
    EXPECT_EQ(StatusCollector::Partial, add(1, 2, "old"));
    EXPECT_EQ(StatusCollector::Partial, add(1, 3, "{\"a\""));  // a part 1 starts over
    EXPECT_EQ(StatusCollector::Ignored, add(3, 3, "}"));       // out of order
    EXPECT_EQ(StatusCollector::Ignored, add(2, 2, ":1"));      // another count
    EXPECT_EQ(StatusCollector::Partial, add(2, 3, ":1"));
    EXPECT_EQ(StatusCollector::Complete, add(3, 3, "}"));
    EXPECT_EQ("{\"a\":1}", collector.text());
    EXPECT_EQ(StatusCollector::TooLarge, add(1, 1, std::string(11, 'x')));
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

TEST(ClientStatusCollector, OnlyTheHubsNeedBytesDocumentIsARefusal)
{
    const struct {
        const char *text;
        bool refusal;
        unsigned long long bytes;
    } cases[] = {
        {"{\"needBytes\":9000}", true, 9000},
        {" {\r\n\"needBytes\" :\t12 }\n", true, 12},
        {"{\"needBytes\":9999999999999999999}", false, 0}, // more digits than are ever meant
        {"{\"needBytes\":9000,\"version\":\"x\"}", false, 0},
        {"{\"needBytes\":-1}", false, 0},
        {"{\"needBytes\":1e3}", false, 0},
        {"{\"needBytes\":\"9\"}", false, 0},
        {"{\"needBytes\":9000", false, 0},
        {"{\"needBytes\":9000}}", false, 0},
        {"[\"needBytes\",9000]", false, 0},
    };
    for (const auto &c : cases) {
        unsigned long long bytes = 0;
        EXPECT_EQ(c.refusal, pellix::frames::statusNeedBytes(c.text, bytes)) << c.text;
        EXPECT_EQ(c.bytes, bytes) << c.text;
    }
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
