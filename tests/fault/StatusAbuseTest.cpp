// The status and the monitor turned against the hub from outside: a status
// datagram as a reflector, requests in a loop, monitors by the dozen that
// never read, and a monitor switched off with a full queue.

#include <json/json.h>

#include "proto/MonitorRecord.h"
#include "proto/PacketFrame.h"
#include "tests/fault/FaultFixture.h"
#include "tests/support/StatusRequest.h"

namespace fault {
namespace {

class FaultStatusAbuse : public FaultFixture {
protected:
    bool startWith(const std::string &keys)
    {
        const uint16_t port = pickFreePort();
        writeFile(daemon.configPath(),
                  "{\"tcpListenPort\": " + std::to_string(port) + (keys.empty() ? "" : ", " + keys) + "}");
        return daemon.startExpecting(port);
    }
    // The status as a stranger over TCP sees it.
    Json::Value status()
    {
        ModuleClient asker = ModuleClient::tcp(daemon.port());
        return requestStatus(asker);
    }
    // The part-1 frames (one per answer) in what arrived, and the bytes.
    static int answers(const std::string &stream)
    {
        int count = 0;
        for (const CutFrame &frame : cutFrames(stream)) {
            count += frame.cmd == CMD_STATUS && frame.bytes.size() > 14 && frame.bytes[13] == 1 ? 1 : 0;
        }
        return count;
    }
    static const Json::Value *connectionNamed(const Json::Value &doc, const std::string &name)
    {
        for (const Json::Value &connection : doc["connections"]) {
            if (connection["name"].asString() == name) {
                return &connection;
            }
        }
        return nullptr;
    }
};

TEST_F(FaultStatusAbuse, DatagramAnswersNeverOutweighThreeTimesTheRequestAndArePaced)
{
    ASSERT_TRUE(startWith("")) << daemon.lastError();
    ModuleClient udp = ModuleClient::udp(daemon.port());
    // Unpadded: only the size a request needs, within 3 x 18 bytes.
    const std::string bare = makeFrame(kHubId, 0x7E, CMD_STATUS);
    ASSERT_TRUE(udp.send(bare));
    const std::string small = udp.readFor(300);
    EXPECT_LE(small.size(), 3 * bare.size());
    ASSERT_EQ(1u, cutFrames(small).size()) << hex(small);
    EXPECT_NE(std::string::npos, small.find("{\"needBytes\":")) << small;
    // Padded to what the hub reads of a datagram: the whole document.
    size_t largest = 0;
    const Json::Value doc = requestStatus(udp, &largest, nullptr, 2048);
    EXPECT_TRUE(doc["settings"].isObject()) << doc;
    EXPECT_LE(largest, 1024u);

    // A sender that asks in a loop gets its burst and then nothing: two of
    // its four are spent above.
    const std::string padded = makeFrame(kHubId, 0x7E, CMD_STATUS, std::string(2030, '\0'));
    for (int i = 0; i < 12; ++i) {
        ASSERT_TRUE(udp.send(padded));
    }
    const std::string burst = udp.readFor(400);
    EXPECT_LE(answers(burst), 3) << burst.size();
    EXPECT_LE(burst.size(), 3 * 3 * padded.size());
    EXPECT_GT(status()["datagrams"]["dropped"]["refused"].asUInt64(), 5u);
    expectStopsCleanly();
}

TEST_F(FaultStatusAbuse, StatusInALoopIsAnsweredAtItsRateAndTheOthersAreServed)
{
    ASSERT_TRUE(startWith("\"servePauseUs\": 0")) << daemon.lastError();
    ModuleClient a = tcpModule(0x10, "a");
    ModuleClient b = tcpModule(0x11, "b");
    ModuleClient looper = ModuleClient::tcp(daemon.port());
    std::string request;
    for (int i = 0; i < 40; ++i) {
        request += makeFrame(kHubId, 0x7E, CMD_STATUS);
    }
    ASSERT_TRUE(looper.send(request));
    // Its burst at once; the rest merge into one late answer.
    const std::string first = looper.readFor(200);
    EXPECT_EQ(3, answers(first));
    const std::string later = looper.readFor(1000);
    EXPECT_EQ(1, answers(later));
    // Meanwhile the modules go on as ever.
    const std::string frame = makeFrame(0x11, 0x10, 0x42, "during");
    ASSERT_TRUE(a.send(frame));
    EXPECT_EQ(hex(frame), hex(b.readExactly(frame.size())));
    EXPECT_TRUE(looper.readFor(600).empty());
    expectStopsCleanly();
}

TEST_F(FaultStatusAbuse, MonitorsAreCappedBoundedAndDropTheirQueueWhenSwitchedOff)
{
    ASSERT_TRUE(startWith("\"servePauseUs\": 0")) << daemon.lastError();
    const std::string on = makeFrame(kHubId, 0x7E, CMD_MONITOR, bytes({1}));
    // Over the Unix socket the kernel holds little for a reader that stops
    // (TCP on loopback may hold megabytes): the rest waits in the hub.
    std::vector<ModuleClient> watchers;
    for (int i = 0; i < 4; ++i) {
        watchers.push_back(unixModule(static_cast<uint8_t>(0x30 + i), "watcher" + std::to_string(i)));
        ASSERT_TRUE(watchers.back().send(makeFrame(kHubId, static_cast<uint8_t>(0x30 + i), CMD_MONITOR, bytes({1}))));
        ASSERT_EQ(33u, watchers.back().readExactly(33).size());
    }
    // The fifth is refused, in one record that says why.
    ModuleClient fifth = tcpModule(0x40, "fifth");
    ASSERT_TRUE(fifth.send(makeFrame(kHubId, 0x40, CMD_MONITOR, bytes({1}))));
    const std::vector<CutFrame> refusal = cutFrames(fifth.readFor(300));
    ASSERT_EQ(1u, refusal.size());
    MonitorRecord record;
    ASSERT_TRUE(MonitorRecord::decode(reinterpret_cast<const unsigned char *>(refusal[0].bytes.data()) + 13,
                                      static_cast<int>(refusal[0].bytes.size()) - 18, record));
    EXPECT_EQ(pellix::wire::kMonitorRefused, record.kind);
    EXPECT_EQ("4 monitors already", std::string(reinterpret_cast<const char *>(record.payload), record.payloadSize));

    // Copies of a flood to nobody fill the monitors that never read; each
    // holds at most its bound, and the flooder is not held up.
    ModuleClient flooder = tcpModule(0x50, "flooder");
    const std::string big = makeFrame(0x77, 0x50, 0x43, std::string(60000, 'x'));
    for (int i = 0; i < 120; ++i) {
        ASSERT_TRUE(flooder.send(big));
    }
    ASSERT_TRUE(flooder.ping());
    Json::Value doc = status();
    EXPECT_EQ(4u, doc["monitors"].asUInt());
    for (int i = 0; i < 4; ++i) {
        const Json::Value *watcher = connectionNamed(doc, "watcher" + std::to_string(i));
        ASSERT_NE(nullptr, watcher);
        EXPECT_LE((*watcher)["queuedBytes"].asUInt64(), 1u << 20);
        EXPECT_GT((*watcher)["queuedBytes"].asUInt64(), 1u << 19);
    }

    // Switched off and still not reading: what waited for it is dropped,
    // and its place is free for another. (The document is built at most
    // every 100 ms: the next one shows the change.)
    ASSERT_TRUE(watchers[0].send(makeFrame(kHubId, 0x30, CMD_MONITOR, bytes({0}))));
    ASSERT_TRUE(flooder.ping());
    std::this_thread::sleep_for(std::chrono::milliseconds(150));
    doc = status();
    EXPECT_EQ(3u, doc["monitors"].asUInt());
    EXPECT_LE((*connectionNamed(doc, "watcher0"))["queuedBytes"].asUInt64(), 70000u);
    ASSERT_TRUE(fifth.send(on));
    EXPECT_EQ(33u, fifth.readExactly(33).size());
    expectStopsCleanly();
}

} // namespace
} // namespace fault
