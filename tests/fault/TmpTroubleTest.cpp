// A /tmp that cannot take the subscription record or the Unix socket: full
// from the start, filling up while the hub runs, read-only, or with the
// names taken by directories. The hub must start, say what failed, keep
// serving TCP and UDP with live subscriptions, and never damage the record
// it has.
//
// The real cases use a mount namespace of the daemon's own, with a tmpfs or
// a read-only bind over <root>/tmp; they are skipped where the machine does
// not allow one. Taking the names with directories needs no privilege.

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>

#include "tests/fault/FaultFixture.h"

namespace fault {
namespace {

class FaultTmp : public FaultFixture {
protected:
    // Publishes `event` by datagram, as a module without a connection would.
    void publishByDatagram(uint16_t event)
    {
        ModuleClient udp = ModuleClient::udp(daemon.port());
        ASSERT_TRUE(udp.isOpen()) << udp.error();
        ASSERT_TRUE(udp.send(makeFrame(kEventMgrId, 0x30, kCmdPublishEvent, payloadOf(event))));
    }

    static std::string payloadOf(uint16_t event) { return bytes({event & 0xff, event >> 8, 0x77}); }

    // The subscriber receives the publication of `event`, and nothing else
    // is waiting for it.
    void expectDelivery(ModuleClient &subscriber, uint16_t event)
    {
        const std::string expected = eventDelivery(subscriber.id(), payloadOf(event));
        EXPECT_EQ(hex(expected), hex(subscriber.readExactly(expected.size()))) << "event " << event;
        std::string unexpected;
        EXPECT_TRUE(subscriber.ping(&unexpected)) << hex(unexpected);
    }

    void skipWithoutCover(DaemonProcess::TmpCover cover)
    {
        if (!DaemonProcess::tmpCoverAvailable(cover)) {
            GTEST_SKIP() << "no mount namespace of its own for the daemon on this machine";
        }
    }

    std::string tmpPath() const { return daemon.root() + "/tmp"; }
};

const char kSavedRecord[] = "{\n   \"3\" : [ 16 ]\n}\n";

// Fills the file system holding `path` with one file; false if it never
// reported a full disk.
bool fillUp(const std::string &path)
{
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        return errno == ENOSPC;
    }
    const std::string block(4096, 'z');
    bool full = false;
    for (int i = 0; i < 100000 && !full; ++i) {
        full = write(fd, block.data(), block.size()) < 0 && errno == ENOSPC;
    }
    close(fd);
    return full;
}

TEST_F(FaultTmp, NamesTakenByDirectoriesAreLeftAloneAndTcpAndUdpServing)
{
    writeFile(daemon.regMapPath(), kSavedRecord);
    dir.makeDirs("tmp/regMap.json.tmp");
    dir.makeDirs("tmp/qm_sock/inside");
    daemon.expectNoUnixSocket();
    ASSERT_TRUE(daemon.start()) << daemon.lastError();

    ModuleClient subscriber = tcpModule(0x10, "modA");
    publishByDatagram(3); // replayed from the record
    expectDelivery(subscriber, 3);
    // The record's temporary file has a name of its own: a directory at
    // a fixed name cannot stop the save.
    ASSERT_TRUE(subscriber.subscribe({4}));
    publishByDatagram(4);
    expectDelivery(subscriber, 4);
    EXPECT_EQ("{\n   \"3\" : [ 16 ],\n   \"4\" : [ 16 ]\n}\n", readFile(daemon.regMapPath()));
    EXPECT_FALSE(ModuleClient::unixStream(daemon.unixSocketPath()).isOpen());

    expectStopsCleanly();
    EXPECT_NE(std::string::npos, daemon.stdoutText().find("/tmp/qm_sock is not a socket, left alone\n"))
        << tail(daemon.stdoutText());
    EXPECT_TRUE(fileExists(daemon.root() + "/tmp/qm_sock/inside"));
    EXPECT_TRUE(fileExists(daemon.root() + "/tmp/regMap.json.tmp"));
}

TEST_F(FaultTmp, TmpWithNoRoomAtAllAtStart)
{
    skipWithoutCover(DaemonProcess::TMP_TMPFS);
    // Not even one more inode: neither the record nor the socket can be made.
    daemon.coverTmp(DaemonProcess::TMP_TMPFS, "size=16k,nr_inodes=1");
    daemon.expectNoUnixSocket();
    ASSERT_TRUE(daemon.start()) << daemon.lastError();

    ModuleClient subscriber = tcpModule(0x10, "modA");
    ASSERT_TRUE(subscriber.subscribe({3, 5}));
    publishByDatagram(5);
    expectDelivery(subscriber, 5);
    ModuleClient publisher = tcpModule(0x20, "modB");
    ASSERT_TRUE(publisher.send(makeFrame(kEventMgrId, 0x20, kCmdPublishEvent, payloadOf(3))));
    expectDelivery(subscriber, 3);
    EXPECT_FALSE(fileExists(daemon.seenByDaemon(daemon.regMapPath())));
    EXPECT_FALSE(ModuleClient::unixStream(daemon.seenByDaemon(daemon.unixSocketPath())).isOpen());

    expectStopsCleanly();
    EXPECT_NE(std::string::npos, daemon.stderrText().find("bind error: No space left on device"))
        << daemon.stderrText();
    EXPECT_NE(std::string::npos, daemon.stdoutText().find("file not exist!\n"));
    // Nothing reached the directory under the cover.
    EXPECT_FALSE(fileExists(daemon.regMapPath()));
    EXPECT_FALSE(fileExists(daemon.unixSocketPath()));
}

TEST_F(FaultTmp, RecordStaysWholeWhenTmpFillsUpAndCatchesUpOnceThereIsRoom)
{
    skipWithoutCover(DaemonProcess::TMP_TMPFS);
    daemon.coverTmp(DaemonProcess::TMP_TMPFS, "size=256k");
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    const std::string record = daemon.seenByDaemon(daemon.regMapPath());
    const std::string socketPath = daemon.seenByDaemon(daemon.unixSocketPath());
    const std::string filler = daemon.seenByDaemon(tmpPath() + "/filler");

    ModuleClient subscriber = registered(ModuleClient::unixStream(socketPath), 0x10, "modA");
    ModuleClient publisher = tcpModule(0x20, "modB");
    ASSERT_TRUE(subscriber.subscribe({3}));
    ASSERT_EQ(kSavedRecord, readFile(record));

    ASSERT_TRUE(fillUp(filler)) << "the tmpfs never filled";
    ASSERT_TRUE(subscriber.subscribe({4}));
    ASSERT_TRUE(publisher.send(makeFrame(kEventMgrId, 0x20, kCmdPublishEvent, payloadOf(4))));
    expectDelivery(subscriber, 4);
    EXPECT_EQ(kSavedRecord, readFile(record)) << "the record was damaged by a save that found no room";
    EXPECT_FALSE(fileExists(record + ".tmp"));
    // Connections over the socket in the full file system still come in.
    ModuleClient late = registered(ModuleClient::unixStream(socketPath), 0x11, "modC");
    std::string unexpected;
    EXPECT_TRUE(late.ping(&unexpected)) << hex(unexpected);

    // With room again, the next save writes what the failed one could not.
    ASSERT_EQ(0, unlink(filler.c_str()));
    ASSERT_TRUE(late.subscribe({5}));
    EXPECT_EQ("{\n   \"3\" : [ 16 ],\n   \"4\" : [ 16 ],\n   \"5\" : [ 17 ]\n}\n", readFile(record));

    expectStopsCleanly();
    EXPECT_FALSE(fileExists(daemon.regMapPath())) << "the tmpfs leaked into the test's view";
}

TEST_F(FaultTmp, ReadOnlyTmpKeepsTheRecordAndTcpAndUdpServing)
{
    skipWithoutCover(DaemonProcess::TMP_READ_ONLY);
    writeFile(daemon.regMapPath(), kSavedRecord);
    daemon.coverTmp(DaemonProcess::TMP_READ_ONLY);
    daemon.expectNoUnixSocket();
    ASSERT_TRUE(daemon.start()) << daemon.lastError();

    ModuleClient subscriber = tcpModule(0x10, "modA");
    publishByDatagram(3);
    expectDelivery(subscriber, 3);
    ASSERT_TRUE(subscriber.subscribe({4}));
    publishByDatagram(4);
    expectDelivery(subscriber, 4);
    EXPECT_EQ(kSavedRecord, readFile(daemon.seenByDaemon(daemon.regMapPath())));
    EXPECT_FALSE(ModuleClient::unixStream(daemon.seenByDaemon(daemon.unixSocketPath())).isOpen());

    expectStopsCleanly();
    EXPECT_NE(std::string::npos, daemon.stderrText().find("bind error: Read-only file system"))
        << daemon.stderrText();
    EXPECT_NE(std::string::npos, daemon.stdoutText().find("bind error\n"));
    EXPECT_EQ(kSavedRecord, readFile(daemon.regMapPath()));
    EXPECT_FALSE(fileExists(daemon.regMapPath() + ".tmp"));
}

} // namespace
} // namespace fault
