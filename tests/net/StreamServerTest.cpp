// TCP and Unix-domain stream servers and clients on loopback and in a
// temporary directory: start-up failures, accepting, connecting, paths that
// do not fit, and accepted descriptors beyond the select limit.

#include <gtest/gtest.h>

#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "net/CSocketClient.h"
#include "net/CTcpClient.h"
#include "net/CTcpServer.h"
#include "net/CUdpServer.h"
#include "net/CUnixClient.h"
#include "net/CUnixServer.h"
#include "tests/net/NetTestSupport.h"
#include "tests/net/TraceLines.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestEnvironment.h"

namespace {

struct Accepted {
    CSocketClient *client;
    CSocketServer *server;
    const void *extra;
};

class SocketServerTest : public ::testing::Test {
protected:
    void TearDown() override
    {
        for (const Accepted &a : accepted) {
            delete a.client;
        }
        for (int fd : peers) {
            close(fd);
        }
    }
    AcceptCallback collector()
    {
        return [this](CSocketClient *client, CSocketServer *server, const void *extra) {
            accepted.push_back(Accepted{client, server, extra});
        };
    }
    int keep(int peer)
    {
        if (peer >= 0) {
            peers.push_back(peer);
        }
        return peer;
    }

    TraceLevelScope level{TRACE_DEBUG};
    std::vector<Accepted> accepted;
    std::vector<int> peers;
};

// A path of exactly `length` characters inside dir.
std::string pathOfLength(const TempDir &dir, size_t length, char filler)
{
    std::string path = dir.path() + "/";
    path += std::string(length - path.size(), filler);
    return path;
}

TEST_F(SocketServerTest, TcpServerWithPortZeroRefusesAndClosesItsSocket)
{
    CTcpServer server(0);
    OutputCapture out(1);
    EXPECT_EQ(server.startServer(), -1);
    EXPECT_EQ(out.text(), "");
    EXPECT_FALSE(server.isConnected());
    EXPECT_FALSE(server.isDescriptorOpen());
    // No number left that a connection could take over in the socket map.
    EXPECT_EQ(server.getFd(), -1);
}

TEST_F(SocketServerTest, ServersBindTheAddressTheyAreGiven)
{
    for (const bool loopbackOnly : {false, true}) {
        const uint32_t wanted = htonl(loopbackOnly ? INADDR_LOOPBACK : INADDR_ANY);
        CTcpServer tcp(freeTcpPort());
        CUdpServer udp(0);
        if (loopbackOnly) {
            tcp.setBindAddress(wanted);
            udp.setBindAddress(wanted);
        }
        for (int fd : {tcp.startServer(), udp.startServer()}) {
            ASSERT_GE(fd, 0);
            EXPECT_EQ(boundAddress(fd), wanted) << loopbackOnly;
        }
    }
}

TEST_F(SocketServerTest, SocketOnDescriptorZeroIsAValidServer)
{
    // A daemon started with standard input closed gets descriptor 0 for its
    // first socket; that is a socket like any other.
    const int savedStdin = dup(0);
    ASSERT_GE(savedStdin, 0);
    close(0);
    int result;
    bool connected;
    {
        CTcpServer server(freeTcpPort());
        result = server.startServer();
        connected = server.isConnected();
    }
    dup2(savedStdin, 0);
    close(savedStdin);
    EXPECT_EQ(result, 0);
    EXPECT_TRUE(connected);
}

TEST_F(SocketServerTest, TcpServerAcceptsEachConnectionAsAcceptedEndpoint)
{
    CTcpServer server(freeTcpPort());
    server.setAcceptCallback(collector());
    const int listenFd = server.startServer();
    ASSERT_GE(listenFd, 0);
    EXPECT_EQ(server.getFd(), listenFd);
    EXPECT_TRUE(server.isConnected());
    EXPECT_EQ(server.getConnType(), 0);
    const int port = boundPort(listenFd);

    const int first = keep(connectTcp(port));
    const int second = keep(connectTcp(port));
    ASSERT_GE(first, 0);
    ASSERT_GE(second, 0);

    OutputCapture out(1);
    const int a = server.onReadAble();
    const int b = server.onReadAble();
    const TraceOutput trace = parseTrace(out.text());
    ASSERT_EQ(accepted.size(), 2u);
    EXPECT_EQ(trace.count("recv new connection\n"), 2);
    EXPECT_EQ(trace.lines[0].level, TRACE_INFO);
    EXPECT_EQ(trace.lines[0].func, "onReadAble");

    EXPECT_EQ(accepted[0].client->getFd(), a);
    EXPECT_EQ(accepted[1].client->getFd(), b);
    EXPECT_NE(a, b);
    for (const Accepted &acc : accepted) {
        EXPECT_EQ(acc.server, &server);
        EXPECT_EQ(acc.extra, nullptr);
        EXPECT_NE(dynamic_cast<CTcpClient *>(acc.client), nullptr);
        EXPECT_EQ(acc.client->getConnType(), 1);
        EXPECT_TRUE(acc.client->isConnected());
        EXPECT_EQ(acc.client->getName(), "not set");
    }

    // The endpoints carry the traffic of their own peers.
    ASSERT_EQ(write(second, "two", 3), 3);
    std::vector<std::string> got;
    accepted[1].client->setReadCallback(
        [&](CSocketClient *, const void *data, int len) { got.emplace_back(static_cast<const char *>(data), len); });
    EXPECT_EQ(accepted[1].client->onReadAble(), 3);
    EXPECT_EQ(got, std::vector<std::string>{"two"});
    EXPECT_EQ(accepted[0].client->sendData("one", 3), 3);
    EXPECT_EQ(readExactly(first, 3), "one");
}

TEST_F(SocketServerTest, AcceptedTcpEndpointCannotReconnect)
{
    CTcpServer server(freeTcpPort());
    server.setAcceptCallback(collector());
    ASSERT_GE(server.startServer(), 0);
    keep(connectTcp(boundPort(server.getFd())));
    ASSERT_GT(server.onReadAble(), 0);
    ASSERT_EQ(accepted.size(), 1u);

    CSocketClient *client = accepted[0].client;
    client->closeSocket();
    OutputCapture out(1);
    EXPECT_EQ(client->connectToHost(), 0);
    const TraceOutput trace = parseTrace(out.text());
    ASSERT_EQ(trace.lines.size(), 1u);
    EXPECT_EQ(trace.lines[0].level, TRACE_ERROR);
    EXPECT_EQ(trace.lines[0].func, "connectToHost");
    EXPECT_EQ(trace.lines[0].message, "ip.size = 0, port = 0\n");
    EXPECT_FALSE(client->isConnected());
}

TEST_F(SocketServerTest, AcceptWithoutCallbackClosesTheConnection)
{
    CTcpServer server(freeTcpPort());
    ASSERT_GE(server.startServer(), 0);
    const int peer = keep(connectTcp(boundPort(server.getFd())));
    const int fd = server.onReadAble();
    EXPECT_GT(fd, 0);
    EXPECT_FALSE(fdIsOpen(fd));
    EXPECT_TRUE(peerSeesEnd(peer));
}

TEST_F(SocketServerTest, AcceptOutOfDescriptorsTracesEmfile)
{
    if (runsUnderMemcheck()) {
        GTEST_SKIP() << "memcheck emulates the descriptor limit and keeps descriptors of its own";
    }
    CTcpServer server(freeTcpPort());
    server.setAcceptCallback(collector());
    ASSERT_GE(server.startServer(), 0);
    const int port = boundPort(server.getFd());
    const int refusedPeer = keep(connectTcp(port));

    OutputCapture out(1); // opens its file before the limit is lowered
    struct rlimit saved;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &saved), 0);
    // The limit goes just above the highest open descriptor and every free
    // number below it is taken, so that no new descriptor fits. (The
    // server's reserve descriptor, shared by the process, may be any of the
    // open ones.)
    int highest = -1;
    for (int fd = 0; fd < 4096; ++fd) {
        if (fcntl(fd, F_GETFD) != -1) {
            highest = fd;
        }
    }
    struct rlimit tight = saved;
    tight.rlim_cur = static_cast<rlim_t>(highest + 1);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &tight), 0);
    std::vector<int> fillers;
    for (int fd = open("/dev/null", O_RDONLY); fd >= 0; fd = open("/dev/null", O_RDONLY)) {
        fillers.push_back(fd);
    }
    const int result = server.onReadAble();
    for (int fd : fillers) {
        close(fd);
    }
    setrlimit(RLIMIT_NOFILE, &saved);
    const TraceOutput trace = parseTrace(out.text());

    EXPECT_EQ(result, -1);
    EXPECT_EQ(trace.count("errno: 24\n"), 1);
    EXPECT_EQ(trace.count("out of descriptors, connection refused\n"), 1);
    EXPECT_TRUE(accepted.empty());
    // The waiting connection is refused rather than left to keep the
    // listening socket readable; once descriptors are free, new ones are
    // accepted again.
    EXPECT_TRUE(peerSeesEnd(refusedPeer));
    keep(connectTcp(port));
    EXPECT_GT(server.onReadAble(), 0);
    EXPECT_EQ(accepted.size(), 1u);
}

TEST_F(SocketServerTest, AcceptedDescriptorBeyondSelectLimitIsClosed)
{
    struct rlimit limit;
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlim_t needed = FD_SETSIZE + 16;
    if (limit.rlim_cur < needed) {
        if (limit.rlim_max != RLIM_INFINITY && limit.rlim_max < needed) {
            GTEST_SKIP() << "descriptor limit " << limit.rlim_max << " is too low";
        }
        struct rlimit raised = limit;
        raised.rlim_cur = needed;
        ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &raised), 0);
    }

    CTcpServer server(freeTcpPort());
    server.setAcceptCallback(collector());
    ASSERT_GE(server.startServer(), 0);
    const int port = boundPort(server.getFd());
    const int peer = keep(connectTcp(port));
    ASSERT_GE(peer, 0);

    std::vector<int> fillers;
    for (;;) {
        const int fd = open("/dev/null", O_RDONLY);
        ASSERT_GE(fd, 0);
        fillers.push_back(fd);
        if (fd >= FD_SETSIZE - 1) {
            break;
        }
    }

    OutputCapture out(1);
    const int result = server.onReadAble();
    const TraceOutput trace = parseTrace(out.text());
    for (int fd : fillers) {
        close(fd);
    }
    setrlimit(RLIMIT_NOFILE, &limit);

    EXPECT_EQ(result, -1);
    EXPECT_TRUE(accepted.empty());
    ASSERT_EQ(trace.lines.size(), 2u);
    EXPECT_EQ(trace.lines[1].level, TRACE_ERROR);
    EXPECT_EQ(trace.lines[1].func, "onReadAble");
    EXPECT_NE(trace.lines[1].message.find(std::to_string(FD_SETSIZE)), std::string::npos);
    EXPECT_TRUE(peerSeesEnd(peer));

    // The server goes on serving.
    keep(connectTcp(port));
    EXPECT_GT(server.onReadAble(), 0);
    ASSERT_EQ(accepted.size(), 1u);
    EXPECT_LT(accepted[0].client->getFd(), FD_SETSIZE);
}

TEST_F(SocketServerTest, TcpClientConnectsOnceTheServerListens)
{
    const int port = freeTcpPort(); // nobody listens there yet
    CTcpClient client("127.0.0.1", port);
    std::vector<CSocketClient *> connects;
    client.setConnectCallback([&](CSocketClient *c) { connects.push_back(c); });

    OutputCapture refused(1);
    OutputCapture err(2);
    const int failedFd = client.connectToHost();
    TraceOutput trace = parseTrace(refused.text());
    EXPECT_GE(failedFd, 0);
    EXPECT_EQ(client.getFd(), failedFd);
    EXPECT_FALSE(client.isConnected());
    EXPECT_TRUE(client.isDescriptorOpen()); // kept for the next check to close
    EXPECT_TRUE(connects.empty());
    ASSERT_EQ(trace.lines.size(), 1u);
    EXPECT_EQ(trace.lines[0].level, TRACE_ERROR);
    EXPECT_EQ(trace.lines[0].message, "connect ip = 127.0.0.1, port = " + std::to_string(port) + "\n");
    EXPECT_NE(err.text().find(" connect svr fault : "), std::string::npos);

    CTcpServer server(port);
    server.setAcceptCallback(collector());
    ASSERT_GE(server.startServer(), 0);
    client.closeSocket();
    OutputCapture out(1);
    const int fd = client.connectToHost();
    trace = parseTrace(out.text());
    EXPECT_GE(fd, 0);
    EXPECT_EQ(client.getFd(), fd);
    EXPECT_TRUE(client.isConnected());
    EXPECT_EQ(connects, std::vector<CSocketClient *>{&client});
    ASSERT_EQ(trace.lines.size(), 1u);
    EXPECT_EQ(trace.lines[0].level, TRACE_ALERT);
    EXPECT_EQ(trace.lines[0].message,
              "connect ip = 127.0.0.1, port = " + std::to_string(port) + ",connect svr ok!\n");

    ASSERT_GT(server.onReadAble(), 0);
    ASSERT_EQ(accepted.size(), 1u);
    EXPECT_EQ(client.sendData("hi", 2), 2);
    char buf[4];
    EXPECT_EQ(read(accepted[0].client->getFd(), buf, sizeof buf), 2);
}

TEST_F(SocketServerTest, TcpClientWithoutAddressRefuses)
{
    CTcpClient noIp("", 5);
    CTcpClient noPort("127.0.0.1", 0);
    OutputCapture out(1);
    EXPECT_EQ(noIp.connectToHost(), 0);
    EXPECT_EQ(noPort.connectToHost(), 0);
    EXPECT_EQ(parseTrace(out.text()).messages(),
              (std::vector<std::string>{"ip.size = 0, port = 5\n", "ip.size = 9, port = 0\n"}));
    EXPECT_EQ(noIp.getFd(), -1);
}

TEST_F(SocketServerTest, UnixServerReplacesStaleSocketFile)
{
    TempDir dir;
    const std::string path = dir.file("hub.sock");
    {
        // Leave a socket file behind, as a crashed earlier run would.
        const int stale = socket(AF_UNIX, SOCK_STREAM, 0);
        struct sockaddr_un addr;
        memset(&addr, 0, sizeof addr);
        addr.sun_family = AF_UNIX;
        strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
        ASSERT_EQ(bind(stale, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr), 0);
        close(stale);
    }
    ASSERT_TRUE(fileExists(path));

    CUnixServer server(path.c_str());
    server.setAcceptCallback(collector());
    const int fd = server.startServer();
    ASSERT_GE(fd, 0);
    EXPECT_TRUE(server.isConnected());
    EXPECT_EQ(server.getConnType(), 0);

    const int peer = keep(connectUnix(path));
    ASSERT_GE(peer, 0);
    EXPECT_GT(server.onReadAble(), 0);
    ASSERT_EQ(accepted.size(), 1u);
    CSocketClient *client = accepted[0].client;
    EXPECT_NE(dynamic_cast<CUnixClient *>(client), nullptr);
    EXPECT_EQ(client->getConnType(), 1);
    EXPECT_TRUE(client->isConnected());
    EXPECT_EQ(client->getName(), "not set");

    // An accepted Unix endpoint has no path to reconnect to.
    client->closeSocket();
    OutputCapture out(1);
    EXPECT_EQ(client->connectToHost(), 0);
    EXPECT_EQ(parseTrace(out.text()).messages(), std::vector<std::string>{"unixSocketPath.size=0\n"});

    // Destroying the server leaves the file in place.
    {
        CUnixServer other(dir.file("other.sock").c_str());
        ASSERT_GE(other.startServer(), 0);
    }
    EXPECT_TRUE(fileExists(dir.file("other.sock")));
}

TEST_F(SocketServerTest, UnixClientConnectsOnceTheServerListens)
{
    TempDir dir;
    const std::string path = dir.file("hub.sock");
    CUnixClient client(path.c_str());
    int connects = 0;
    client.setConnectCallback([&](CSocketClient *c) { connects += c == &client ? 1 : 100; });

    OutputCapture refused(1);
    OutputCapture err(2);
    EXPECT_GE(client.connectToHost(), 0);
    EXPECT_FALSE(client.isConnected());
    EXPECT_TRUE(client.isDescriptorOpen());
    EXPECT_EQ(parseTrace(refused.text()).messages(), std::vector<std::string>{"connect path: " + path + "\n"});
    EXPECT_NE(err.text().find(" connect svr fault : "), std::string::npos);
    EXPECT_EQ(connects, 0);

    CUnixServer server(path.c_str());
    server.setAcceptCallback(collector());
    ASSERT_GE(server.startServer(), 0);
    client.closeSocket();
    OutputCapture out(1);
    const int fd = client.connectToHost();
    const TraceOutput trace = parseTrace(out.text());
    EXPECT_GE(fd, 0);
    EXPECT_TRUE(client.isConnected());
    EXPECT_EQ(connects, 1);
    ASSERT_EQ(trace.lines.size(), 1u);
    EXPECT_EQ(trace.lines[0].level, TRACE_ALERT);
    EXPECT_EQ(trace.lines[0].message, "connect path: = " + path + ", connect svr ok!\n");
    EXPECT_GT(server.onReadAble(), 0);
    EXPECT_EQ(accepted.size(), 1u);

    CUnixClient empty("");
    OutputCapture none(1);
    EXPECT_EQ(empty.connectToHost(), 0);
    EXPECT_EQ(parseTrace(none.text()).messages(), std::vector<std::string>{"unixSocketPath.size=0\n"});
}

TEST_F(SocketServerTest, UnixPathsThatDoNotFitAreRefused)
{
    TempDir dir;
    const std::string longest = pathOfLength(dir, 107, 'a');
    const std::string tooLong = pathOfLength(dir, 108, 'b');

    CUnixServer fits(longest.c_str());
    EXPECT_GE(fits.startServer(), 0);
    EXPECT_TRUE(fileExists(longest));
    CUnixClient reaches(longest.c_str());
    EXPECT_GE(reaches.connectToHost(), 0);
    EXPECT_TRUE(reaches.isConnected());

    CUnixServer server(tooLong.c_str());
    OutputCapture out(1);
    EXPECT_EQ(server.startServer(), -1);
    TraceOutput trace = parseTrace(out.text());
    ASSERT_EQ(trace.lines.size(), 1u);
    EXPECT_EQ(trace.lines[0].level, TRACE_ERROR);
    EXPECT_EQ(trace.lines[0].func, "startServer");
    EXPECT_FALSE(server.isConnected());
    EXPECT_FALSE(server.isDescriptorOpen());
    EXPECT_FALSE(fdIsOpen(server.getFd()));
    // Nothing was bound under the cut-short name either.
    EXPECT_FALSE(fileExists(tooLong.substr(0, 107)));

    CUnixClient client(tooLong.c_str());
    OutputCapture out2(1);
    EXPECT_EQ(client.connectToHost(), -1);
    trace = parseTrace(out2.text());
    ASSERT_EQ(trace.lines.size(), 1u);
    EXPECT_EQ(trace.lines[0].level, TRACE_ERROR);
    EXPECT_EQ(trace.lines[0].func, "connectToHost");
    EXPECT_FALSE(client.isConnected());
}

TEST_F(SocketServerTest, UnixServerWithoutPathRefusesAndClosesItsSocket)
{
    CUnixServer server("");
    OutputCapture out(1);
    EXPECT_EQ(server.startServer(), -1);
    const TraceOutput trace = parseTrace(out.text());
    ASSERT_EQ(trace.lines.size(), 1u);
    EXPECT_EQ(trace.lines[0].level, TRACE_ERROR);
    EXPECT_EQ(trace.lines[0].func, "startServer");
    EXPECT_EQ(trace.lines[0].message, "not set unix path!\n");
    EXPECT_FALSE(server.isConnected());
    EXPECT_FALSE(fdIsOpen(server.getFd()));

    // A path set afterwards is used at the next start.
    TempDir dir;
    EXPECT_EQ(server.setUnixSocketPath(dir.file("late.sock").c_str()), 0);
    EXPECT_GE(server.startServer(), 0);
    EXPECT_TRUE(server.isConnected());
}

TEST_F(SocketServerTest, BindFailuresCloseTheSocket)
{
    TempDir dir;
    const std::string path = dir.file("missing-dir/hub.sock");
    rmdir(dir.file("missing-dir").c_str());
    CUnixServer unixServer(path.c_str());
    CTcpServer first(freeTcpPort());
    ASSERT_GE(first.startServer(), 0);
    CTcpServer second(boundPort(first.getFd())); // a listener holds the port

    OutputCapture out(1);
    OutputCapture err(2);
    EXPECT_EQ(unixServer.startServer(), -1);
    EXPECT_EQ(second.startServer(), -1);
    EXPECT_EQ(parseTrace(out.text()).messages(), std::vector<std::string>{"bind error\n"}); // Unix only
    const std::string errText = err.text();
    EXPECT_NE(errText.find("bind error: "), errText.rfind("bind error: ")); // perror from both
    for (CSocketServer *server : {static_cast<CSocketServer *>(&unixServer), static_cast<CSocketServer *>(&second)}) {
        EXPECT_FALSE(server->isConnected());
        EXPECT_FALSE(fdIsOpen(server->getFd()));
    }
}

} // namespace
