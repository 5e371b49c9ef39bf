// Naming the process at the other end of a connection: this very process
// over a Unix socketpair and over loopback TCP, nobody for a peer that is
// gone or a descriptor that has no peer.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include "tests/support/TestEnvironment.h"
#include "net/PeerProcess.h"
#include "tests/net/NetTestSupport.h"

namespace {

TEST(PeerProcessTest, NamesTheProcessHoldingThePeerSocket)
{
    if (runsUnderEmulation()) {
        GTEST_SKIP() << "qemu-user: the peer socket's holder is not found";
    }
    int unixPair[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, unixPair), 0);
    const int listener = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = loopback(0);
    ASSERT_EQ(bind(listener, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr), 0);
    ASSERT_EQ(listen(listener, 4), 0);
    const int outgoing = connectTcp(boundPort(listener));
    const int accepted = accept(listener, nullptr, nullptr);
    const int gone = connectTcp(boundPort(listener));
    const int orphaned = accept(listener, nullptr, nullptr); // its peer closes: no process holds it
    close(gone);
    const int unconnected = socket(AF_INET, SOCK_STREAM, 0);
    int pipeEnds[2];
    ASSERT_EQ(pipe(pipeEnds), 0);

    const struct {
        int fd;
        pid_t pid;
    } cases[] = {{unixPair[0], getpid()}, {accepted, getpid()}, {outgoing, getpid()},
                 {orphaned, -1},          {unconnected, -1},    {pipeEnds[0], -1}};
    for (const auto &c : cases) {
        EXPECT_EQ(PeerProcess::peerPid(c.fd), c.pid) << &c - cases;
    }
    pid_t pid = -1;
    uid_t uid = 0;
    EXPECT_TRUE(PeerProcess::peerCredentials(unixPair[1], pid, uid));
    EXPECT_EQ(pid, getpid());
    EXPECT_EQ(uid, getuid());
    EXPECT_FALSE(PeerProcess::peerCredentials(accepted, pid, uid));
    for (int fd : {unixPair[0], unixPair[1], listener, outgoing, accepted, orphaned, unconnected, pipeEnds[0],
                   pipeEnds[1]}) {
        close(fd);
    }
}

} // namespace
