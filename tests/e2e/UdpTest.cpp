// Datagrams to the hub's port: hub commands and publications work as over a
// stream; registration does not, since there is no connection to register.

#include "tests/e2e/E2eFixture.h"

namespace e2e {
namespace {

class E2eUdp : public E2eFixture {};

TEST_F(E2eUdp, HubCommandsByDatagramWork)
{
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    // The stream module is only there to tell when the datagrams have been
    // handled: the hub reads one datagram per pass of its loop, and serves
    // the UDP socket before any connection accepted after it.
    ModuleClient module = tcpModule(0x10, "modA");
    ModuleClient datagrams = ModuleClient::udp(daemon.port());
    ASSERT_TRUE(datagrams.isOpen()) << datagrams.error();

    const std::string sent[] = {
        makeFrame(kHubId, 0x30, kCmdDumpSocket),
        // Registration and heartbeat need a connection: nothing happens.
        makeFrame(kHubId, 0x30, kCmdReg, "udpmod"),
        makeFrame(kHubId, 0x30, kCmdHeart),
        makeFrame(kHubId, 0x30, kCmdSetDebugLevel, bytes({0x06, 0x00, 0x00, 0x00})),
        makeFrame(kHubId, 0x30, kCmdDumpSocket),
        // Hex dumps of traffic on, and off again.
        makeFrame(kHubId, 0x30, kCmdDataPrint),
        makeFrame(kHubId, 0x30, kCmdDataPrint),
    };
    for (const std::string &frame : sent) {
        ASSERT_TRUE(datagrams.send(frame));
    }
    for (size_t i = 0; i < sizeof sent / sizeof sent[0]; ++i) {
        ASSERT_TRUE(module.ping());
    }
    // The registration by datagram took no id: a frame for 0x30 goes nowhere.
    ASSERT_TRUE(module.send(makeFrame(0x30, 0x10, 0x0042, "lost")));
    ASSERT_TRUE(module.ping());
    EXPECT_EQ("", datagrams.readFor(50)) << "the hub never answers a datagram";
    EXPECT_EQ(std::string::npos, daemon.logText().find("udpmod"));

    expectStopsCleanly();
    const std::string out = daemon.stdoutText();
    // One table per accepted connection, and one per dump request.
    EXPECT_EQ(countOf(out, " tcp connect\n") + countOf(out, " unix connect\n") + 2, countOf(out, "socket map list:\n"))
        << out;
    const std::string port = std::to_string(daemon.port());
    EXPECT_TRUE(std::regex_search(out, std::regex(" tcp-svr-" + port + " +\\d+ +connected")));
    EXPECT_TRUE(std::regex_search(out, std::regex(" udp-svr-" + port + " +\\d+ +connected")));
    EXPECT_TRUE(std::regex_search(out, std::regex("unix-svr-" + daemon.unixSocketPath() + " +\\d+ +connected")));
    EXPECT_TRUE(std::regex_search(out, std::regex(" modA +\\d+ +connected")));
    // The trace level set by datagram: the confirmation, and from then on
    // the level-6 line of every hub command.
    EXPECT_NE(std::string::npos, out.find("set debug level: 6\n")) << out;
    EXPECT_NE(std::string::npos, out.find("len = 6\n")) << out;
    const size_t opened = out.find("open data print\n");
    ASSERT_NE(std::string::npos, opened) << out;
    EXPECT_NE(std::string::npos, out.find("close data print\n", opened)) << out;
}

TEST_F(E2eUdp, PublicationByDatagramReachesStreamSubscribers)
{
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    ModuleClient first = tcpModule(0x10, "modA");
    ModuleClient second = unixModule(0x11, "modB");
    ASSERT_TRUE(first.subscribe({3}));
    ASSERT_TRUE(second.subscribe({3}));

    ModuleClient datagrams = ModuleClient::udp(daemon.port());
    ASSERT_TRUE(datagrams.isOpen()) << datagrams.error();
    const std::string payload = bytes({0x03, 0x00, 0xAA});
    ASSERT_TRUE(datagrams.send(makeFrame(kEventMgrId, 0x20, kCmdPublishEvent, payload)));
    EXPECT_EQ(hex(eventDelivery(0x10, payload)), hex(first.readExactly(21)));
    EXPECT_EQ(hex(eventDelivery(0x11, payload)), hex(second.readExactly(21)));

    // A frame to a module by datagram is forwarded; one split over two
    // datagrams is joined.
    const std::string frame = makeFrame(0x10, 0x20, 0x0042, bytes({0xAA, 0xBB}));
    ASSERT_TRUE(datagrams.send(frame));
    ASSERT_TRUE(datagrams.send(frame.substr(0, 11)));
    ASSERT_TRUE(datagrams.send(frame.substr(11)));
    EXPECT_EQ(hex(frame + frame), hex(first.readExactly(2 * frame.size())));

    expectStopsCleanly();
}

} // namespace
} // namespace e2e
