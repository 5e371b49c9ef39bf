// The datagram server on loopback and on a Unix-domain path: one callback
// per datagram, cut to 2048 bytes, empty datagrams dropped.

#include <gtest/gtest.h>

#include <arpa/inet.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "net/CUdpServer.h"
#include "net/SocketOptions.h"
#include "tests/net/NetTestSupport.h"
#include "tests/net/TraceLines.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/TempDir.h"

namespace {

struct Datagram {
    int fd;
    int fromPort;
    std::string fromIp;
    std::string bytes;
    int len;
};

class UdpServerTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        server.setReadCallback([this](int fd, const void *from, const void *data, int len) {
            const struct sockaddr_in *addr = static_cast<const struct sockaddr_in *>(from);
            char ip[INET_ADDRSTRLEN] = {0};
            inet_ntop(AF_INET, &addr->sin_addr, ip, sizeof ip);
            received.push_back(Datagram{fd, ntohs(addr->sin_port), ip,
                                        std::string(static_cast<const char *>(data), static_cast<size_t>(len)),
                                        len});
        });
        serverFd = server.startServer();
        ASSERT_GE(serverFd, 0);
        port = boundPort(serverFd);
        sender = socket(AF_INET, SOCK_DGRAM, 0);
        struct sockaddr_in local = loopback(0);
        ASSERT_EQ(bind(sender, reinterpret_cast<struct sockaddr *>(&local), sizeof local), 0);
        senderPort = boundPort(sender);
    }
    void TearDown() override { close(sender); }

    void send(const std::string &bytes)
    {
        struct sockaddr_in to = loopback(port);
        ASSERT_EQ(sendto(sender, bytes.data(), bytes.size(), 0, reinterpret_cast<struct sockaddr *>(&to), sizeof to),
                  static_cast<ssize_t>(bytes.size()));
    }

    TraceLevelScope level{TRACE_DEBUG};
    CUdpServer server{0};
    int serverFd = -1;
    int port = 0;
    int sender = -1;
    int senderPort = 0;
    std::vector<Datagram> received;
};

TEST_F(UdpServerTest, PortZeroBindsToSystemChosenPort)
{
    EXPECT_GT(port, 0);
    EXPECT_TRUE(server.isConnected());
    EXPECT_EQ(server.getConnType(), 0);
    EXPECT_EQ(server.getFd(), serverFd);
}

TEST_F(UdpServerTest, DatagramGivesOneCallbackWithSender)
{
    const std::string payload(100, 'd');
    send(payload);
    OutputCapture out(1);
    EXPECT_EQ(server.onReadAble(), 100);
    const TraceOutput trace = parseTrace(out.text());
    ASSERT_EQ(received.size(), 1u);
    EXPECT_EQ(received[0].fd, serverFd);
    EXPECT_EQ(received[0].len, 100);
    EXPECT_EQ(received[0].bytes, payload);
    EXPECT_EQ(received[0].fromPort, senderPort);
    EXPECT_EQ(received[0].fromIp, "127.0.0.1");
    ASSERT_EQ(trace.lines.size(), 1u);
    EXPECT_EQ(trace.lines[0].level, TRACE_INFO);
    EXPECT_EQ(trace.lines[0].func, "onReadAble");
    EXPECT_EQ(trace.lines[0].message, "recv new udp data\n");
}

TEST_F(UdpServerTest, LongDatagramIsDroppedWhole)
{
    std::string payload(3000, '\0');
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<char>(i % 253);
    }
    send(payload);
    send("next");
    // Cut to the buffer it would be some other frame: none of it is passed on.
    OutputCapture out(1);
    EXPECT_EQ(server.onReadAble(), 0);
    EXPECT_TRUE(received.empty());
    EXPECT_NE(out.text().find("drop datagram of 3000 bytes, longer than 2048\n"), std::string::npos) << out.text();
    EXPECT_EQ(server.onReadAble(), 4);
    EXPECT_EQ(received.back().bytes, "next");
}

TEST_F(UdpServerTest, EmptyDatagramGivesNoCallback)
{
    send("");
    EXPECT_EQ(server.onReadAble(), 0);
    EXPECT_TRUE(received.empty());
    EXPECT_TRUE(server.isConnected());
}

TEST_F(UdpServerTest, AddressedSendReachesSender)
{
    struct sockaddr_in to = loopback(senderPort);
    EXPECT_EQ(server.sendData("reply", 5, &to, sizeof to), 5);
    setReceiveTimeout(sender, 2000);
    char buf[16];
    EXPECT_EQ(recv(sender, buf, sizeof buf, 0), 5);
    EXPECT_EQ(std::string(buf, 5), "reply");
}

TEST(UdpServerUnix, ServesDatagramsOnAPathReplacingStaleFile)
{
    TraceLevelScope level(TRACE_DEBUG);
    TempDir dir;
    const std::string path = dir.file("hub.dgram");
    {
        // A socket file left by an earlier run is replaced; a plain file
        // would be left alone.
        const int stale = socket(AF_UNIX, SOCK_DGRAM, 0);
        struct sockaddr_un addr;
        ASSERT_TRUE(makeUnixAddress(path, addr, "test"));
        ASSERT_EQ(bind(stale, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr), 0);
        close(stale);
    }

    CUdpServer server(path.c_str());
    std::vector<std::string> got;
    server.setReadCallback([&](int, const void *, const void *data, int len) {
        got.emplace_back(static_cast<const char *>(data), static_cast<size_t>(len));
    });
    ASSERT_GE(server.startServer(), 0);
    EXPECT_TRUE(server.isConnected());

    const int sender = socket(AF_UNIX, SOCK_DGRAM, 0);
    struct sockaddr_un to;
    memset(&to, 0, sizeof to);
    to.sun_family = AF_UNIX;
    strncpy(to.sun_path, path.c_str(), sizeof to.sun_path - 1);
    ASSERT_EQ(sendto(sender, "unix", 4, 0, reinterpret_cast<struct sockaddr *>(&to), sizeof to), 4);
    EXPECT_EQ(server.onReadAble(), 4);
    EXPECT_EQ(got, std::vector<std::string>{"unix"});
    close(sender);
}

TEST(UdpServerUnix, PathThatDoesNotFitIsRefused)
{
    TraceLevelScope level(TRACE_DEBUG);
    TempDir dir;
    const std::string path = dir.path() + "/" + std::string(120, 'u');
    CUdpServer server(path.c_str());
    OutputCapture out(1);
    EXPECT_EQ(server.startServer(), -1);
    const TraceOutput trace = parseTrace(out.text());
    ASSERT_EQ(trace.lines.size(), 1u);
    EXPECT_EQ(trace.lines[0].level, TRACE_ERROR);
    EXPECT_EQ(trace.lines[0].func, "startServer");
    EXPECT_FALSE(server.isConnected());
    EXPECT_FALSE(server.isDescriptorOpen());
}

TEST(UdpServerBind, PortInUseFailsAndCloses)
{
    TraceLevelScope level(TRACE_DEBUG);
    const int holder = socket(AF_INET, SOCK_DGRAM, 0); // no SO_REUSEADDR: nobody may share
    struct sockaddr_in local = loopback(0);
    ASSERT_EQ(bind(holder, reinterpret_cast<struct sockaddr *>(&local), sizeof local), 0);
    CUdpServer server(boundPort(holder));
    OutputCapture out(1);
    OutputCapture err(2);
    EXPECT_EQ(server.startServer(), -1);
    EXPECT_NE(err.text().find("bind error: "), std::string::npos);
    EXPECT_EQ(parseTrace(out.text()).messages(), std::vector<std::string>{"bind error\n"});
    EXPECT_FALSE(server.isConnected());
    EXPECT_FALSE(fdIsOpen(server.getFd()));
    close(holder);
}

} // namespace
