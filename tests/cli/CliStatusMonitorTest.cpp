// pellix-cli status and monitor: the tables and the JSON document from the
// real hub over every transport, the monitor's lines and filters, the
// one-line refusal of a hub that never answers these commands, hostile
// status documents, and the hub's own refusals (exit status 4).

#include <algorithm>
#include <chrono>
#include <regex>

#include "proto/MonitorRecord.h"
#include "proto/PacketFrame.h"
#include "tests/cli/CliFixture.h"
#include "tests/client/FakeHub.h"

namespace programs {
namespace {

using e2e::makeFrame;

class CliStatusMonitor : public CliFixture {
protected:
    void SetUp() override { ASSERT_TRUE(daemon.start()) << daemon.lastError(); }
};

TEST_F(CliStatusMonitor, StatusTablesAndJsonOverEveryTransport)
{
    // A name with an escape sequence must reach the terminal harmless.
    e2e::ModuleClient raw = rawModule(0x20, "raw\x1b[31mred");
    // So must its report; the subscription's ping makes sure it was taken.
    ASSERT_TRUE(raw.send(makeFrame(0x01, 0x20, CMD_REPORT, "{\"link\":\"\\u001b[31mup\",\"n\":{\"sent\":5}}")));
    ASSERT_TRUE(raw.subscribe({7}));

    Finished f = cli(at({"status"}));
    ASSERT_EQ(0, f.status) << f.err;
    EXPECT_EQ("", f.err);
    EXPECT_EQ(std::string::npos, f.out.find('\x1b')) << f.out;
    for (const char *expected :
         {"pellix ", "  up ", "settings: bind 0.0.0.0", "totals: in ", "descriptors ", "FD  TRANSPORT  IDS",
          "EVENT  SUBSCRIBERS\n7      0x20\n"}) {
        EXPECT_NE(std::string::npos, f.out.find(expected)) << expected << " in\n" << f.out;
    }
    EXPECT_TRUE(std::regex_search(f.out, std::regex("\n[0-9]+ +tcp +0x20 +raw[^ ]*31mred +127\\.0\\.0\\.1:[0-9]+ +- ")))
        << f.out;
    EXPECT_TRUE(std::regex_search(f.out, std::regex("\nreport of fd [0-9]+ raw[^ ]*31mred: link=[^ ]*31mup n\\.sent=5\n")))
        << f.out;

    const std::vector<std::vector<std::string>> ways = {
        at({"status", "--json"}), {"status", "--json", "--unix", daemon.unixSocketPath()},
        at({"status", "--json", "--udp"})};
    for (const std::vector<std::string> &args : ways) {
        f = cli(args);
        ASSERT_EQ(0, f.status) << args[2] << ": " << f.err;
        ASSERT_EQ(1u, countOf(f.out, "\n")) << f.out;
        const Json::Value doc = jsonLines({f.out.substr(0, f.out.size() - 1)})[0];
        EXPECT_TRUE(doc["settings"].isObject()) << f.out;
        bool seen = false;
        for (const Json::Value &c : doc["connections"]) {
            seen = seen || (c["ids"].size() == 1 && c["ids"][0].asInt() == 0x20);
        }
        EXPECT_TRUE(seen) << f.out;
    }

    // Not a terminal: --watch repeats plain blocks, one blank line apart.
    f = cli(at({"status", "--watch", "0.1", "--count", "2"}));
    EXPECT_EQ(0, f.status) << f.err;
    EXPECT_EQ(2u, countOf(f.out, "FD  TRANSPORT")) << f.out;
    EXPECT_EQ(std::string::npos, f.out.find("\033[2J"));
}

TEST_F(CliStatusMonitor, MonitorPrintsTheFramesItsFiltersKeep)
{
    ProgramProcess byId(PELLIX_CLI_PATH, dir.path());
    ProgramProcess byEvent(PELLIX_CLI_PATH, dir.path());
    ASSERT_TRUE(byId.start(at({"monitor", "--id", "0x20", "--cmd", "0x42", "--cmd", "0x44", "--json", "--count", "2"})));
    ASSERT_TRUE(byEvent.start(at({"monitor", "--event", "7", "--count", "1"})));
    ASSERT_TRUE(byId.waitForOutput("\"type\":\"monitoring\"")) << byId.err();
    ASSERT_TRUE(byEvent.waitForOutput("monitoring the hub at " + hubAddress() + "\n")) << byEvent.err();

    e2e::ModuleClient raw = rawModule(0x21, "raw-monitored");
    e2e::ModuleClient target = rawModule(0x20, "raw-target");
    const std::string frames[] = {
        makeFrame(0x22, 0x21, 0x0042, "other id"), makeFrame(0x20, 0x21, 0x0043, "other cmd"),
        makeFrame(0x20, 0x21, 0x0042, "first"),    makeFrame(0xE1, 0x21, 0x0005, e2e::bytes({8, 0}) + "event 8"),
        makeFrame(0xE1, 0x21, 0x0005, e2e::bytes({7, 0, 0x1b}) + "seven"),
        makeFrame(0x20, 0x21, 0x0044, std::string(40, 'L'))};
    for (const std::string &frame : frames) {
        ASSERT_TRUE(raw.send(frame));
    }
    EXPECT_EQ(0, byId.wait());
    EXPECT_EQ(0, byEvent.wait());

    const std::vector<Json::Value> lines = jsonLines(byId.outLines());
    ASSERT_EQ(4u, lines.size()) << byId.out();
    EXPECT_EQ("monitor", lines[1]["type"].asString());
    EXPECT_EQ("forwarded", lines[1]["kind"].asString());
    EXPECT_EQ(0x21, lines[1]["src"].asInt());
    EXPECT_EQ(0x20, lines[1]["dev"].asInt());
    EXPECT_EQ(0x42, lines[1]["cmd"].asInt());
    EXPECT_EQ(5, lines[1]["length"].asInt());
    EXPECT_EQ("first", lines[1]["text"].asString());
    EXPECT_TRUE(std::regex_match(lines[1]["time"].asString(), std::regex("[0-9]{2}:[0-9]{2}:[0-9]{2}\\.[0-9]{6}")));
    EXPECT_EQ(std::string(40, 'L'), lines[2]["text"].asString());
    EXPECT_EQ("count", lines[3]["reason"].asString());

    const std::vector<std::string> plain = byEvent.outLines();
    ASSERT_EQ(3u, plain.size()) << byEvent.out();
    EXPECT_TRUE(std::regex_match(plain[1], std::regex("[0-9:.]{15} published +0x21 -> 0xe1  cmd 0x0005  8 bytes  "
                                                      "07 00 1b 73 65 76 65 6e  \\.\\.\\.seven")))
        << plain[1];
    EXPECT_EQ("stopped (count) after 1 received", plain[2]);

    // Both monitors switched off on their way out.
    Finished f = cli(at({"status", "--json"}));
    EXPECT_EQ(0, jsonLines({f.out.substr(0, f.out.find('\n'))})[0]["monitors"].asInt()) << f.out;
}

class CliOldHub : public ::testing::Test {
protected:
    TempDir dir;
};

TEST_F(CliOldHub, HubWithoutTheCommandsIsNamedInOneLine)
{
    fake::FakeHub hub; // reads and never answers, as a hub without these commands
    ASSERT_TRUE(hub.ok());
    const std::vector<std::vector<std::string>> commands = {
        {"status"}, {"status", "--udp", "--json"}, {"monitor", "--id", "3"}};
    for (std::vector<std::string> args : commands) {
        const std::string what = args[0] == "status" ? "status" : "monitor";
        args.insert(args.end(), {"--tcp", hub.address()});
        const auto start = std::chrono::steady_clock::now();
        const Finished f = run(PELLIX_CLI_PATH, dir.path(), args);
        const auto took = std::chrono::steady_clock::now() - start;
        EXPECT_EQ(1, f.status) << args[1];
        EXPECT_EQ("", f.out) << args[1];
        EXPECT_EQ("pellix-cli: the hub at " + hub.address() + " does not answer " + what + " requests\n",
                  plainError(f.err));
        EXPECT_LT(took, std::chrono::milliseconds(2800 * ProgramProcess::timeScale())) << args[1];
    }
}

TEST_F(CliOldHub, HostileStatusDocumentsGiveOneLine)
{
    const size_t deep = 200000;
    std::string objects;
    for (size_t i = 0; i < deep; ++i) {
        objects += "{\"a\":";
    }
    objects += "1" + std::string(deep, '}');
    const struct {
        const char *what;
        std::string text;
        const char *error; // nullptr: shown
    } cases[] = {
        {"deep arrays", "{\"a\":" + std::string(deep, '[') + std::string(deep, ']') + "}",
         "the hub's status reply is not a JSON object: nested deeper than 64 levels"},
        {"deep objects", objects, "the hub's status reply is not a JSON object: nested deeper than 64 levels"},
        {"truncated", "{\"version\":\"0.1", "the hub's status reply is not a JSON object: "},
        {"invalid UTF-8", "{\"version\":\"\xff\xfe\xc3\",\"connections\":[{\"name\":\"\xe2\x82\",\"ids\":[16]}]}",
         nullptr},
    };
    for (const auto &c : cases) {
        fake::FakeHub hub(fake::statusReply(0xFE, c.text));
        ASSERT_TRUE(hub.ok());
        for (const std::string json : {"", "--json"}) {
            std::vector<std::string> args = {"status", "--tcp", hub.address()};
            if (!json.empty()) {
                args.push_back(json);
            }
            const Finished f = run(PELLIX_CLI_PATH, dir.path(), args);
            const std::string what = c.what + (" " + json);
            if (c.error == nullptr) {
                EXPECT_EQ(0, f.status) << what << ": " << f.err;
                EXPECT_TRUE(std::all_of(f.out.begin(), f.out.end(),
                                        [](char ch) { return ch == '\n' || (ch >= 0x20 && ch < 0x7f); }))
                    << what << ": " << f.out;
                continue;
            }
            EXPECT_EQ(1, f.status) << what;
            EXPECT_EQ("", f.out) << what;
            EXPECT_EQ(0u, plainError(f.err).find("pellix-cli: " + std::string(c.error))) << what << ": " << f.err;
            EXPECT_EQ(json.empty() ? 'p' : '{', f.err[0]) << what << ": " << f.err;
            EXPECT_EQ(1u, countOf(f.err, "\n")) << what << ": " << f.err;
        }
    }
}

TEST_F(CliOldHub, RefusalsOfAFakeHubExitWithFour)
{
    // Every connection and datagram gets both: each command takes its own.
    fake::FakeHub hub(fake::monitorRefusal(0xFE, "8 monitors already") +
                      fake::statusReply(0xFE, "{\"needBytes\":9000}"));
    ASSERT_TRUE(hub.ok());
    Finished f = run(PELLIX_CLI_PATH, dir.path(), {"monitor", "--tcp", hub.address()});
    EXPECT_EQ(4, f.status);
    EXPECT_EQ("", f.out);
    EXPECT_EQ("pellix-cli: the hub at " + hub.address() + " refused the monitor: 8 monitors already\n", f.err);
    f = run(PELLIX_CLI_PATH, dir.path(), {"status", "--udp", "--tcp", hub.address()});
    EXPECT_EQ(4, f.status);
    EXPECT_EQ("", f.out);
    EXPECT_EQ("pellix-cli: the hub's status (needs a request of 9000 bytes) does not fit an answer to a datagram; "
              "run pellix-cli status without --udp\n",
              f.err);
    EXPECT_EQ(std::vector<size_t>{2048}, hub.datagramSizes());
}

// Needs a hub with a limit on monitors and bounded datagram answers.
TEST_F(CliStatusMonitor, HubRefusalsExitWithFour)
{
    std::vector<e2e::ModuleClient> watchers;
    for (int i = 0; i < 64; ++i) {
        watchers.push_back(e2e::ModuleClient::tcp(daemon.port()));
        ASSERT_TRUE(watchers.back().send(makeFrame(0x01, 0x40, CMD_MONITOR, e2e::bytes({1}))));
        // The answer comes before any copy: kind 0, or kind 7 once the hub is full.
        const std::string answer = watchers.back().readExactly(PacketFrame::kMinFrameSize + MonitorRecord::kHeaderSize);
        ASSERT_EQ(PacketFrame::kMinFrameSize + MonitorRecord::kHeaderSize, static_cast<int>(answer.size()));
        if (answer[PacketFrame::kPayloadOffset] == pellix::wire::kMonitorRefused) {
            break;
        }
    }
    Finished f = cli(at({"monitor", "--timeout", "3"}));
    EXPECT_EQ(4, f.status) << f.err;
    EXPECT_EQ(0u, f.err.find("pellix-cli: the hub at " + hubAddress() + " refused the monitor: ")) << f.err;

    for (int i = 0; i < 8; ++i) {
        e2e::ModuleClient reporter = rawModule(0x20 + i, "reporter");
        const std::string report = "{\"pad\":\"" + std::string(1010, 'r') + "\"}";
        ASSERT_TRUE(reporter.send(makeFrame(0x01, 0x20 + i, CMD_REPORT, report)));
        ASSERT_TRUE(reporter.ping());
        watchers.push_back(std::move(reporter));
    }
    f = cli(at({"status", "--udp"}));
    EXPECT_EQ(4, f.status) << f.err;
    EXPECT_EQ(0u, f.err.find("pellix-cli: the hub's status (needs a request of ")) << f.err;
    EXPECT_NE(std::string::npos, f.err.find("; run pellix-cli status without --udp\n")) << f.err;
}

} // namespace
} // namespace programs
