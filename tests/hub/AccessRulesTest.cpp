// The access rules: what a file of rules grants each kind of peer, what it
// refuses to be read as, and when a file is not trusted at all.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <string>

#include "hub/AccessRules.h"
#include "tests/support/TempDir.h"

namespace {

PeerIdentity peer(PeerIdentity::Kind kind, bool known = false, uid_t uid = 0, gid_t gid = 0,
                  std::vector<gid_t> groups = {})
{
    PeerIdentity who;
    who.kind = kind;
    who.known = known;
    who.uid = uid;
    who.gid = gid;
    who.groups = groups;
    return who;
}

const char kRules[] = R"({
  // Comments explain a device's rules.
  "rules": [
    { "uid": 0, "allow": "all" },
    { "uid": 1000, "register": ["0x10-0x1f", 40], "send": ["0x20"], "publish": ["100-199"],
      "subscribe": ["0", "100-0x12b"] },
    { "user": "nobody", "register": ["0x21"] },
    { "group": "nogroup", "inspect": true },
    { "gid": 3000, "commands": true },
    { "user": "no-such-user-here", "allow": "all" },
    { "remote": true, "subscribe": ["7"] },
    { "datagram": true, "publish": ["150"] }
  ],
  "limits": { "connectionsPerUid": 3, "queuedBytesPerUid": 4096 }
})";

TEST(AccessRulesTest, EachPeerGetsWhatTheRulesThatMatchItGrantAndNothingElse)
{
    AccessRules rules;
    std::string why;
    ASSERT_TRUE(rules.parse(kRules, why)) << why;
    EXPECT_EQ(rules.size(), 8u);
    EXPECT_EQ(rules.limits().connectionsPerUid, 3u);
    EXPECT_EQ(rules.limits().subscriptionsPerUid, 0u);
    EXPECT_EQ(rules.unknownNames(), std::vector<std::string>{"user no-such-user-here"});

    struct Case {
        const char *what;
        PeerIdentity who;
        int reg, notReg, send, notSend, pub, notPub, sub, notSub;
        bool inspect, commands;
    };
    const Case cases[] = {
        {"root over TCP", peer(PeerIdentity::kLoopbackTcp, true, 0), 0xE0, -1, 0x77, -1, 0, -1, 65535, -1, true, true},
        {"uid 1000", peer(PeerIdentity::kUnixSocket, true, 1000, 1000), 0x1f, 0x20, 0x20, 0x21, 199, 200, 0x12b, 0x12c,
         false, false},
        {"uid 1000 in group 3000", peer(PeerIdentity::kUnixSocket, true, 1000, 1000, {1000, 3000}), 40, 41, 0x20, 0x10,
         100, 99, 0, 1, false, true},
        {"nobody in nogroup", peer(PeerIdentity::kLoopbackTcp, true, 65534, 65534, {65534}), 0x21, 0x10, -1, 0x20, -1,
         150, -1, 0, true, false},
        {"remote", peer(PeerIdentity::kRemoteTcp), -1, 0x10, -1, 0x20, -1, 150, 7, 8, false, false},
        {"datagram", PeerIdentity::ofDatagram(), -1, 0x10, -1, 0x20, 150, 151, -1, 7, false, false},
        {"unknown user over the Unix socket", peer(PeerIdentity::kUnixSocket), -1, 0x10, -1, 0x20, -1, 150, -1, 0,
         false, false},
    };
    for (const Case &c : cases) {
        AccessGrant g;
        rules.grant(c.who, g);
        if (c.reg >= 0) {
            EXPECT_TRUE(g.registerIds.test(c.reg)) << c.what;
        }
        if (c.send >= 0) {
            EXPECT_TRUE(g.sendTo.test(c.send)) << c.what;
        }
        if (c.pub >= 0) {
            EXPECT_TRUE(g.publish.test(c.pub)) << c.what;
        }
        if (c.sub >= 0) {
            EXPECT_TRUE(g.subscribe.test(c.sub)) << c.what;
        }
        EXPECT_FALSE(c.notReg >= 0 && g.registerIds.test(c.notReg)) << c.what;
        EXPECT_FALSE(c.notSend >= 0 && g.sendTo.test(c.notSend)) << c.what;
        EXPECT_FALSE(c.notPub >= 0 && g.publish.test(c.notPub)) << c.what;
        EXPECT_FALSE(c.notSub >= 0 && g.subscribe.test(c.notSub)) << c.what;
        EXPECT_EQ(g.inspect, c.inspect) << c.what;
        EXPECT_EQ(g.commands, c.commands) << c.what;
    }
}

TEST(AccessRulesTest, AFileThatIsNotStrictlyRulesIsRefusedWholeAndTheOldRulesStand)
{
    const std::string deep = "{\"rules\": [" + std::string(100, '[') + std::string(100, ']') + "]}";
    const char *const broken[] = {
        "",
        "[]",
        "{\"rules\": {}}",
        "{\"rule\": []}",
        "{\"rules\": [{\"uid\": 1, \"regster\": [1]}]}",
        "{\"rules\": [{\"register\": [1]}]}",
        "{\"rules\": [{\"uid\": 1, \"user\": \"root\"}]}",
        "{\"rules\": [{\"uid\": -1}]}",
        "{\"rules\": [{\"uid\": 1, \"register\": [256]}]}",
        "{\"rules\": [{\"uid\": 1, \"register\": [\"0x20-0x10\"]}]}",
        "{\"rules\": [{\"uid\": 1, \"publish\": [\"65536\"]}]}",
        "{\"rules\": [{\"uid\": 1, \"send\": [\"1 - 2\"]}]}",
        "{\"rules\": [{\"uid\": 1, \"send\": \"0x10\"}]}",
        "{\"rules\": [{\"uid\": 1, \"allow\": \"everything\"}]}",
        "{\"rules\": [{\"remote\": false}]}",
        "{\"rules\": [{\"uid\": 1, \"inspect\": 1}]}",
        "{\"rules\": [{\"uid\": 1, \"uid\": 2}]}",
        "{\"rules\": [], \"limits\": {\"connectionsPerUid\": -3}}",
        "{\"rules\": [], \"limits\": {\"sockets\": 3}}",
    };
    AccessRules rules;
    std::string why;
    ASSERT_TRUE(rules.parse("{\"rules\": [{\"uid\": 5, \"allow\": \"all\"}]}", why)) << why;
    std::vector<std::string> texts(std::begin(broken), std::end(broken));
    texts.push_back(deep);
    for (const std::string &text : texts) {
        why.clear();
        EXPECT_FALSE(rules.parse(text, why)) << text;
        EXPECT_FALSE(why.empty()) << text;
        EXPECT_EQ(rules.size(), 1u) << text;
    }
}

TEST(AccessRulesTest, OnlyAFileOfRootsThatNobodyElseMayWriteIsRead)
{
    TempDir dir;
    const std::string good = dir.file("access.json");
    FILE *f = fopen(good.c_str(), "w");
    ASSERT_NE(f, nullptr);
    fputs("{\"rules\": [{\"uid\": 7, \"inspect\": true}]}", f);
    fclose(f);
    ASSERT_EQ(chmod(good.c_str(), 0644), 0);
    const std::string link = dir.file("link.json");
    ASSERT_EQ(symlink(good.c_str(), link.c_str()), 0);
    const std::string open = dir.file("open.json");
    ASSERT_EQ(system(("cp " + good + " " + open + " && chmod 0664 " + open).c_str()), 0);

    AccessRules rules;
    std::string why;
    EXPECT_TRUE(rules.load(good, why)) << why;
    for (const std::string &path : {link, open, dir.path(), dir.file("missing.json")}) {
        why.clear();
        EXPECT_FALSE(rules.load(path, why)) << path;
        EXPECT_FALSE(why.empty()) << path;
    }
    if (geteuid() == 0) {
        const std::string foreign = dir.file("foreign.json");
        ASSERT_EQ(system(("cp " + good + " " + foreign + " && chown 1234 " + foreign).c_str()), 0);
        EXPECT_FALSE(rules.load(foreign, why));
        EXPECT_NE(why.find("owned by uid 1234"), std::string::npos) << why;
    }

    // Refused rules let only root over the Unix socket in.
    const AccessRules fallback;
    AccessGrant g;
    fallback.grant(peer(PeerIdentity::kUnixSocket, true, 0), g);
    EXPECT_TRUE(g.inspect && g.registerIds.all());
    fallback.grant(peer(PeerIdentity::kLoopbackTcp, true, 0), g);
    EXPECT_FALSE(g.inspect || g.registerIds.any() || g.sendTo.any() || g.publish.any());
}

} // namespace
