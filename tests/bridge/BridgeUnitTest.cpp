// The bridge's parts on their own: configuration, topics, backoff, the
// outbound queue and its file, the echo filter.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>

#include <pellix/PellixTypes.h>

#include "bridge/Backoff.h"
#include "bridge/BridgeConfig.h"
#include "bridge/EchoFilter.h"
#include "bridge/OutboundQueue.h"
#include "bridge/QueueFile.h"
#include "bridge/TopicRules.h"
#include "tests/support/TempDir.h"

namespace bridge {
namespace {

const std::string kGood = R"({
  // comments are allowed
  "broker": {"host": "broker.example", "port": 8883, "clientId": "dev1", "keepalive": 20, "mqttVersion": 4,
             "username": "u", "password": "p", "cafile": "/ca.pem", "insecure": true},
  "hub": {"unixPath": "/tmp/qm_sock", "moduleId": "0x50", "name": "br"},
  "prefix": "fleet/dev1", "stateEvent": 900,
  "queue": {"maxMessages": 10, "maxBytes": 4096, "file": "/var/q"},
  "out": [{"events": [3, "10-12", 11], "topic": "{prefix}/e/{event}", "qos": 1, "retain": true}],
  "in": [{"filter": "{prefix}/cmd/#", "module": "0x30", "command": 66},
         {"filter": "+/x", "event": 7, "qos": 1}]
})";

std::string repeated(const std::string &text, size_t times)
{
    std::string out;
    for (size_t i = 0; i < times; ++i) {
        out += text;
    }
    return out;
}

std::string replaced(const std::string &from, const std::string &to)
{
    std::string text = kGood;
    const size_t at = text.find(from);
    EXPECT_NE(std::string::npos, at) << from;
    return at == std::string::npos ? text : text.replace(at, from.size(), to);
}

TEST(BridgeConfigTest, ReadsEveryKey)
{
    BridgeConfig c;
    std::string error;
    ASSERT_TRUE(BridgeConfig::parse(kGood, c, error)) << error;
    EXPECT_EQ("broker.example", c.broker.host);
    EXPECT_EQ(8883, c.broker.port);
    EXPECT_EQ(4, c.broker.mqttVersion);
    EXPECT_TRUE(c.broker.hasPassword && c.broker.insecure);
    EXPECT_TRUE(c.hub.useUnix);
    EXPECT_EQ(0x50, c.hub.moduleId);
    EXPECT_EQ(900, c.stateEvent);
    EXPECT_EQ(10u, c.queue.maxMessages);
    ASSERT_EQ(1u, c.out.size());
    EXPECT_EQ((std::vector<int>{3, 10, 11, 12}), c.out[0].events);
    EXPECT_EQ("fleet/dev1/e/{event}", c.out[0].topic);
    ASSERT_EQ(2u, c.in.size());
    EXPECT_EQ("fleet/dev1/cmd/#", c.in[0].filter);
    EXPECT_FALSE(c.in[0].toEvent);
    EXPECT_EQ(0x30, c.in[0].module);
    EXPECT_TRUE(c.in[1].toEvent);
    EXPECT_EQ("fleet/dev1/bridge/state", c.stateTopic());
}

TEST(BridgeConfigTest, NamesTheKeyThatCannotBeUsed)
{
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"{", "(file): not valid JSON"},
        {"[]", "(file): must hold one JSON object"},
        {replaced("\"port\": 8883", "\"port\": 70000"), "broker.port: "},
        {replaced("\"clientId\": \"dev1\", ", ""), "broker.clientId: is missing"},
        {replaced("\"mqttVersion\": 4", "\"mqttVersion\": 3"), "broker.mqttVersion: "},
        {replaced("\"username\": \"u\", ", ""), "broker.password: needs broker.username"},
        {replaced("\"cafile\": \"/ca.pem\", ", ""), "broker.cafile: "},
        {replaced("\"moduleId\": \"0x50\"", "\"moduleId\": 1"), "hub.moduleId: "},
        {replaced("\"moduleId\": \"0x50\"", "\"moduleId\": \"0x5z\""), "hub.moduleId: "},
        {replaced("\"fleet/dev1\"", "\"fleet/+\""), "prefix: "},
        {replaced("\"10-12\"", "\"12-10\""), "out[0].events: "},
        {replaced("\"10-12\"", "32768"), "out[0].events: "},
        {replaced("{prefix}/e/{event}", "{prefix}/e/{id}"), "out[0].topic: only {prefix} and {event}"},
        {replaced("{prefix}/e/{event}", "{prefix}/e"), "out[0].topic: needs {event}"},
        {replaced("\"qos\": 1, \"retain\"", "\"qos\": 2, \"retain\""), "out[0].qos: "},
        {replaced("{prefix}/cmd/#", "{prefix}/#/cmd"), "in[0].filter: "},
        {replaced("\"module\": \"0x30\"", "\"module\": \"0x50\""), "in[0].module: "},
        {replaced(", \"command\": 66", ""), "in[0].command: is missing"},
        {replaced("\"event\": 7", "\"event\": 7, \"module\": 3"), "in[1].event: "},
        {replaced("\"maxBytes\": 4096", "\"maxBytes\": 10"), "queue.maxBytes: "},
        {replaced("\"stateEvent\"", "\"statEvent\""), "statEvent: is not a known key"},
        {replaced("\"keepalive\"", "\"keepAlive\""), "broker.keepAlive: is not a known key"},
        // Hostile texts: each is refused with one line of printable text.
        {replaced("\"stateEvent\": 900", "\"x\": " + std::string(1000, '[') + std::string(1000, ']')),
         "(file): not valid JSON: nested deeper than 16 levels"},
        {replaced("\"stateEvent\": 900", "\"x\": " + repeated("{\"a\":", 1000) + "1" + std::string(1000, '}')),
         "(file): not valid JSON: nested deeper than 16 levels"},
        {replaced("900", "1e999"), "(file): not valid JSON: Line 6, Column 41: '1e999' is not a number."},
        {replaced("900", std::string(5000, '9') + "e"), "(file): not valid JSON: Line 6, Column 41: '999"},
        {replaced("900", "123456789012345678901234567890"), "stateEvent: must be an integer"},
        {replaced("\"br\"", "\"b\xc0\x80r\""), "(file): not valid UTF-8 at byte " + std::to_string(kGood.find("\"br\"") + 2)},
        {kGood + "//\xe2\x82", "(file): not valid UTF-8 at byte " + std::to_string(kGood.size() + 2)},
        {replaced("\"br\"", "\"b\\udc00r\""), "hub.name: must be UTF-8"},
        {replaced("\"br\"", "\"br"), "(file): not valid JSON: Line 6, Column 4: Missing ',' or '}'"},
        {replaced("\"stateEvent\"", "\"a\\n\\u001b[2J\": 1, \"a\\n\\u001b[2J\": 2, \"stateEvent\""),
         "(file): not valid JSON: Line 6, Column 46: Duplicate key: 'a\\x0a\\x1b[2J'"},
        {replaced("\"stateEvent\"", "\"\\u001b]0;x\\u0007\": 1, \"stateEvent\""), "\\x1b]0;x\\x07: is not a known key"},
    };
    for (const auto &item : cases) {
        BridgeConfig c;
        std::string error;
        EXPECT_FALSE(BridgeConfig::parse(item.first, c, error)) << item.second;
        EXPECT_EQ(0u, error.find(item.second)) << error;
        EXPECT_LE(error.size(), 203u) << error;
        EXPECT_TRUE(std::all_of(error.begin(), error.end(), [](char ch) { return ch >= 0x20 && ch < 0x7f; }))
            << error;
    }
}

TEST(BridgeConfigTest, ThePacketBoundFollowsTheLongestTopicTheFiltersMatch)
{
    BridgeConfig c;
    c.in.resize(2);
    c.in[0].filter = "a/b";
    c.in[1].filter = "fleet/dev1/cmd";
    const uint32_t rest = pellix::kMaxPayload + 13 + 4096;
    EXPECT_EQ(rest + strlen("fleet/dev1/cmd"), c.maxPacketSize());
    c.in[0].filter = "a/+/c";
    EXPECT_EQ(rest + 65535, c.maxPacketSize()) << "a wildcard matches the longest topic MQTT has";
}

TEST(BridgeConfigTest, ThePackagedExamplesAreValid)
{
    for (const char *name : {"pellix-bridge.example.json", "pellix-bridge.local.json"}) {
        BridgeConfig c;
        std::string error;
        EXPECT_TRUE(BridgeConfig::load(std::string(PELLIX_SOURCE_PATH) + "/packaging/" + name, c, error)) << error;
    }
    // The local one runs as it is: no file to read, no directory to write.
    BridgeConfig local;
    std::vector<std::string> errors;
    ASSERT_TRUE(BridgeConfig::load(std::string(PELLIX_SOURCE_PATH) + "/packaging/pellix-bridge.local.json", local,
                                   errors));
    EXPECT_TRUE(local.checkFiles(errors)) << errors.at(0);
    EXPECT_TRUE(local.metrics.enabled);
    EXPECT_EQ("trial/metrics", local.metrics.topic);
    EXPECT_EQ(10, local.metrics.intervalSeconds);
}

// One run names every key that cannot be used, and a hostile file at most
// twenty of them.
TEST(BridgeConfigTest, EveryRefusalAtOnce)
{
    BridgeConfig c;
    std::vector<std::string> errors;
    auto swap = [](std::string text, const std::string &from, const std::string &to) {
        const size_t at = text.find(from);
        EXPECT_NE(std::string::npos, at) << from;
        return at == std::string::npos ? text : text.replace(at, from.size(), to);
    };
    std::string several = swap(kGood, "\"port\": 8883", "\"port\": 70000");
    several = swap(several, "\"maxBytes\"", "\"maxBites\": 1, \"maxBytes\"");
    several = swap(several, "\"qos\": 1, \"retain\"", "\"qos\": 2, \"retain\"");
    several = swap(several, "\"prefix\": \"fleet/dev1\", ", "");
    EXPECT_FALSE(BridgeConfig::parse(several, c, errors));
    EXPECT_EQ((std::vector<std::string>{"prefix: is missing", "broker.port: must be an integer from 1 to 65535",
                                        "queue.maxBites: is not a known key", "out[0].qos: must be an integer from 0 to 1"}),
              errors);

    std::string hostile = "{\"prefix\": \"p\", \"out\": [";
    for (int i = 0; i < 30; ++i) {
        hostile += std::string(i == 0 ? "" : ",") + "{\"event\": 0, \"topic\": \"t\"}";
    }
    EXPECT_FALSE(BridgeConfig::parse(hostile + "]}", c, errors));
    ASSERT_EQ(21u, errors.size());
    EXPECT_EQ("(file): 12 more not shown", errors.back()) << "30 events and broker and hub.moduleId refused";
}

TEST(BridgeConfigTest, FilesAreCheckedBeforeAnythingConnects)
{
    TempDir dir;
    BridgeConfig c;
    std::vector<std::string> errors;
    ASSERT_TRUE(BridgeConfig::parse(kGood, c, errors));
    c.broker.cafile = dir.path() + "/missing-ca.pem";
    c.broker.certfile = dir.path();
    c.queue.file = dir.path() + "/no-such-dir/queue.bin";
    EXPECT_FALSE(c.checkFiles(errors));
    ASSERT_EQ(3u, errors.size());
    EXPECT_EQ("broker.cafile: cannot read " + dir.path() + "/missing-ca.pem: No such file or directory", errors[0]);
    EXPECT_EQ("broker.certfile: cannot read " + dir.path() + ": not a regular file", errors[1]);
    EXPECT_EQ("queue.file: its directory " + dir.path() + "/no-such-dir cannot be used: No such file or directory",
              errors[2]);

    c.broker.cafile = c.broker.certfile = "";
    c.queue.file = dir.path() + "/queue.bin";
    EXPECT_TRUE(c.checkFiles(errors)) << errors.at(0);
}

TEST(TopicRulesTest, MatchesAndChecksAsMqttDoes)
{
    const struct {
        const char *filter, *topic;
        bool match;
    } cases[] = {
        {"a/b", "a/b", true},   {"a/+", "a/b", true},     {"a/+", "a/b/c", false}, {"a/#", "a", true},
        {"a/#", "a/b/c", true}, {"+/+", "a/b", true},     {"#", "$SYS/x", false},  {"a/+/c", "a//c", true},
        {"a/b", "a/B", false},  {"+/b", "/b", true},
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.match, TopicRules::matches(c.filter, c.topic)) << c.filter << " " << c.topic;
    }
    EXPECT_TRUE(TopicRules::validFilter("a/+/#"));
    EXPECT_FALSE(TopicRules::validFilter("a/b#"));
    EXPECT_FALSE(TopicRules::validFilter(""));
    EXPECT_TRUE(TopicRules::validTopic("a/b"));
    EXPECT_FALSE(TopicRules::validTopic("a/+"));
    EXPECT_FALSE(TopicRules::validTopic("a/\xff"));
}

TEST(TopicRulesTest, Templates)
{
    std::string out, why;
    ASSERT_TRUE(TopicRules::applyPrefix("{prefix}/e/{event}/{prefix}", "p/q", true, out, why));
    EXPECT_EQ("p/q/e/{event}/p/q", out);
    EXPECT_EQ("p/q/e/42/p/q", TopicRules::expandEvent(out, 42));
    EXPECT_FALSE(TopicRules::applyPrefix("{prefix}/{event}", "p", false, out, why));
    EXPECT_FALSE(TopicRules::applyPrefix("a/{x}", "p", true, out, why));
    EXPECT_FALSE(TopicRules::applyPrefix("a/}", "p", true, out, why));
    EXPECT_EQ("e/1/1", TopicRules::expandEvent("e/{event}/{event}", 1));
}

TEST(BackoffTest, DoublesToTheCapWithJitterAndStartsAgain)
{
    uint32_t r = 0;
    Backoff b(1000, 30000, [&r] { return r; });
    const int64_t top[] = {1000, 2000, 4000, 8000, 16000, 30000, 30000};
    for (int64_t expected : top) {
        EXPECT_EQ(expected, b.next());
    }
    b.reset();
    r = 250; // the most jitter: a quarter less
    EXPECT_EQ(750, b.next());
    r = 500;
    EXPECT_EQ(1500, b.next());
    r = 0xffffffffu;
    for (int i = 0; i < 100; ++i) {
        const int64_t d = b.next();
        EXPECT_GE(d, 750);
        EXPECT_LE(d, 30000);
    }
}

OutboundMessage message(const std::string &payload, int qos = 1)
{
    OutboundMessage m;
    m.topic = "t";
    m.payload = payload;
    m.qos = qos;
    return m;
}

TEST(OutboundQueueTest, DropsTheOldestWaitingAndKeepsWhatIsInFlight)
{
    OutboundQueue q(3, 1000);
    ASSERT_TRUE(q.push(message("a")));
    ASSERT_TRUE(q.push(message("b", 0)));
    ASSERT_TRUE(q.push(message("c")));
    OutboundMessage *first = q.nextWaiting();
    ASSERT_EQ("a", first->payload);
    const uint64_t serialA = first->serial;
    q.handed(first); // QoS 1: in flight
    q.handed(q.nextWaiting()); // QoS 0: done at once
    EXPECT_EQ(2u, q.size());
    EXPECT_EQ(1u, q.inFlight());
    ASSERT_TRUE(q.push(message("d")));
    ASSERT_TRUE(q.push(message("e"))); // drops c, not a (in flight)
    EXPECT_EQ(1u, q.dropped());
    EXPECT_EQ("d", q.nextWaiting()->payload);
    q.requeueInFlight(); // the link dropped: a goes first again
    EXPECT_EQ("a", q.nextWaiting()->payload);
    q.handed(q.nextWaiting());
    q.done(serialA);
    EXPECT_EQ(2u, q.size());
    EXPECT_FALSE(q.push(message(std::string(1000, 'x')))); // larger than all the bytes
    EXPECT_EQ(2u, q.dropped());
    EXPECT_EQ(4u, q.bytes());
}

TEST(QueueFileTest, RoundTripAndDistrust)
{
    TempDir dir;
    QueueFile file(dir.path() + "/q.bin");
    OutboundQueue q(10, 1000);
    OutboundMessage m = message(std::string("\0\x01zz", 4), 1);
    m.retain = true;
    q.push(m);
    q.push(message("second", 0));
    std::string error;
    ASSERT_TRUE(file.save(q, error)) << error;
    struct stat st;
    ASSERT_EQ(0, stat(file.path().c_str(), &st));
    EXPECT_EQ(0600u, st.st_mode & 0777);
    std::vector<OutboundMessage> back;
    ASSERT_TRUE(file.load(10, 1000, back, error)) << error;
    ASSERT_EQ(2u, back.size());
    EXPECT_EQ(m.payload, back[0].payload);
    EXPECT_TRUE(back[0].retain);
    EXPECT_EQ(0, back[1].qos);
    EXPECT_FALSE(file.load(1, 1000, back, error)) << "more than the bounds";
    EXPECT_TRUE(back.empty());

    const std::string link = dir.path() + "/link.bin";
    ASSERT_EQ(0, symlink(file.path().c_str(), link.c_str()));
    EXPECT_FALSE(QueueFile(link).load(10, 1000, back, error));
    ASSERT_EQ(0, chmod(file.path().c_str(), 0622));
    EXPECT_FALSE(file.load(10, 1000, back, error)) << "others may write it";
    writeFile(file.path(), "PXBQ\x01\x01\x00\x05");
    EXPECT_FALSE(file.load(10, 1000, back, error)) << "damaged";

    ASSERT_TRUE(file.save(OutboundQueue(10, 1000), error)) << error;
    EXPECT_FALSE(fileExists(file.path())) << "an empty queue removes the file";
    EXPECT_TRUE(file.load(10, 1000, back, error));
}

TEST(EchoFilterTest, TakesEachRememberedMessageOnceAndForgetsOldOnes)
{
    EchoFilter f(2, 1000);
    f.remember("event/6", "x", 1, 0);
    f.remember("event/6", "x", 1, 0);
    EXPECT_FALSE(f.isEcho("event/7", "x", 1, 10));
    EXPECT_TRUE(f.isEcho("event/6", "x", 1, 10));
    EXPECT_TRUE(f.isEcho("event/6", "x", 1, 10));
    EXPECT_FALSE(f.isEcho("event/6", "x", 1, 10));
    f.remember("a", "1", 1, 0);
    f.remember("b", "2", 1, 0);
    f.remember("c", "3", 1, 0); // beyond the bound: "a" is forgotten
    EXPECT_FALSE(f.isEcho("a", "1", 1, 0));
    EXPECT_FALSE(f.isEcho("b", "2", 1, 2000)) << "too old";
    EXPECT_EQ(0u, f.size());
}

} // namespace
} // namespace bridge
