// pellix-cli against the real hub: frames and publications it sends, what
// listen and sub print (plain, and JSON parsed back), the hub commands,
// stopping by count, time-out and signal, and a hub restart under listen.

#include <algorithm>
#include <csignal>

#include "tests/cli/CliFixture.h"

namespace programs {
namespace {

using e2e::bytes;
using e2e::hex;
using e2e::makeFrame;

class CliTraffic : public CliFixture {
protected:
    void SetUp() override { ASSERT_TRUE(daemon.start()) << daemon.lastError(); }

    // Starts a receiving command and waits until it is registered (and
    // subscribed, for sub).
    bool startReceiver(ProgramProcess &program, const std::vector<std::string> &args)
    {
        if (!program.start(at(args))) {
            return false;
        }
        const bool json = std::find(args.begin(), args.end(), "--json") != args.end();
        const bool sub = args[0] == "sub";
        const std::string ready = json ? (sub ? "\"type\":\"subscribed\"" : "\"type\":\"registered\"")
                                       : (sub ? "subscribed to " : "registered as ");
        const bool ok = program.waitForOutput(ready);
        EXPECT_TRUE(ok) << program.out() << program.err();
        return ok;
    }
};

TEST_F(CliTraffic, SendAndPubOverEveryTransport)
{
    e2e::ModuleClient raw = rawModule(0x20, "raw-target");
    ASSERT_TRUE(raw.subscribe({5}));

    Finished f = cli(at({"send", "0x20", "0x1234", "--hex", "aa bb:cc"}));
    EXPECT_EQ(0, f.status) << f.err;
    EXPECT_EQ(hex(makeFrame(0x20, 0xFE, 0x1234, bytes({0xAA, 0xBB, 0xCC}))), hex(raw.readExactly(21)));
    EXPECT_EQ("sent frame to 0x20 from 0xfe, cmd 0x1234, 3 bytes of payload, over tcp\n", f.out);
    EXPECT_EQ("", f.err);

    f = cli({"send", "32", "66", "hello", "--src", "0x33", "--unix", daemon.unixSocketPath(), "--json"});
    EXPECT_EQ(0, f.status) << f.err;
    EXPECT_EQ(hex(makeFrame(0x20, 0x33, 0x42, "hello")), hex(raw.readExactly(23)));
    const Json::Value sent = parseJson(f.out);
    EXPECT_EQ("sent", sent["type"].asString());
    EXPECT_EQ(32, sent["dev"].asInt());
    EXPECT_EQ(0x33, sent["src"].asInt());
    EXPECT_EQ(66, sent["cmd"].asInt());
    EXPECT_EQ(5, sent["size"].asInt());
    EXPECT_EQ("unix", sent["transport"].asString());

    f = cli(at({"send", "0x20", "7", "--udp", "--text", "by datagram"}));
    EXPECT_EQ(0, f.status) << f.err;
    EXPECT_EQ(hex(makeFrame(0x20, 0xFE, 0x0007, "by datagram")), hex(raw.readExactly(29)));

    // Data that looks like an option comes after "--".
    f = cli({"send", "--tcp", hubAddress(), "0x20", "0", "--", "--not-an-option"});
    EXPECT_EQ(0, f.status) << f.err;
    EXPECT_EQ(hex(makeFrame(0x20, 0xFE, 0x0000, "--not-an-option")), hex(raw.readExactly(33)));

    f = cli(at({"pub", "5", "--hex", "0102"}));
    EXPECT_EQ(0, f.status) << f.err;
    EXPECT_EQ(hex(e2e::eventDelivery(0x20, bytes({5, 0, 1, 2}))), hex(raw.readExactly(22)));
    EXPECT_EQ("published event 5 with 2 bytes of data, over tcp\n", f.out);
    f = cli(at({"pub", "0x5", "udp!", "--udp", "--json"}));
    EXPECT_EQ(0, f.status) << f.err;
    EXPECT_EQ(hex(e2e::eventDelivery(0x20, bytes({5, 0}) + "udp!")), hex(raw.readExactly(24)));
    const Json::Value published = parseJson(f.out);
    EXPECT_EQ("published", published["type"].asString());
    EXPECT_EQ(5, published["event"].asInt());
    EXPECT_EQ(4, published["size"].asInt());
    EXPECT_EQ("udp", published["transport"].asString());

    // A frame of the largest size goes out whole.
    f = cli(at({"send", "0x20", "0x42", std::string(65529, 'L')}));
    EXPECT_EQ(0, f.status) << f.err;
    const std::string largest = makeFrame(0x20, 0xFE, 0x42, std::string(65529, 'L'));
    EXPECT_TRUE(largest == raw.readExactly(largest.size())) << "the largest frame did not arrive whole";
}

TEST_F(CliTraffic, ListenPrintsEveryFrameAsJson)
{
    ProgramProcess listen(PELLIX_CLI_PATH, dir.path());
    ASSERT_TRUE(startReceiver(listen, {"listen", "--id", "0x30", "--name", "cli\"listener", "--json", "--count", "3"}));
    e2e::ModuleClient raw = rawModule(0x20, "raw-sender");
    ASSERT_TRUE(raw.send(makeFrame(0x30, 0x20, 0xABCD, bytes({0x00, '"', '\\', 'A', 0xFF}))));
    ASSERT_TRUE(raw.send(makeFrame(0x30, 0x20, 0x0001)));
    ASSERT_TRUE(raw.send(makeFrame(0x30, 0x21, 0x0042, std::string(40, 'z'))));
    EXPECT_EQ(0, listen.wait());

    const std::vector<Json::Value> lines = jsonLines(listen.outLines());
    ASSERT_EQ(5u, lines.size()) << listen.out();
    EXPECT_EQ("registered", lines[0]["type"].asString());
    EXPECT_EQ(0x30, lines[0]["id"].asInt());
    EXPECT_EQ("cli\"listener", lines[0]["name"].asString());
    EXPECT_EQ(hubAddress(), lines[0]["hub"].asString());

    EXPECT_EQ("frame", lines[1]["type"].asString());
    EXPECT_EQ(0x30, lines[1]["dev"].asInt());
    EXPECT_EQ(0x20, lines[1]["src"].asInt());
    EXPECT_EQ(0xABCD, lines[1]["cmd"].asInt());
    EXPECT_EQ(11, lines[1]["len"].asInt());
    EXPECT_EQ(5, lines[1]["size"].asInt());
    EXPECT_EQ("00225c41ff", lines[1]["hex"].asString());
    EXPECT_EQ(".\"\\A.", lines[1]["text"].asString());

    EXPECT_EQ(1, lines[2]["cmd"].asInt());
    EXPECT_EQ(0, lines[2]["size"].asInt());
    EXPECT_EQ("", lines[2]["hex"].asString());
    EXPECT_EQ(0x21, lines[3]["src"].asInt());
    EXPECT_EQ(std::string(40, 'z'), lines[3]["text"].asString());

    EXPECT_EQ("end", lines[4]["type"].asString());
    EXPECT_EQ("count", lines[4]["reason"].asString());
    EXPECT_EQ(3, lines[4]["received"].asInt());
    EXPECT_EQ("", listen.err());
}

TEST_F(CliTraffic, ListenPlainOutputShowsHeaderHexAndText)
{
    ProgramProcess listen(PELLIX_CLI_PATH, dir.path());
    ASSERT_TRUE(startReceiver(listen, {"listen", "9", "--id", "0x31", "--count", "2"}));
    const pid_t pid = listen.pid();
    ASSERT_TRUE(listen.waitForOutput("subscribed to 9\n"));
    e2e::ModuleClient raw = rawModule(0x20, "raw-plain");
    ASSERT_TRUE(raw.send(makeFrame(0x31, 0x20, 0x0042, "ABCDEFGHIJKLMNOP" + bytes({1, 2}) + "yz")));
    ASSERT_TRUE(raw.send(makeFrame(e2e::kEventMgrId, 0x20, e2e::kCmdPublishEvent, bytes({9, 0, 0x7F, 'e'}))));
    EXPECT_EQ(0, listen.wait());
    // By default the name of no process, the tool's own pid in it.
    EXPECT_EQ("registered as 0x31 \"pellix-cli-" + std::to_string(pid) + "\" at " + hubAddress() +
                  "\n"
                  "subscribed to 9\n"
                  "frame  dev 0x31  src 0x20  cmd 0x0042  len 26  payload 20 bytes\n"
                  "  0000  41 42 43 44 45 46 47 48 49 4a 4b 4c 4d 4e 4f 50  ABCDEFGHIJKLMNOP\n"
                  "  0010  01 02 79 7a" +
                  std::string(37, ' ') +
                  " ..yz\n"
                  "event 9  data 2 bytes\n"
                  "  0000  7f 65" +
                  std::string(43, ' ') +
                  " .e\n"
                  "stopped (count) after 2 received\n",
              listen.out());
}

TEST_F(CliTraffic, SubPrintsDeliveriesAndDeparturesAsJson)
{
    ProgramProcess sub(PELLIX_CLI_PATH, dir.path());
    ASSERT_TRUE(startReceiver(sub, {"sub", "0", "5", "--id", "0x32", "--name", "cli-sub", "--json", "--count", "3"}));
    e2e::ModuleClient raw = rawModule(0x20, "raw-publisher");
    ASSERT_TRUE(raw.send(makeFrame(e2e::kEventMgrId, 0x20, e2e::kCmdPublishEvent, bytes({5, 0, 'x'}))));
    ASSERT_TRUE(sub.waitForOutput("\"hex\":\"78\""));
    const Finished pub = cli(at({"pub", "5", "--hex", "0102", "--udp"}));
    ASSERT_EQ(0, pub.status) << pub.err;
    ASSERT_TRUE(sub.waitForOutput("\"hex\":\"0102\""));
    {
        e2e::ModuleClient leaving = rawModule(0x2C, "raw-leaving");
    }
    EXPECT_EQ(0, sub.wait());

    const std::vector<Json::Value> lines = jsonLines(sub.outLines());
    ASSERT_EQ(6u, lines.size()) << sub.out();
    EXPECT_EQ("registered", lines[0]["type"].asString());
    EXPECT_EQ("subscribed", lines[1]["type"].asString());
    ASSERT_EQ(2u, lines[1]["events"].size());
    EXPECT_EQ(0, lines[1]["events"][0].asInt());
    EXPECT_EQ(5, lines[1]["events"][1].asInt());
    EXPECT_EQ("event", lines[2]["type"].asString());
    EXPECT_EQ(5, lines[2]["event"].asInt());
    EXPECT_EQ(1, lines[2]["size"].asInt());
    EXPECT_EQ("x", lines[2]["text"].asString());
    EXPECT_EQ("0102", lines[3]["hex"].asString());
    EXPECT_EQ("departure", lines[4]["type"].asString());
    EXPECT_EQ(0x2C, lines[4]["module"].asInt());
    EXPECT_EQ("count", lines[5]["reason"].asString());

    // On its way out sub withdrew its events: a new module under its id
    // gets nothing of event 5, though the hub's record still lists it.
    e2e::ModuleClient successor = rawModule(0x32, "raw-successor");
    ASSERT_TRUE(raw.send(makeFrame(e2e::kEventMgrId, 0x20, e2e::kCmdPublishEvent, bytes({5, 0, 'y'}))));
    std::string unexpected;
    EXPECT_TRUE(successor.ping(&unexpected)) << hex(unexpected);
}

TEST_F(CliTraffic, HubCommandsOverTheStreamAndByDatagram)
{
    for (const std::vector<std::string> &args : std::vector<std::vector<std::string>>{
             {"dump"}, {"print"}, {"level", "3"}, {"print", "--udp"}, {"level", "4", "--udp"}, {"dump", "--udp", "--json"}}) {
        const Finished f = cli(at(args));
        EXPECT_EQ(0, f.status) << args[0] << ": " << f.err;
        EXPECT_EQ(1u, countOf(f.out, "\n")) << f.out;
    }
    // The reload goes over the Unix socket, as root (the tests' user).
    const Finished reload = cli({"reload-access", "--unix", daemon.unixSocketPath()});
    EXPECT_EQ(0, reload.status) << reload.err;
    EXPECT_EQ(1u, countOf(reload.out, "\n")) << reload.out;
    // A module's round trip: the hub has handled everything before it.
    e2e::ModuleClient raw = rawModule(0x20, "raw-commands");
    ASSERT_TRUE(raw.ping());
    EXPECT_EQ(255, daemon.stop(SIGTERM));
    const std::string out = daemon.stdoutText();
    EXPECT_EQ(1u, countOf(out, "open data print\n")) << out;
    EXPECT_EQ(1u, countOf(out, "close data print\n")) << out;
    EXPECT_EQ(1u, countOf(out, "set debug level: 3\n")) << out;
    EXPECT_EQ(1u, countOf(out, "set debug level: 4\n")) << out;
    // One table per accepted connection (four), one per dump command (two).
    EXPECT_GE(countOf(out, "socket map list:\n"), 6u) << out;
}

TEST_F(CliTraffic, StopsByCountTimeoutOrSignal)
{
    Finished f = cli(at({"listen", "--id", "0x34", "--timeout", "0.3"}));
    EXPECT_EQ(0, f.status) << f.err;
    EXPECT_NE(std::string::npos, f.out.find("stopped (timeout) after 0 received\n")) << f.out;

    f = cli(at({"listen", "--id", "0x35", "--timeout", "0.3", "--count", "1", "--json"}));
    EXPECT_EQ(3, f.status) << f.err;
    const std::vector<Json::Value> lines = jsonLines(std::vector<std::string>{f.out.substr(f.out.rfind('{'))});
    EXPECT_EQ("timeout", lines[0]["reason"].asString());
    EXPECT_EQ(0, lines[0]["received"].asInt());

    ProgramProcess listen(PELLIX_CLI_PATH, dir.path());
    ASSERT_TRUE(startReceiver(listen, {"listen", "--id", "0x36"}));
    ASSERT_TRUE(listen.signal(SIGTERM));
    EXPECT_EQ(0, listen.wait());
    EXPECT_NE(std::string::npos, listen.out().find("stopped (signal) after 0 received\n")) << listen.out();
}

TEST_F(CliTraffic, ListenCarriesOnThroughAHubRestart)
{
    ProgramProcess listen(PELLIX_CLI_PATH, dir.path());
    ASSERT_TRUE(startReceiver(listen, {"listen", "--id", "0x37", "--json", "--count", "1", "--timeout", "20"}));
    const uint16_t port = daemon.port();
    ASSERT_EQ(255, daemon.stop(SIGTERM));
    ASSERT_TRUE(listen.waitForOutput("\"up\":false"));
    ASSERT_TRUE(daemon.startExpecting(port)) << daemon.lastError();
    ASSERT_TRUE(listen.waitForOutput("\"up\":true"));
    e2e::ModuleClient raw = rawModule(0x20, "raw-after-restart");
    ASSERT_TRUE(raw.send(makeFrame(0x37, 0x20, 0x0042, "still there?")));
    EXPECT_EQ(0, listen.wait());

    const std::vector<Json::Value> lines = jsonLines(listen.outLines());
    ASSERT_EQ(5u, lines.size()) << listen.out();
    EXPECT_EQ("connection", lines[1]["type"].asString());
    EXPECT_FALSE(lines[1]["up"].asBool());
    EXPECT_TRUE(lines[2]["up"].asBool());
    EXPECT_EQ("still there?", lines[3]["text"].asString());
    EXPECT_EQ("", listen.err()) << "the framework's reconnect messages stay out of the way";
}

} // namespace
} // namespace programs
