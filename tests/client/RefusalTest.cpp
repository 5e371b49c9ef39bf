// What the hub could never deliver is refused with a reason, and nothing of
// it goes out: the next thing the peer receives is the next good frame.

#include <pellix/CUdpSender.h>

#include "tests/client/ClientFixture.h"

namespace sdk {
namespace {

using e2e::hex;
using e2e::makeFrame;

class ClientRefusal : public ClientFixture {
protected:
    void SetUp() override { ASSERT_TRUE(daemon.start()) << daemon.lastError(); }

    static void expectRefused(const pellix::Result &r, const std::string &reason)
    {
        EXPECT_EQ(pellix::Status::InvalidArgument, r.status()) << r.message();
        EXPECT_NE(std::string::npos, r.message().find(reason)) << r.message();
    }
};

TEST_F(ClientRefusal, StreamClientSendsNothingItCannotDeliver)
{
    pellix::CPellixClient client(tcpOptions(0x10, "sdk-refusals"));
    Seen seen;
    seen.attach(client);
    ASSERT_TRUE(client.connect());
    e2e::ModuleClient raw = rawModule(0x20, "raw-refusals");
    ASSERT_TRUE(raw.subscribe({5}));

    expectRefused(client.send(0x20, 0x42, std::string(pellix::kMaxPayload + 1, 'x')),
                  "payload of 65530 bytes does not fit a frame (at most 65529)");
    expectRefused(client.send(0x100, 0x42, "x"), "destination 256 is not a module id");
    expectRefused(client.send(-1, 0x42, "x"), "destination -1 is not a module id");
    expectRefused(client.send(0x20, 0x10000, "x"), "command 65536 does not fit 16 bits");
    expectRefused(client.send(0x20, -1, "x"), "command -1 does not fit 16 bits");

    expectRefused(client.publish(0x8000, "x"), "event 32768 can never be delivered");
    expectRefused(client.publish(0xFFFF, "x"), "event 65535 can never be delivered");
    expectRefused(client.publish(-1, "x"), "event -1 can never be delivered");
    expectRefused(client.publish(0, "x"), "event 0 is the hub's own departure notice");
    expectRefused(client.publish(5, std::string(pellix::kMaxEventData + 1, 'x')),
                  "event data of 65528 bytes does not fit a frame (at most 65527)");

    expectRefused(client.subscribe({6, 0x8000}), "event 32768 can never be delivered");
    EXPECT_TRUE(client.subscriptions().empty()) << "a refused list is not remembered in part";
    expectRefused(client.subscribe({-1}), "event -1 can never be delivered");
    expectRefused(client.unsubscribe({0x10000}), "event 65536 does not fit 16 bits");
    expectRefused(client.setHubTraceLevel(7), "trace level 7 is outside 0");
    expectRefused(client.setHubTraceLevel(-1), "trace level -1 is outside 0");

    // Nothing of that reached anyone: the next frame is the first thing
    // the raw module gets.
    ASSERT_TRUE(client.send(0x20, 0x42, "after"));
    EXPECT_EQ(hex(makeFrame(0x20, 0x10, 0x42, "after")), hex(raw.readExactly(23)));
    // The limits themselves are fine.
    ASSERT_TRUE(client.publish(0x7FFF, std::string(pellix::kMaxEventData, 'e')));
    const std::string delivery = e2e::eventDelivery(0x20, e2e::bytes({0xFF, 0x7F}) + std::string(65527, 'e'));
    EXPECT_EQ(0u, raw.readFor(300).size()) << "nobody is subscribed to 0x7fff";
    ASSERT_TRUE(raw.subscribe({0x7FFF}));
    ASSERT_TRUE(client.publish(0x7FFF, std::string(pellix::kMaxEventData, 'e')));
    EXPECT_TRUE(delivery == raw.readExactly(delivery.size())) << "the largest publication did not arrive whole";
    // Withdrawing any 16-bit event is allowed, even one no publication can
    // reach.
    EXPECT_TRUE(client.unsubscribe({0x8000}));
    EXPECT_TRUE(roundTrip(client, seen));
}

TEST_F(ClientRefusal, NotConnectedIsNoSilentSuccess)
{
    pellix::CPellixClient client(tcpOptions(0x10, "sdk-offline"));
    pellix::Result r = client.send(0x20, 0x42, "x");
    EXPECT_EQ(pellix::Status::NotConnected, r.status());
    EXPECT_EQ("not connected to the hub; the frame was not sent", r.message());
    EXPECT_EQ(pellix::Status::NotConnected, client.publish(5, "x").status());
    EXPECT_EQ(pellix::Status::NotConnected, client.dumpSockets().status());
    EXPECT_EQ(pellix::Status::NotConnected, client.heartbeat().status());
    // Subscriptions are remembered for the connection to come.
    EXPECT_TRUE(client.subscribe({5}));
    EXPECT_EQ(std::vector<int>{5}, client.subscriptions());

    ASSERT_TRUE(client.connect());
    client.close();
    EXPECT_EQ(pellix::Status::NotConnected, client.send(0x20, 0x42, "x").status());
    EXPECT_EQ(0, client.poll(0));
    EXPECT_EQ(pellix::Status::NotConnected, pellix::CUdpSender().publish(5, "x").status());
}

TEST_F(ClientRefusal, DatagramsThatTheHubWouldCutShort)
{
    e2e::ModuleClient raw = rawModule(0x20, "raw-datagrams");
    pellix::CUdpSender udp;
    expectRefused(udp.open("127.0.0.1", 0), "port 0 is not 1 to 65535");
    expectRefused(udp.open("127.0.0.1", daemon.port(), 0x100), "source id 256");
    ASSERT_TRUE(udp.open("127.0.0.1", daemon.port(), 0x31));

    expectRefused(udp.send(0x20, 0x42, std::string(pellix::kMaxUdpPayload + 1, 'd')),
                  "datagram payload of 2031 bytes does not fit a frame (at most 2030)");
    expectRefused(udp.publish(5, std::string(pellix::kMaxUdpPayload - 1, 'd')),
                  "datagram event data of 2029 bytes does not fit a frame (at most 2028)");
    expectRefused(udp.publish(0x8000, "x"), "event 32768 can never be delivered");
    expectRefused(udp.setHubTraceLevel(9), "trace level 9");

    const std::string largest(pellix::kMaxUdpPayload, 'd');
    ASSERT_TRUE(udp.send(0x20, 0x42, largest));
    const std::string expected = makeFrame(0x20, 0x31, 0x42, largest);
    EXPECT_EQ(hex(expected), hex(raw.readExactly(expected.size())));
}

} // namespace
} // namespace sdk
