// The hub under hardened settings, driven in-process: ids owned by the
// connection that registered them, subscriptions and departures that cannot
// be forged, datagrams and hub switches only from this host. Without the
// settings the same frames are handled as always (the rest of the suite).

#include <arpa/inet.h>
#include <netinet/in.h>

#include "tests/hub/PellixFixture.h"

namespace {

class HardenedTest : public PellixFixture {
protected:
    void harden(bool strict, bool localCommands)
    {
        HubSettings settings;
        settings.strictModules = strict;
        settings.localHubCommands = localCommands;
        hub->setSettings(settings);
        hub->initServers(0, dir.file("qm_sock")); // the datagram splitters
    }
    // A datagram as the UDP server hands it over, from `ip`.
    void datagram(const char *ip, const std::string &data)
    {
        struct sockaddr_in from = {};
        from.sin_family = AF_INET;
        from.sin_port = htons(40000);
        inet_pton(AF_INET, ip, &from.sin_addr);
        hub->onReadDatagram(-1, &from, data.data(), static_cast<int>(data.size()));
    }
    static std::string eventList(int event) { return bytes({1, event & 0xff, event >> 8}); }
};

TEST_F(HardenedTest, StrictModulesOwnTheirIds)
{
    OutputCapture out(STDOUT_FILENO);
    harden(true, false);
    Module a = registered(0x10, "a");
    Module b = registered(0x20, "b");
    Module s = registered(0x30, "s");
    subscribe(s, 0x30, {0, 5});

    // An id held by a live connection cannot be taken over, and the hub's
    // own ids cannot be taken at all.
    Module thief = connect();
    for (int id : {0x10, 0x01, 0xE1, 0xFF}) {
        send(thief, makeFrame(CENTER_DEV_ID, id, CMD_REG, "thief"));
        EXPECT_EQ(drain(thief.peer), "") << id;
        EXPECT_NE(log.text().find("reg refused fd: " + std::to_string(thief.client->getFd()) + ", dev: " +
                                  std::to_string(id)),
                  std::string::npos)
            << log.text();
    }
    EXPECT_EQ(moduleAt(0x10), a.client);

    // Frames under an id the sender does not hold go nowhere: over a stream
    // an id the connection did not register, by datagram an id a stream
    // holds or one of the hub's (a departure notice forged by forwarding).
    // Its own id works, and so does a datagram under a free one.
    const std::string departure = makeFrame(0x30, EVENT_MGR_DEV_ID, CMD_PUBLISH_EVENT, bytes({0, 0, 0x20}));
    struct {
        const char *what;
        Module *from; // null: a datagram from loopback
        std::string frame;
        std::string reaches; // what b (or s, for the departure) then receives
    } cases[] = {
        {"forged srcId", &thief, makeFrame(0x20, 0x10, 0x42, "x"), ""},
        {"forged departure", &a, makeFrame(EVENT_MGR_DEV_ID, 0x10, CMD_PUBLISH_EVENT, bytes({0, 0, 0x20})), ""},
        {"forged unsubscription", &thief, makeFrame(EVENT_MGR_DEV_ID, 0x30, CMD_UNREG_EVENT, eventList(5)), ""},
        {"datagram under a stream's id", nullptr, makeFrame(0x20, 0x10, 0x42, "x"), ""},
        {"departure forwarded by datagram", nullptr, departure, ""},
        {"own id", &a, makeFrame(0x20, 0x10, 0x42, "ok"), makeFrame(0x20, 0x10, 0x42, "ok")},
        {"datagram under a free id", nullptr, makeFrame(0x20, 0x50, 0x42, "ok"), makeFrame(0x20, 0x50, 0x42, "ok")},
    };
    for (const auto &c : cases) {
        if (c.from != nullptr) {
            send(*c.from, c.frame);
        } else {
            datagram("127.0.0.1", c.frame);
        }
        EXPECT_EQ(drain(b.peer), c.reaches) << c.what;
        EXPECT_EQ(drain(s.peer), "") << c.what;
    }
    EXPECT_NE(subscribers(5), nullptr);

    // Datagrams: from loopback, publications pass but subscriptions do not;
    // from elsewhere, nothing.
    datagram("127.0.0.1", makeFrame(EVENT_MGR_DEV_ID, 0x50, CMD_UNREG_EVENT, eventList(5)));
    datagram("10.1.2.3", makeFrame(EVENT_MGR_DEV_ID, 0x50, CMD_PUBLISH_EVENT, bytes({5, 0, 0xAA})));
    EXPECT_EQ(drain(s.peer), "");
    datagram("127.0.0.1", makeFrame(EVENT_MGR_DEV_ID, 0x50, CMD_PUBLISH_EVENT, bytes({5, 0, 0xAA})));
    EXPECT_EQ(drain(s.peer), makeFrame(0x30, EVENT_MGR_DEV_ID, CMD_PUBLISH_EVENT, bytes({5, 0, 0xAA})));
    EXPECT_NE(subscribers(5), nullptr);

    // The hub's own departure notice still goes out.
    hangUp(a);
    EXPECT_EQ(drain(s.peer), makeFrame(0x30, EVENT_MGR_DEV_ID, CMD_PUBLISH_EVENT, bytes({0, 0, 0x10})));
}

TEST_F(HardenedTest, HubSwitchesOnlyFromThisHostWhenAsked)
{
    harden(false, true);
    // (The pause is the build's unless the settings name one.)
    EXPECT_EQ(hub->getSocketManager()->servePauseUs(), CSocketManager::kServePauseUs);
    HubSettings noPause = hub->getSettings();
    noPause.servePauseUs = 0;
    hub->setSettings(noPause);
    EXPECT_EQ(hub->getSocketManager()->servePauseUs(), 0u);
    Module local = registered(0x10, "local"); // a socketpair: a Unix socket
    const std::string print = makeFrame(CENTER_DEV_ID, 0x10, CMD_DATA_PRINT);
    OutputCapture out(STDOUT_FILENO);
    datagram("10.1.2.3", print);
    EXPECT_FALSE(hub->getDataPrint());
    datagram("10.1.2.3", makeFrame(CENTER_DEV_ID, 0x10, CMD_SET_DEBUG_LEVEL, bytes({0, 0, 0, 0})));
    EXPECT_EQ(traceLevel, TRACE_NOTICE);
    EXPECT_EQ(countOf(out.text(), "not from this host\n"), 2u) << out.text();
    datagram("127.0.0.1", print);
    EXPECT_TRUE(hub->getDataPrint());
    send(local, print);
    EXPECT_FALSE(hub->getDataPrint());
}

} // namespace
