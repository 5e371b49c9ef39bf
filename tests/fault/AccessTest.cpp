// Access rules against the real hub: connections made as other users over
// the Unix socket and loopback TCP, and datagrams, each right granted and
// refused, a limit reached, the rules read again, and a file the hub does not
// trust. The test runs as root and switches the connecting child's user.

#include <sys/stat.h>

#include <fstream>

#include "tests/fault/FaultFixture.h"
#include "tests/support/StatusRequest.h"

namespace fault {
namespace {

const uint16_t kReload = 0x0083;
const uint16_t kStatus = 0x0080;

const char kRules[] = R"({
  "rules": [
    { "uid": 0, "allow": "all" },
    { "uid": 1000, "register": ["0x10"], "send": ["0x10", "0x20"], "publish": ["100-199"], "subscribe": ["150"] },
    { "uid": 1001, "register": ["0x20"], "send": ["0x20"], "subscribe": ["0", "150"] },
    { "gid": 3000, "inspect": true },
    { "datagram": true, "publish": ["150"] }
  ],
  "limits": { "connectionsPerUid": 2 }
})";

class FaultAccess : public FaultFixture {
protected:
    void SetUp() override
    {
        if (geteuid() != 0) {
            GTEST_SKIP() << "connections as other users need root";
        }
    }
    // The rules at <root>/etc/pellix/access.json with mode, and a hub that
    // reads them, its socket and root open to every user.
    bool start(const std::string &rules, mode_t mode = 0644)
    {
        writeRules(rules, mode);
        const uint16_t port = pickFreePort();
        writeFile(daemon.configPath(), "{\"tcpListenPort\": " + std::to_string(port) +
                                           ", \"accessFile\": \"/etc/pellix/access.json\"}");
        if (!daemon.startExpecting(port)) {
            return false;
        }
        for (const std::string &path : {daemon.root(), daemon.root() + "/tmp"}) {
            chmod(path.c_str(), 0755);
        }
        return chmod(daemon.unixSocketPath().c_str(), 0777) == 0;
    }
    void writeRules(const std::string &rules, mode_t mode)
    {
        const std::string etc = daemon.root() + "/etc/pellix";
        mkdir((daemon.root() + "/etc").c_str(), 0755);
        mkdir(etc.c_str(), 0755);
        writeFile(etc + "/access.json", rules);
        chmod((etc + "/access.json").c_str(), mode);
    }
    ModuleClient as(uid_t uid, ModuleClient::Transport transport, std::vector<gid_t> groups = {})
    {
        ModuleClient client = ModuleClient::connectAs(transport, daemon.port(), daemon.unixSocketPath(), uid, uid,
                                                      groups);
        EXPECT_TRUE(client.isOpen()) << client.error();
        return client;
    }
    static bool registers(ModuleClient &client, uint8_t id)
    {
        return client.registerAs(id, "mod" + std::to_string(id)) == registrationReply(id);
    }
    // A registration the hub refuses gets no answer.
    static bool refused(ModuleClient &client, uint8_t id)
    {
        EXPECT_TRUE(client.send(makeFrame(kHubId, id, kCmdReg, "mod" + std::to_string(id))));
        return client.readFor(300).empty();
    }
    static std::string publication(int event) { return bytes({event & 0xff, event >> 8, 0xAB}); }
};

TEST_F(FaultAccess, EachRightIsGrantedOrRefusedByTheUserBehindTheConnection)
{
    ASSERT_TRUE(start(kRules)) << daemon.lastError();
    ModuleClient root = unixModule(0x30, "root");
    ASSERT_TRUE(root.subscribe({151, 250}));
    ModuleClient a = as(1000, ModuleClient::UNIX);
    ModuleClient b = as(1001, ModuleClient::TCP);
    EXPECT_TRUE(registers(a, 0x10));
    EXPECT_TRUE(refused(a, 0x11)) << "an id the rules do not give";
    EXPECT_TRUE(registers(b, 0x20));
    ASSERT_TRUE(b.subscribe({0, 150}));

    // Sends and publications: what the rules grant arrives, the rest goes
    // nowhere. {from, frame, receiver, arrives}
    ModuleClient udp = ModuleClient::udp(daemon.port());
    struct {
        const char *what;
        ModuleClient *from;
        std::string frame;
        ModuleClient *to;
        bool arrives;
    } cases[] = {
        {"send to 0x20", &a, makeFrame(0x20, 0x10, 0x42, "hi"), &b, true},
        {"send to 0x30", &a, makeFrame(0x30, 0x10, 0x42, "no"), &root, false},
        {"publish 150", &a, makeFrame(kEventMgrId, 0x10, kCmdPublishEvent, publication(150)), &b, true},
        {"publish 250", &a, makeFrame(kEventMgrId, 0x10, kCmdPublishEvent, publication(250)), &root, false},
        {"datagram publishes 150", &udp, makeFrame(kEventMgrId, 0x66, kCmdPublishEvent, publication(150)), &b, true},
        {"datagram publishes 151", &udp, makeFrame(kEventMgrId, 0x66, kCmdPublishEvent, publication(151)), &root,
         false},
        {"b publishes 151", &b, makeFrame(kEventMgrId, 0x20, kCmdPublishEvent, publication(151)), &root, false},
    };
    for (const auto &c : cases) {
        ASSERT_TRUE(c.from->send(c.frame)) << c.what;
        // A forwarded frame arrives as it was sent, a publication as a
        // 21-byte delivery.
        const size_t size = c.frame[9] == static_cast<char>(kEventMgrId) ? 21 : c.frame.size();
        const std::string got = c.arrives ? c.to->readExactly(size) : c.to->readFor(300);
        EXPECT_EQ(c.arrives ? size : 0u, got.size()) << c.what << ": " << hex(got);
    }
    // A subscription to an event the rules do not give is refused whole.
    ASSERT_TRUE(b.send(makeFrame(kEventMgrId, 0x20, kCmdRegEvent, bytes({2, 150, 0, 151, 0}))));
    ASSERT_TRUE(root.send(makeFrame(kEventMgrId, 0x30, kCmdPublishEvent, publication(151))));
    EXPECT_TRUE(b.readFor(300).empty());

    // Looking inside takes the inspect right: uid 1000 alone has none, in
    // group 3000 it has. The third connection of uid 1000 is one too many.
    ASSERT_TRUE(a.send(makeFrame(kHubId, 0x10, kStatus)));
    EXPECT_TRUE(a.readFor(300).empty());
    ModuleClient inspector = as(1000, ModuleClient::UNIX, {3000}); // groups as the kernel says them
    const Json::Value doc = requestStatus(inspector);
    ModuleClient third = as(1000, ModuleClient::UNIX);
    EXPECT_TRUE(third.waitClosedByPeer(kReplyTimeoutMs));
    const Json::Value *seenA = connectionWithId(doc, 0x10);
    ASSERT_NE(nullptr, seenA) << doc;
    EXPECT_EQ(1000u, (*seenA)["uid"].asUInt());
    EXPECT_GE((*seenA)["dropped"]["refused"].asUInt64(), 4u);
    const Json::Value *seenB = connectionWithId(doc, 0x20);
    ASSERT_NE(nullptr, seenB) << doc;
    EXPECT_EQ(1001u, (*seenB)["uid"].asUInt());
    EXPECT_EQ("tcp", (*seenB)["transport"].asString());
    EXPECT_TRUE(doc["settings"]["access"]["trusted"].asBool()) << doc["settings"];
    expectStopsCleanly();
    EXPECT_NE(std::string::npos, daemon.logText().find("reg refused fd: ")) << daemon.logText();
    EXPECT_NE(std::string::npos, daemon.logText().find("of uid 1000 refused: it has 2 connections already"))
        << daemon.logText();
}

TEST_F(FaultAccess, ReadAgainTheRulesCloseAConnectionTheyNoLongerAllowAndAnnounceIt)
{
    ASSERT_TRUE(start(kRules)) << daemon.lastError();
    ModuleClient root = unixModule(0x30, "root");
    ASSERT_TRUE(root.subscribe({0}));
    ModuleClient a = as(1000, ModuleClient::UNIX);
    ASSERT_TRUE(registers(a, 0x10));
    writeRules(R"({"rules": [{"uid": 0, "allow": "all"}, {"uid": 1000, "send": ["0x10"]}]})", 0644);
    // Only root over the Unix socket may ask for it.
    ASSERT_TRUE(a.send(makeFrame(kHubId, 0x10, kReload)));
    ASSERT_TRUE(a.ping());
    ModuleClient rootTcp = tcpModule(0x31, "rootTcp");
    ASSERT_TRUE(rootTcp.send(makeFrame(kHubId, 0x31, kReload)));
    ASSERT_TRUE(rootTcp.ping());
    ASSERT_TRUE(root.send(makeFrame(kHubId, 0x30, kReload)));
    EXPECT_EQ(hex(makeFrame(0x30, kEventMgrId, kCmdPublishEvent, bytes({0, 0, 0x10}))), hex(root.readExactly(21)));
    EXPECT_TRUE(a.waitClosedByPeer(kReplyTimeoutMs));
    expectStopsCleanly();
    EXPECT_NE(std::string::npos, daemon.logText().find("read: 5 rules")) << daemon.logText();
    EXPECT_NE(std::string::npos, daemon.logText().find("read: 2 rules")) << daemon.logText();
    EXPECT_NE(std::string::npos, daemon.logText().find("the access rules no longer let it hold its id"));
}

TEST_F(FaultAccess, RulesTheHubCannotTrustLetOnlyRootOverTheUnixSocketIn)
{
    ASSERT_TRUE(start(kRules, 0666)) << daemon.lastError();
    ModuleClient root = unixModule(0x30, "root");
    ModuleClient rootTcp = ModuleClient::tcp(daemon.port());
    EXPECT_TRUE(refused(rootTcp, 0x31));
    ModuleClient a = as(1000, ModuleClient::UNIX);
    EXPECT_TRUE(refused(a, 0x10));
    EXPECT_TRUE(registers(root, 0x32));
    expectStopsCleanly();
    EXPECT_NE(std::string::npos, daemon.logText().find("is writable by others than its owner")) << daemon.logText();
}

} // namespace
} // namespace fault
