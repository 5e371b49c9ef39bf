// A restart of the hub on the same root and port: the client notices the
// loss, reconnects by itself, registers and subscribes again, and tells the
// module only through its connection callback.

#include <unistd.h>

#include <regex>

#include "tests/client/ClientFixture.h"

namespace sdk {
namespace {

using e2e::bytes;
using e2e::hex;
using e2e::makeFrame;

class ClientReconnect : public ClientFixture {
protected:
    void restartHub()
    {
        const uint16_t port = daemon.port();
        ASSERT_EQ(255, daemon.stop(SIGTERM)) << daemon.describeEnd();
        ASSERT_TRUE(daemon.startExpecting(port)) << daemon.lastError();
    }

    size_t registrations(unsigned id, const std::string &name)
    {
        const std::string log = daemon.logText();
        const std::regex line("reg fd: \\d+, dev: " + std::to_string(id) + ", name: " + name + "\n");
        return static_cast<size_t>(std::distance(std::sregex_iterator(log.begin(), log.end(), line),
                                                 std::sregex_iterator()));
    }
};

TEST_F(ClientReconnect, HubRestartIsInvisibleButForTheCallback)
{
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    pellix::CPellixClient client(tcpOptions(0x10, "sdk-survivor"));
    Seen seen;
    seen.attach(client);
    ASSERT_TRUE(client.connect());
    // 6 is withdrawn again: the hub's record keeps it, and a restarted hub
    // would deliver it again if the client did not withdraw it once more.
    ASSERT_TRUE(client.subscribe({5, 6}));
    ASSERT_TRUE(client.unsubscribe({6}));
    ASSERT_TRUE(roundTrip(client, seen));

    const uint16_t port = daemon.port();
    ASSERT_EQ(255, daemon.stop(SIGTERM));
    ASSERT_TRUE(pollUntil(client, [&] { return !seen.connection.empty(); }));
    EXPECT_EQ(std::vector<bool>{false}, seen.connection);
    EXPECT_FALSE(client.isConnected());
    EXPECT_EQ(-1, client.fd());
    EXPECT_EQ(pellix::Status::NotConnected, client.send(0x20, 0x42, "x").status());
    // A second of reconnect attempts against nothing.
    pollUntil(client, [] { return false; }, 1200);
    EXPECT_EQ(std::vector<bool>{false}, seen.connection);

    ASSERT_TRUE(daemon.startExpecting(port)) << daemon.lastError();
    ASSERT_TRUE(pollUntil(client, [&] { return seen.connection.size() == 2; }));
    EXPECT_EQ((std::vector<bool>{false, true}), seen.connection);
    EXPECT_TRUE(client.isRegistered());
    EXPECT_GE(client.fd(), 0);
    EXPECT_EQ(1u, client.stats().reconnects);
    // The log carries on across runs: one registration with each hub.
    EXPECT_EQ(2u, registrations(0x10, "sdk-survivor"));

    // Frames and events reach it as before; the withdrawn event does not.
    e2e::ModuleClient raw = rawModule(0x20, "raw-after");
    ASSERT_TRUE(raw.send(makeFrame(e2e::kEventMgrId, 0x20, e2e::kCmdPublishEvent, bytes({6, 0, 'w'}))));
    ASSERT_TRUE(raw.send(makeFrame(e2e::kEventMgrId, 0x20, e2e::kCmdPublishEvent, bytes({5, 0, 's'}))));
    ASSERT_TRUE(raw.send(makeFrame(0x10, 0x20, 0x0042, "hello again")));
    ASSERT_TRUE(pollUntil(client, [&] { return !seen.frames.empty(); }));
    ASSERT_EQ(1u, seen.events.size());
    EXPECT_EQ(5, seen.events[0].event);
    EXPECT_EQ("s", seen.events[0].data);
    EXPECT_EQ("hello again", seen.frames[0].payload);
    ASSERT_TRUE(client.send(0x20, 0x0043, "reply"));
    EXPECT_EQ(hex(makeFrame(0x20, 0x10, 0x0043, "reply")), hex(raw.readExactly(23)));
}

TEST_F(ClientReconnect, OverTheUnixSocketAndNotAfterClose)
{
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    pellix::CPellixClient client(unixOptions(0x11, "sdk-unix-survivor"));
    pellix::ClientOptions senderOptions = tcpOptions(0x33, "");
    senderOptions.registerModule = false;
    pellix::CPellixClient sender(senderOptions); // reconnects without registering
    Seen seen;
    seen.attach(client);
    Seen senderSeen;
    senderSeen.attach(sender);
    ASSERT_TRUE(client.subscribe({7}));
    ASSERT_TRUE(client.connect());
    ASSERT_TRUE(sender.connect());

    // The new hub starts without the record of subscriptions (as after a
    // wiped /tmp): only the client's own re-subscription brings event 7.
    const uint16_t port = daemon.port();
    ASSERT_EQ(255, daemon.stop(SIGTERM));
    ASSERT_EQ(0, ::unlink(daemon.regMapPath().c_str()));
    ASSERT_TRUE(daemon.startExpecting(port)) << daemon.lastError();
    ASSERT_TRUE(pollUntil(client, [&] { return seen.connection.size() == 2; }));
    ASSERT_TRUE(pollUntil(sender, [&] { return senderSeen.connection.size() == 2; }));
    EXPECT_EQ((std::vector<bool>{false, true}), senderSeen.connection);
    ASSERT_TRUE(sender.publish(7, "unix"));
    ASSERT_TRUE(pollUntil(client, [&] { return !seen.events.empty(); }));
    EXPECT_EQ("unix", seen.events[0].data);

    EXPECT_EQ(2u, registrations(0x11, "sdk-unix-survivor"));

    // After close() the client stays away, whatever the hub does.
    client.close();
    restartHub();
    pollUntil(client, [] { return false; }, 1500);
    EXPECT_FALSE(client.isConnected());
    EXPECT_EQ(2u, seen.connection.size()) << "no notices after close()";
    EXPECT_EQ(2u, registrations(0x11, "sdk-unix-survivor"));
}

} // namespace
} // namespace sdk
