// The load generator's own checks: its parsers cut exactly the messages a
// hub or broker sends, and a run delivers every message once and in order
// through the floor and through the real hub, keep-alives included.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "bench/Scenario.h"
#include "bench/Wire.h"
#include "tests/support/DaemonProcess.h"
#include "tests/support/TempDir.h"

namespace {

const unsigned char *bytes(const std::string &s)
{
    return reinterpret_cast<const unsigned char *>(s.data());
}

std::string pellixFrame(int dev, int src, int cmd, const std::string &payload)
{
    const size_t len = payload.size() + 6;
    std::string f = "<start>";
    f += static_cast<char>(len & 0xff);
    f += static_cast<char>(len >> 8);
    f += static_cast<char>(dev);
    f += static_cast<char>(src);
    f += static_cast<char>(cmd & 0xff);
    f += static_cast<char>(cmd >> 8);
    return f + payload + "<end>";
}

std::string asString(const bench::Body &b)
{
    return std::string(reinterpret_cast<const char *>(b.data), b.size);
}

} // namespace

TEST(BenchWire, PellixParserSplitsForwardsAndEventDeliveriesAndKeepsAPartialFrame)
{
    std::unique_ptr<bench::Wire> wire = bench::makeWire(bench::Target::Pellix, 1);
    const std::string forward = pellixFrame(0x11, 0x10, 0x42, "forwarded body");
    const std::string event = pellixFrame(0x11, 0xE1, 0x0005, std::string("\x64\x00", 2) + "event body");
    const std::string stream = forward + event + forward;

    std::vector<bench::Body> bodies;
    // The last frame is cut before its end marker: it waits for more bytes.
    const long used = wire->parse(bytes(stream), stream.size() - 3, bodies);
    EXPECT_EQ(used, static_cast<long>(forward.size() + event.size()));
    ASSERT_EQ(bodies.size(), 2u);
    EXPECT_EQ(asString(bodies[0]), "forwarded body");
    EXPECT_EQ(asString(bodies[1]), "event body");

    bodies.clear();
    const std::string garbage = "<stXrt>" + forward.substr(7);
    EXPECT_EQ(wire->parse(bytes(garbage), garbage.size(), bodies), -1);
}

TEST(BenchWire, MqttParserPassesOverPingResponsesAndReadsLongRemainingLengths)
{
    std::unique_ptr<bench::Wire> wire = bench::makeWire(bench::Target::Mqtt, 1);
    const std::string topic = "bench/m1";
    const std::string body(300, 'b'); // remaining length 310: two bytes
    std::string publish("\x30", 1);
    const size_t remaining = 2 + topic.size() + body.size();
    publish += static_cast<char>(0x80 | (remaining % 128));
    publish += static_cast<char>(remaining / 128);
    publish += static_cast<char>(0);
    publish += static_cast<char>(topic.size());
    publish += topic + body;
    const std::string stream = std::string("\xd0\x00", 2) + publish + publish.substr(0, 10);

    std::vector<bench::Body> bodies;
    EXPECT_EQ(wire->parse(bytes(stream), stream.size(), bodies), static_cast<long>(2 + publish.size()));
    ASSERT_EQ(bodies.size(), 1u);
    EXPECT_EQ(asString(bodies[0]), body);
}

TEST(BenchPercentile, PicksTheNearestRankAndIsZeroForNoValues)
{
    std::vector<int64_t> values;
    for (int v = 100; v >= 1; --v) {
        values.push_back(v);
    }
    EXPECT_EQ(bench::percentile(values, 0), 1);
    EXPECT_EQ(bench::percentile(values, 100), 100);
    EXPECT_EQ(bench::percentile(values, 99), 99);
    EXPECT_EQ(bench::percentile({}, 50), 0);
}

TEST(BenchRun, FloorFloodAndFanOutDeliverEveryMessageInOrder)
{
    std::unique_ptr<bench::Wire> wire = bench::makeWire(bench::Target::Floor, 0);
    bench::Plan flood;
    flood.routes = {{0, 1}};
    flood.messages = 3000;
    flood.window = 64;
    bench::Outcome out = bench::runPlan(*wire, flood, 0, nullptr);
    EXPECT_TRUE(out.ok) << out.error;
    EXPECT_EQ(out.delivered, 3000);
    EXPECT_EQ(out.latenciesNs.size(), 3000u);

    bench::Plan fan;
    fan.modules = 4;
    fan.fanOut = true;
    fan.messages = 200;
    out = bench::runPlan(*wire, fan, 0, nullptr);
    EXPECT_TRUE(out.ok) << out.error;
    EXPECT_EQ(out.delivered, 600);
}

TEST(BenchRun, ThroughTheHubKeepAlivesBetweenMessagesNeverCorruptTheStream)
{
    TempDir dir;
    e2e::DaemonProcess daemon(dir);
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    std::unique_ptr<bench::Wire> wire = bench::makeWire(bench::Target::Pellix, daemon.port());

    bench::Plan flood;
    flood.modules = 3;
    flood.routes = {{0, 1}, {1, 2}, {2, 0}};
    flood.messages = 2000;
    flood.bodySize = 100;
    flood.keepAliveMs = 0; // a heartbeat from every module before every send
    double cpu = 0;
    bench::Outcome out = bench::runPlan(*wire, flood, daemon.pid(), &cpu);
    EXPECT_TRUE(out.ok) << out.error;
    EXPECT_EQ(out.delivered, 2000);
    EXPECT_GE(cpu, 0);

    bench::Plan fan;
    fan.modules = 5;
    fan.fanOut = true;
    fan.messages = 300;
    fan.keepAliveMs = 0;
    out = bench::runPlan(*wire, fan, daemon.pid(), nullptr);
    EXPECT_TRUE(out.ok) << out.error;
    EXPECT_EQ(out.delivered, 1200);
    EXPECT_EQ(daemon.stop(SIGTERM), 255) << daemon.describeEnd();
    // The hub saw the heartbeats: at least one per module and send.
    const std::string trace = daemon.stdoutText();
    size_t heartbeats = 0;
    for (size_t at = trace.find("heart cmd from dev"); at != std::string::npos;
         at = trace.find("heart cmd from dev", at + 1)) {
        ++heartbeats;
    }
    EXPECT_GE(heartbeats, 3u * 2000u + 5u * 300u);
}

namespace {

// The floor, but every 7th message and the last are never written.
class LossyFloor : public bench::Wire {
public:
    explicit LossyFloor(long total) : last(total), inner(bench::makeWire(bench::Target::Floor, 0)) {}
    bool open(int m, const std::vector<std::pair<int, int>> &r, bool f) override { return inner->open(m, r, f); }
    void close() override { inner->close(); }
    int sendFd(int s, int r) const override { return inner->sendFd(s, r); }
    void encode(std::string &out, int s, int r, const unsigned char *body, size_t size) override
    {
        if (++calls % 7 != 0 && calls != last) {
            inner->encode(out, s, r, body, size);
        }
    }
    void encodePublish(std::string &, int, const unsigned char *, size_t) override {}
    std::vector<std::pair<int, int>> receiveFds() const override { return inner->receiveFds(); }
    long parse(const unsigned char *d, size_t n, std::vector<bench::Body> &out) override
    {
        return inner->parse(d, n, out);
    }

private:
    long calls = 0;
    long last;
    std::unique_ptr<bench::Wire> inner;
};

} // namespace

TEST(BenchRun, ToleratedLossesAreCountedWithoutStallingTheWindowAndOtherwiseFailTheRun)
{
    bench::Plan plan;
    plan.routes = {{0, 1}};
    plan.messages = 701;
    plan.window = 8; // far fewer than the losses: they must open it
    plan.stallTimeoutMs = 300;
    plan.lossTolerated = true;
    LossyFloor lossy(plan.messages);
    bench::Outcome out = bench::runPlan(lossy, plan, 0, nullptr);
    EXPECT_TRUE(out.ok) << out.error;
    EXPECT_EQ(out.sent, 701);
    EXPECT_EQ(out.delivered, 701 - 100 - 1); // 7, 14 .. 700 and 701

    plan.lossTolerated = false;
    LossyFloor strict(plan.messages);
    out = bench::runPlan(strict, plan, 0, nullptr);
    EXPECT_FALSE(out.ok);
    EXPECT_NE(out.error.find("lost or out of order"), std::string::npos) << out.error;
}
