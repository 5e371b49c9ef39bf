// Datagrams from a hostile sender. Every sender address has a splitter of
// its own, so an unfinished frame from one sender can never swallow what
// another sends; a frame may still span several datagrams of one sender; and
// a datagram too long to be read whole is dropped whole, not cut.

#include "tests/fault/FaultFixture.h"

namespace fault {
namespace {

class FaultHostileUdp : public FaultFixture {};

TEST_F(FaultHostileUdp, SendersCannotSpliceIntoEachOtherAndOversizedDatagramsAreDroppedWhole)
{
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    ModuleClient target = tcpModule(0x10, "modTarget");
    ModuleClient attacker = tcpModule(0x66, "modAttacker");
    ModuleClient hostile = ModuleClient::udp(daemon.port());
    ModuleClient sender = ModuleClient::udp(daemon.port());
    ModuleClient other = ModuleClient::udp(daemon.port());
    ASSERT_TRUE(hostile.isOpen() && sender.isOpen() && other.isOpen()) << hostile.error();

    // A start marker and a header addressed to the attacker itself, with a
    // len that covers whatever comes next: the frame is never finished.
    const std::string opened = makeFrameWithLen(1000, 0x66, 0x66, 0x0042, std::string()).substr(0, 13);
    ASSERT_TRUE(hostile.send(opened));
    const std::string whole = makeFrame(0x10, 0x30, 0x0042, "from another sender");
    ASSERT_TRUE(sender.send(whole));
    EXPECT_EQ(hex(whole), hex(target.readExactly(whole.size())));
    std::string unexpected;
    EXPECT_TRUE(attacker.ping(&unexpected)) << "the attacker got: " << hex(unexpected);

    // One sender's frame in two datagrams, with another sender's frame in
    // between: both arrive whole.
    const std::string split = makeFrame(0x10, 0x31, 0x0043, std::string(300, 's'));
    const std::string between = makeFrame(0x10, 0x32, 0x0044, "between");
    ASSERT_TRUE(sender.send(split.substr(0, 100)));
    ASSERT_TRUE(other.send(between));
    ASSERT_TRUE(sender.send(split.substr(100)));
    EXPECT_EQ(hex(between + split), hex(target.readExactly(between.size() + split.size())));

    // 3000 bytes, led by a whole frame: the hub reads at most 2048 bytes of
    // a datagram, and what it could not read whole it drops whole.
    const std::string lead = makeFrame(0x10, 0x31, 0x0045, "in an oversized datagram");
    ASSERT_TRUE(sender.send(lead + std::string(3000 - lead.size(), 'z')));
    EXPECT_TRUE(target.ping(&unexpected)) << "delivered from an oversized datagram: " << hex(unexpected);
    const std::string after = makeFrame(0x10, 0x31, 0x0046, "after");
    ASSERT_TRUE(sender.send(after));
    EXPECT_EQ(hex(after), hex(target.readExactly(after.size())));
    EXPECT_TRUE(attacker.ping(&unexpected)) << "the attacker got: " << hex(unexpected);

    expectStopsCleanly();
    EXPECT_NE(std::string::npos, daemon.stdoutText().find("drop datagram of 3000 bytes, longer than 2048"));
}

} // namespace
} // namespace fault
