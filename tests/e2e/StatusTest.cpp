// The status and monitor commands against the real daemon: the document
// over every transport, cut into parts, and the monitor's copies, including
// what a monitor that stops reading loses.

#include <unistd.h>

#include <json/json.h>

#include "proto/MonitorRecord.h"
#include "proto/PacketFrame.h"
#include "tests/e2e/E2eFixture.h"
#include "tests/support/StatusRequest.h"

namespace e2e {
namespace {

const uint16_t kCmdMonitor = CMD_MONITOR;

std::vector<MonitorRecord> records(const std::string &stream, std::vector<std::string> &storage)
{
    std::vector<MonitorRecord> out;
    for (const CutFrame &frame : cutFrames(stream)) {
        EXPECT_EQ(kCmdMonitor, frame.cmd);
        storage.push_back(frame.bytes.substr(13, frame.bytes.size() - 18));
    }
    for (const std::string &payload : storage) {
        MonitorRecord record;
        EXPECT_TRUE(MonitorRecord::decode(reinterpret_cast<const unsigned char *>(payload.data()),
                                          static_cast<int>(payload.size()), record));
        out.push_back(record);
    }
    return out;
}

class E2eStatus : public E2eFixture {};

TEST_F(E2eStatus, DocumentOverEveryTransportNamesEachConnectionAndComesInParts)
{
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    // Enough long names that the document needs more than one part.
    std::vector<ModuleClient> crowd;
    for (int i = 0; i < 48; ++i) {
        crowd.push_back(tcpModule(static_cast<uint8_t>(0x40 + i), "crowd-" + std::string(300, 'n') + "\x1b[2J"));
    }
    ModuleClient local = unixModule(0x21, "local");
    ASSERT_TRUE(local.subscribe({3, 9}));
    ASSERT_TRUE(local.send(makeFrame(0x40, 0x21, 0x42, "abc")));
    ASSERT_EQ(21u, crowd[0].readExactly(21).size());
    ASSERT_TRUE(local.send("<start>\x01<end>"));
    // A report is kept with its connection; one that is no object leaves it be.
    ASSERT_TRUE(local.send(makeFrame(kHubId, 0x21, CMD_REPORT, "{\"bridge\": {\"sent\": 12}}") +
                           makeFrame(kHubId, 0x21, CMD_REPORT, "[13]")));

    size_t largest = 0;
    int parts = 0;
    const Json::Value doc = requestStatus(local, &largest, &parts);
    ASSERT_TRUE(doc.isObject());
    EXPECT_GE(parts, 2);
    EXPECT_LE(largest, 16384u);
    EXPECT_EQ(49u, doc["connections"].size());
    EXPECT_EQ(2u, doc["subscriptionPairs"].asUInt());
    EXPECT_GT(doc["memory"]["residentBytes"].asUInt64(), 0u);
    EXPECT_GT(doc["descriptors"]["inUse"].asInt(), 49);
    EXPECT_EQ("any", doc["settings"]["hubCommandsFrom"].asString());

    const Json::Value *unix = connectionWithId(doc, 0x21);
    ASSERT_NE(nullptr, unix);
    EXPECT_EQ("unix", (*unix)["transport"].asString());
    EXPECT_EQ(static_cast<int>(getpid()), (*unix)["pid"].asInt());
    EXPECT_EQ(2, (*unix)["subscriptions"].asInt());
    // At least the registration, subscription, frame, short one and request.
    EXPECT_GE((*unix)["framesIn"].asUInt64(), 5u);
    EXPECT_EQ(1u, (*unix)["dropped"]["short"].asUInt64());
    EXPECT_EQ(12, (*unix)["report"]["bridge"]["sent"].asInt());
    const Json::Value *tcp = connectionWithId(doc, 0x40);
    ASSERT_NE(nullptr, tcp);
    EXPECT_EQ("tcp", (*tcp)["transport"].asString());
    EXPECT_EQ(0u, (*tcp)["peer"].asString().rfind("127.0.0.1:", 0));
    EXPECT_EQ(2u, (*tcp)["framesOut"].asUInt64()); // the reply and the forwarded frame
    const std::string name = (*tcp)["name"].asString();
    EXPECT_EQ(std::string::npos, name.find('\x1b')) << name;
    EXPECT_LT(name.size(), 100u) << name;
    EXPECT_FALSE(tcp->isMember("report"));

    bool eventNine = false;
    for (const Json::Value &event : doc["events"]) {
        eventNine = eventNine || (event["event"].asInt() == 9 && event["subscribers"][0].asInt() == 0x21);
    }
    EXPECT_TRUE(eventNine);

    // By datagram the document is too large for any request to bring back:
    // the answer says how large one would have to be. A report by datagram
    // is refused and leaves the one kept.
    ModuleClient udp = ModuleClient::udp(daemon.port());
    ASSERT_TRUE(udp.send(makeFrame(kHubId, 0x21, CMD_REPORT, "{\"bridge\": 0}")));
    const Json::Value byDatagram = requestStatus(udp, nullptr, nullptr, 2048);
    EXPECT_GT(byDatagram["needBytes"].asUInt(), 2048u) << byDatagram;
    // Over TCP from a connection that never registered, once the document
    // built for the datagram (at most every 100 ms) has made way.
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    ModuleClient stranger = ModuleClient::tcp(daemon.port());
    const Json::Value byStranger = requestStatus(stranger);
    EXPECT_EQ(50u, byStranger["connections"].size());
    EXPECT_GE(byStranger["datagrams"]["framesIn"].asUInt64(), 2u);
    EXPECT_EQ(12, (*connectionWithId(byStranger, 0x21))["report"]["bridge"]["sent"].asInt());
    expectStopsCleanly();
}

TEST_F(E2eStatus, MonitorCopiesEveryRoutedFrameAndCountsWhatItCouldNotKeep)
{
    // Without the pause per served read the flood below takes a second, not ten.
    const uint16_t port = pickFreePort();
    writeFile(daemon.configPath(), "{\"tcpListenPort\": " + std::to_string(port) + ", \"servePauseUs\": 0}");
    ASSERT_TRUE(daemon.startExpecting(port)) << daemon.lastError();
    ModuleClient watcher = tcpModule(0x30, "watcher");
    ModuleClient a = tcpModule(0x31, "a");
    ModuleClient b = tcpModule(0x32, "b");
    ASSERT_TRUE(watcher.send(makeFrame(kHubId, 0x30, kCmdMonitor, bytes({1}))));
    std::vector<std::string> storage;
    std::vector<MonitorRecord> seen = records(watcher.readExactly(33), storage);
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(pellix::wire::kMonitorOn, seen[0].kind);

    const std::string publication = bytes({7, 0}) + "data";
    ASSERT_TRUE(a.send(makeFrame(0x32, 0x31, 0x1234, "to b") + makeFrame(kEventMgrId, 0x31, kCmdPublishEvent, publication) +
                       makeFrame(0x77, 0x31, 0x42, "nobody")));
    b.close();
    const struct {
        int kind, dev, src, cmd;
        std::string payload;
    } expected[] = {
        {pellix::wire::kMonitorForwarded, 0x32, 0x31, 0x1234, "to b"},
        {pellix::wire::kMonitorPublished, kEventMgrId, 0x31, kCmdPublishEvent, publication},
        {pellix::wire::kMonitorDropped, 0x77, 0x31, 0x42, "nobody"},
        {pellix::wire::kMonitorPublished, kEventMgrId, kHubId, kCmdPublishEvent, bytes({0, 0, 0x32})}, // b's departure
    };
    std::string stream;
    for (int waited = 0; cutFrames(stream).size() < 4 && waited < kReplyTimeoutMs; waited += 50) {
        stream += watcher.readFor(50);
    }
    storage.clear();
    seen = records(stream, storage);
    ASSERT_EQ(4u, seen.size());
    for (size_t i = 0; i < seen.size(); ++i) {
        EXPECT_EQ(expected[i].kind, seen[i].kind) << i;
        EXPECT_EQ(expected[i].dev, seen[i].devId) << i;
        EXPECT_EQ(expected[i].src, seen[i].srcId) << i;
        EXPECT_EQ(expected[i].cmd, seen[i].cmd) << i;
        EXPECT_EQ(static_cast<int>(expected[i].payload.size()), seen[i].length) << i;
        EXPECT_EQ(hex(expected[i].payload),
                  hex(std::string(reinterpret_cast<const char *>(seen[i].payload), seen[i].payloadSize)))
            << i;
        EXPECT_GT(seen[i].timeUs, 1700000000ull * 1000000);
    }

    // The watcher stops reading while large frames flood past: the hub goes
    // on, and once the watcher reads again the next copy comes after a count
    // of those lost, so that every frame is accounted for.
    const int kFlood = 300;
    const std::string big(60000, 'x');
    for (int i = 0; i < kFlood; ++i) {
        ASSERT_TRUE(a.send(makeFrame(0x78, 0x31, 0x43, big)));
    }
    ASSERT_TRUE(a.ping()); // the hub is not held up by the watcher
    stream.clear();
    std::string chunk;
    while (!(chunk = watcher.readFor(300)).empty()) {
        stream += chunk;
    }
    ASSERT_TRUE(a.send(makeFrame(0x79, 0x31, 0x44)));
    stream += watcher.readFor(300);
    storage.clear();
    seen = records(stream, storage);
    uint64_t copies = 0;
    uint64_t lost = 0;
    for (const MonitorRecord &record : seen) {
        if (record.kind == pellix::wire::kMonitorLost) {
            uint64_t count = 0;
            EXPECT_TRUE(MonitorRecord::lostCount(record, count));
            lost += count;
        } else if (record.cmd == 0x43) {
            ++copies;
        }
    }
    EXPECT_GT(lost, 0u);
    EXPECT_EQ(static_cast<uint64_t>(kFlood), copies + lost);
    ASSERT_FALSE(seen.empty());
    EXPECT_EQ(0x44, seen.back().cmd);

    // Off again: the command itself is the last copy, and the status no
    // longer counts a monitor.
    ASSERT_TRUE(watcher.send(makeFrame(kHubId, 0x30, kCmdMonitor, bytes({0}))));
    ASSERT_TRUE(a.ping());
    ASSERT_TRUE(a.send(makeFrame(0x79, 0x31, 0x45)));
    storage.clear();
    seen = records(watcher.readFor(200), storage);
    ASSERT_EQ(1u, seen.size());
    EXPECT_EQ(pellix::wire::kMonitorHubCommand, seen[0].kind);
    EXPECT_EQ(kCmdMonitor, seen[0].cmd);
    EXPECT_EQ(0u, requestStatus(watcher)["monitors"].asUInt());
    expectStopsCleanly();
}

} // namespace
} // namespace e2e
