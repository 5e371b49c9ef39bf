// Modules registering over TCP and the Unix socket, and frames travelling
// between them through the hub byte for byte.

#include <chrono>
#include <thread>

#include "tests/e2e/E2eFixture.h"

namespace e2e {
namespace {

class E2eRegistration : public E2eFixture {};
class E2eForwarding : public E2eFixture {};

// The frame the hub's own notes use: 0x20 to 0x10, cmd 0x0042, AA BB.
const std::string kSampleFrame = bytes({'<', 's', 't', 'a', 'r', 't', '>', 0x08, 0x00, 0x10, 0x20, 0x42, 0x00, 0xAA,
                                        0xBB, '<', 'e', 'n', 'd', '>'});

TEST_F(E2eRegistration, EveryTransportGetsTheReplyAndALogLine)
{
    ASSERT_TRUE(daemon.start()) << daemon.lastError();

    ModuleClient overTcp = ModuleClient::tcp(daemon.port());
    ASSERT_TRUE(overTcp.isOpen()) << overTcp.error();
    EXPECT_EQ(hex(bytes({0x3C, 0x73, 0x74, 0x61, 0x72, 0x74, 0x3E, 0x06, 0x00, 0x10, 0x01, 0x01, 0x00, 0x3C, 0x65,
                         0x6E, 0x64, 0x3E})),
              hex(overTcp.registerAs(0x10, "modA")));

    ModuleClient overUnix = ModuleClient::unixStream(daemon.unixSocketPath());
    ASSERT_TRUE(overUnix.isOpen()) << overUnix.error();
    EXPECT_EQ(hex(registrationReply(0x11)), hex(overUnix.registerAs(0x11, "modB")));

    // No name: the module is named after its descriptor.
    ModuleClient nameless = ModuleClient::tcp(daemon.port());
    ASSERT_TRUE(nameless.isOpen()) << nameless.error();
    EXPECT_EQ(hex(registrationReply(0x12)), hex(nameless.registerAs(0x12, "")));

    // Registering again is answered again.
    EXPECT_EQ(hex(registrationReply(0x10)), hex(overTcp.registerAs(0x10, "modA")));

    const std::string log = daemon.logText();
    EXPECT_TRUE(std::regex_search(log, std::regex("\\[warning\\] reg fd: \\d+, dev: 16, name: modA\n"))) << log;
    EXPECT_TRUE(std::regex_search(log, std::regex("\\[warning\\] reg fd: \\d+, dev: 17, name: modB\n"))) << log;
    EXPECT_TRUE(std::regex_search(log, std::regex("\\[warning\\] reg fd: (\\d+), dev: 18, name: \\1\n"))) << log;
    EXPECT_EQ(2u, countOf(log, ", dev: 16, name: modA\n"));

    expectStopsCleanly();
    EXPECT_NE(std::string::npos, daemon.stdoutText().find(" tcp connect\n"));
    EXPECT_NE(std::string::npos, daemon.stdoutText().find(" unix connect\n"));
}

TEST_F(E2eForwarding, FrameArrivesByteForByteBetweenTcpAndUnix)
{
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    ModuleClient overUnix = unixModule(0x10, "modA");
    ModuleClient overTcp = tcpModule(0x20, "modB");

    // TCP to Unix: the sample frame, untouched.
    ASSERT_TRUE(overTcp.send(kSampleFrame));
    EXPECT_EQ(hex(kSampleFrame), hex(overUnix.readExactly(kSampleFrame.size())));

    // Unix to TCP, with a payload long enough to take several reads.
    std::string payload;
    for (int i = 0; i < 5000; ++i) {
        payload += static_cast<char>(i * 7 + 3);
    }
    const std::string large = makeFrame(0x20, 0x10, 0x0101, payload);
    ASSERT_TRUE(overUnix.send(large));
    const std::string got = overTcp.readExactly(large.size());
    EXPECT_EQ(large.size(), got.size());
    EXPECT_TRUE(got == large) << "the 5018-byte frame came back changed";

    // A frame for an id nobody holds goes nowhere.
    ASSERT_TRUE(overTcp.send(makeFrame(0x55, 0x20, 0x0042, "lost")));
    std::string unexpected;
    EXPECT_TRUE(overTcp.ping(&unexpected)) << hex(unexpected);
    EXPECT_TRUE(overUnix.ping(&unexpected)) << hex(unexpected);

    expectStopsCleanly();
}

TEST_F(E2eForwarding, SeveralFramesInOneWriteAndOneFrameInPiecesArriveInOrder)
{
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    ModuleClient first = tcpModule(0x10, "modA");
    ModuleClient second = unixModule(0x11, "modB");
    ModuleClient sender = tcpModule(0x20, "modC");

    // One write: stray bytes, then frames for two modules, interleaved.
    const std::string a1 = makeFrame(0x10, 0x20, 0x0042, bytes({0x01}));
    const std::string b1 = makeFrame(0x11, 0x20, 0x0043, bytes({0x02, 0x02}));
    const std::string a2 = makeFrame(0x10, 0x20, 0x0044, "");
    const std::string a3 = makeFrame(0x10, 0x20, 0x0045, "<start> inside does no harm");
    ASSERT_TRUE(sender.send("xyz" + a1 + b1 + a2 + a3));
    EXPECT_EQ(hex(a1 + a2 + a3), hex(first.readExactly(a1.size() + a2.size() + a3.size())));
    EXPECT_EQ(hex(b1), hex(second.readExactly(b1.size())));

    // One frame in three writes, apart enough to be read one by one.
    const std::string pieces[] = {kSampleFrame.substr(0, 5), kSampleFrame.substr(5, 9), kSampleFrame.substr(14)};
    for (const std::string &piece : pieces) {
        ASSERT_TRUE(sender.send(piece));
        std::this_thread::sleep_for(std::chrono::milliseconds(30));
    }
    EXPECT_EQ(hex(kSampleFrame), hex(first.readExactly(kSampleFrame.size())));

    // Nothing else is on its way to either of them.
    std::string unexpected;
    EXPECT_TRUE(first.ping(&unexpected)) << hex(unexpected);
    EXPECT_TRUE(second.ping(&unexpected)) << hex(unexpected);

    expectStopsCleanly();
}

TEST_F(E2eForwarding, AnIdTakenOverLeadsToTheNewConnection)
{
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    ModuleClient sender = tcpModule(0x20, "modC");
    ModuleClient old = tcpModule(0x10, "modA");
    ModuleClient fresh = unixModule(0x10, "modA2");

    ASSERT_TRUE(sender.send(kSampleFrame));
    EXPECT_EQ(hex(kSampleFrame), hex(fresh.readExactly(kSampleFrame.size())));
    // The old connection stays open but gets nothing: its own echo comes
    // back to the new holder of the id.
    ASSERT_TRUE(old.send(makeFrame(0x10, 0x10, 0x0070, "x")));
    EXPECT_EQ(hex(makeFrame(0x10, 0x10, 0x0070, "x")), hex(fresh.readExactly(19)));
    EXPECT_EQ("", old.readFor(100));

    expectStopsCleanly();
}

} // namespace
} // namespace e2e
