// The endpoint base and the stream client: defaults, plain reads and
// chunked writes, closing at most once, and the read handler over a
// socketpair and over TCP.

#include <gtest/gtest.h>

#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <csignal>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "net/CObjectBase.h"
#include "net/CSocketClient.h"
#include "net/CTcpClient.h"
#include "net/CTcpServer.h"
#include "net/CUnixClient.h"
#include "tests/net/NetTestSupport.h"
#include "tests/net/TraceLines.h"
#include "tests/support/OutputCapture.h"

namespace {

class SocketEndpointTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        setReceiveTimeout(pair[1], 2000);
    }
    void TearDown() override
    {
        for (int fd : pair) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }
    // Hands one end of the pair to the endpoint; the test keeps the other.
    int giveEnd(CObjectBase &endpoint)
    {
        endpoint.setSocket(pair[0]);
        const int fd = pair[0];
        pair[0] = -1;
        return fd;
    }

    TraceLevelScope level{TRACE_DEBUG};
    int pair[2] = {-1, -1};
};

struct Read {
    CSocketClient *client;
    std::string bytes;
    int len;
    bool connectedDuringCall;
};

class ReadRecorder {
public:
    ReadCallback callback()
    {
        return [this](CSocketClient *client, const void *data, int len) {
            std::string bytes;
            if (len > 0) {
                bytes.assign(static_cast<const char *>(data), static_cast<size_t>(len));
            }
            reads.push_back(Read{client, bytes, len, client->isConnected()});
        };
    }
    std::vector<Read> reads;
};

TEST(CObjectBaseDefaults, FreshEndpointsReportTheirDefaults)
{
    CObjectBase base;
    EXPECT_EQ(base.getFd(), -1);
    EXPECT_EQ(base.getName(), "not set");
    EXPECT_FALSE(base.isConnected());
    EXPECT_EQ(base.getConnType(), 0);
    EXPECT_FALSE(base.isDescriptorOpen());
    EXPECT_EQ(base.onReadAble(), -1);
    EXPECT_EQ(base.connectToHost(), -1);

    CSocketClient client;
    EXPECT_EQ(client.getConnType(), 2);
    EXPECT_EQ(client.getFd(), -1);
    EXPECT_FALSE(client.isConnected());
    CTcpClient tcp("127.0.0.1", 1234);
    EXPECT_EQ(tcp.getConnType(), 2);
    EXPECT_EQ(tcp.getName(), "not set");
    CUnixClient unixClient("/nowhere");
    EXPECT_EQ(unixClient.getConnType(), 2);

    base.setName("tcp-svr-10032");
    EXPECT_EQ(base.getName(), "tcp-svr-10032");
    EXPECT_EQ(base.setConnType(1), 0);
    EXPECT_EQ(base.getConnType(), 1);
}

TEST_F(SocketEndpointTest, DisconnectedEndpointNeitherReadsNorSends)
{
    CObjectBase endpoint;
    char buf[8];
    OutputCapture out(1);
    EXPECT_EQ(endpoint.readData(buf, sizeof buf), -1);
    EXPECT_EQ(endpoint.sendData("abc", 3), -1);
    EXPECT_EQ(out.text(), "");

    // Still -1 when it holds a live descriptor but is marked disconnected;
    // connected, a length of 0 gives 0. Nothing is written either way.
    giveEnd(endpoint);
    endpoint.setConnected(false);
    EXPECT_EQ(endpoint.sendData("abc", 3), -1);
    endpoint.setConnected(true);
    EXPECT_EQ(endpoint.sendData("abc", 0), 0);
    char probe;
    EXPECT_EQ(recv(pair[1], &probe, 1, MSG_DONTWAIT), -1);
}

TEST_F(SocketEndpointTest, ReadDataReturnsWhatReadGivesAndTracesEndOfStream)
{
    CObjectBase endpoint;
    giveEnd(endpoint);
    EXPECT_TRUE(endpoint.isConnected());
    ASSERT_EQ(write(pair[1], "hello", 5), 5);
    char buf[16];
    EXPECT_EQ(endpoint.readData(buf, sizeof buf), 5);
    EXPECT_EQ(std::string(buf, 5), "hello");

    shutdown(pair[1], SHUT_WR);
    OutputCapture out(1);
    EXPECT_EQ(endpoint.readData(buf, sizeof buf), 0);
    const TraceOutput trace = parseTrace(out.text());
    ASSERT_EQ(trace.lines.size(), 1u);
    EXPECT_EQ(trace.lines[0].level, TRACE_ERROR);
    EXPECT_EQ(trace.lines[0].func, "readData");
    EXPECT_EQ(trace.lines[0].message.rfind("read error, errno ", 0), 0u) << trace.lines[0].message;
    // readData leaves the state alone; only onReadAble marks the loss.
    EXPECT_TRUE(endpoint.isConnected());
}

TEST_F(SocketEndpointTest, SendDataWritesChunksOfAtMost16384Bytes)
{
    // A packet socket keeps the boundary of every write, so the receiver
    // sees the chunks themselves.
    int packets[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET, 0, packets), 0);
    CObjectBase endpoint;
    endpoint.setSocket(packets[0]);
    std::string payload(40000, '\0');
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<char>((i * 131) % 251);
    }
    std::vector<ssize_t> sizes;
    std::string received;
    std::thread reader([&] {
        setReceiveTimeout(packets[1], 2000);
        std::vector<char> buf(65536);
        size_t total = 0;
        while (total < payload.size()) {
            const ssize_t got = recv(packets[1], buf.data(), buf.size(), 0);
            if (got <= 0) {
                break;
            }
            sizes.push_back(got);
            received.append(buf.data(), static_cast<size_t>(got));
            total += static_cast<size_t>(got);
        }
    });
    EXPECT_EQ(endpoint.sendData(payload.data(), static_cast<int>(payload.size())), 7232);
    reader.join();
    EXPECT_EQ(sizes, (std::vector<ssize_t>{16384, 16384, 7232}));
    EXPECT_TRUE(received == payload);
    EXPECT_EQ(endpoint.sendData(payload.data(), 100), 100); // one chunk: the whole length
    close(packets[1]);
}

TEST_F(SocketEndpointTest, SendDataToClosedPeerFailsWithoutEndingTheProcess)
{
    signal(SIGPIPE, SIG_IGN); // as every server's start does
    CObjectBase endpoint;
    giveEnd(endpoint);
    close(pair[1]);
    pair[1] = -1;
    OutputCapture out(1);
    EXPECT_EQ(endpoint.sendData("abc", 3), -1);
    EXPECT_EQ(out.text(), "");
    EXPECT_TRUE(endpoint.isConnected()); // a failed write changes nothing
}

TEST_F(SocketEndpointTest, PeerThatStopsReadingCostsOneSendTimeoutNotOneEach)
{
    CSocketClient endpoint;
    const int fd = giveEnd(endpoint);
    struct timeval shortTimeout = {0, 50000};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &shortTimeout, sizeof shortTimeout);
    const std::string chunk(65536, 'x');
    OutputCapture out(1);
    int attempts = 0;
    size_t taken = 0; // chunks the endpoint took, the one cut short included
    while (endpoint.sendData(chunk.data(), static_cast<int>(chunk.size())) != -1 && attempts < 1000) {
        ++attempts;
    }
    taken = static_cast<size_t>(attempts) + (endpoint.hasUnsentBytes() ? 1 : 0);
    ASSERT_LT(attempts, 1000) << "the peer's buffer never filled";
    // Now stalled: with a long timeout, a send that blocked again would hang
    // the test; it must return at once.
    struct timeval longTimeout = {30, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &longTimeout, sizeof longTimeout);
    const time_t before = time(nullptr);
    EXPECT_EQ(endpoint.sendData("abc", 3), -1);
    EXPECT_EQ(endpoint.sendData("abc", 3), -1);
    EXPECT_LT(time(nullptr) - before, 10) << "a send blocked on the stalled peer";
    EXPECT_TRUE(endpoint.isConnected());

    // The peer reads a little: its socket polls writable again, with room
    // for part of what comes next. That part goes, the rest is queued, and
    // the send does not wait.
    std::string got;
    char sink[65536];
    ssize_t n;
    struct pollfd writable = {fd, POLLOUT, 0};
    while (poll(&writable, 1, 0) == 0 && (n = recv(pair[1], sink, 4096, MSG_DONTWAIT)) > 0) {
        got.append(sink, static_cast<size_t>(n));
    }
    const std::string large(1 << 20, 'y');
    EXPECT_EQ(endpoint.sendData(large.data(), static_cast<int>(large.size())), static_cast<int>(large.size()));
    EXPECT_LT(time(nullptr) - before, 10) << "a send blocked on a peer that had room for part of it";
    const TraceOutput trace = parseTrace(out.text());
    EXPECT_EQ(trace.count("send to fd " + std::to_string(fd) + " timed out, sends to it no longer wait\n"), 1);

    // The queue goes out as the peer reads, as the loop flushes it, and then
    // the next send: whole chunks only, never a torn one glued to the next.
    do {
        while ((n = recv(pair[1], sink, sizeof sink, MSG_DONTWAIT)) > 0) {
            got.append(sink, static_cast<size_t>(n));
        }
    } while (!endpoint.flushUnsent());
    EXPECT_EQ(endpoint.sendData("abc", 3), 3);
    const size_t expected = taken * chunk.size() + large.size() + 3;
    while (got.size() < expected && (n = recv(pair[1], sink, sizeof sink, 0)) > 0) {
        got.append(sink, static_cast<size_t>(n));
    }
    EXPECT_EQ(got.size(), expected);
    EXPECT_EQ(got.substr(got.size() - 3), "abc");
}

TEST_F(SocketEndpointTest, CloseSocketKeepsNumberAndNeverClosesTwice)
{
    int number;
    {
        CObjectBase endpoint;
        number = giveEnd(endpoint);
        EXPECT_TRUE(endpoint.isDescriptorOpen());
        EXPECT_EQ(endpoint.closeSocket(), 0);
        EXPECT_EQ(endpoint.getFd(), number);
        EXPECT_FALSE(endpoint.isConnected());
        EXPECT_FALSE(endpoint.isDescriptorOpen());
        EXPECT_FALSE(fdIsOpen(number));

        // The number goes to the next descriptor opened.
        const int reused = dup(pair[1]);
        ASSERT_EQ(reused, number);
        endpoint.closeSocket(); // again: must not touch the new owner's descriptor
        EXPECT_TRUE(fdIsOpen(reused));
        EXPECT_EQ(endpoint.getFd(), number);
    } // and neither must the destructor
    EXPECT_TRUE(fdIsOpen(number));
    close(number);

    // An endpoint that still holds its descriptor closes it when destroyed.
    int sv[2];
    ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
    {
        CObjectBase endpoint;
        endpoint.setSocket(sv[0]);
    }
    EXPECT_FALSE(fdIsOpen(sv[0]));
    EXPECT_TRUE(peerSeesEnd(sv[1]));
    close(sv[1]);
}

TEST_F(SocketEndpointTest, SocketClientDeliversAtMost2048BytesPerRead)
{
    CSocketClient client;
    ReadRecorder recorder;
    client.setReadCallback(recorder.callback());
    giveEnd(client);
    std::string payload(3000, '\0');
    for (size_t i = 0; i < payload.size(); ++i) {
        payload[i] = static_cast<char>(i % 256);
    }
    ASSERT_EQ(write(pair[1], payload.data(), payload.size()), 3000);

    EXPECT_EQ(client.onReadAble(), 2048);
    EXPECT_EQ(client.onReadAble(), 952);
    ASSERT_EQ(recorder.reads.size(), 2u);
    EXPECT_EQ(recorder.reads[0].client, &client);
    EXPECT_EQ(recorder.reads[0].len, 2048);
    EXPECT_EQ(recorder.reads[1].len, 952);
    EXPECT_TRUE(recorder.reads[0].bytes + recorder.reads[1].bytes == payload);
    EXPECT_TRUE(client.isConnected());
}

TEST_F(SocketEndpointTest, SocketClientReportsPeerCloseOnceWithZero)
{
    CSocketClient client;
    ReadRecorder recorder;
    client.setReadCallback(recorder.callback());
    giveEnd(client);
    shutdown(pair[1], SHUT_WR);

    OutputCapture err(2);
    EXPECT_EQ(client.onReadAble(), 0);
    const std::string errText = err.text();
    ASSERT_EQ(recorder.reads.size(), 1u);
    EXPECT_EQ(recorder.reads[0].len, 0);
    EXPECT_FALSE(recorder.reads[0].connectedDuringCall); // marked before the call
    EXPECT_FALSE(client.isConnected());
    EXPECT_EQ(errText.rfind("CSocketClient::onReadAble read error: : ", 0), 0u) << errText;
}

TEST_F(SocketEndpointTest, SocketClientIgnoresReadThatWouldBlock)
{
    CSocketClient client;
    ReadRecorder recorder;
    client.setReadCallback(recorder.callback());
    const int fd = giveEnd(client);
    fcntl(fd, F_SETFL, fcntl(fd, F_GETFL) | O_NONBLOCK);
    OutputCapture out(1);
    EXPECT_EQ(client.onReadAble(), 0);
    EXPECT_EQ(out.text(), "");
    EXPECT_TRUE(recorder.reads.empty());
    EXPECT_TRUE(client.isConnected());
}

// One accepted TCP connection and its plain peer.
struct AcceptedTcp {
    AcceptedTcp()
    {
        server.setAcceptCallback([this](CSocketClient *client, CSocketServer *, const void *) { endpoint.reset(client); });
        server.startServer();
        peer = connectTcp(boundPort(server.getFd()));
        server.onReadAble();
    }
    ~AcceptedTcp() { close(peer); }

    CTcpServer server{freeTcpPort()};
    std::unique_ptr<CSocketClient> endpoint;
    int peer = -1;
};

TEST_F(SocketEndpointTest, SocketClientReportsResetAsErrorWithNegativeCount)
{
    AcceptedTcp tcp;
    ASSERT_NE(tcp.endpoint, nullptr);
    ReadRecorder recorder;
    tcp.endpoint->setReadCallback(recorder.callback());
    struct linger abortive = {1, 0};
    setsockopt(tcp.peer, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    close(tcp.peer); // sends a reset
    tcp.peer = -1;

    OutputCapture out(1);
    OutputCapture err(2);
    EXPECT_EQ(tcp.endpoint->onReadAble(), -1);
    const TraceOutput trace = parseTrace(out.text());
    ASSERT_EQ(recorder.reads.size(), 1u);
    EXPECT_EQ(recorder.reads[0].len, -1);
    EXPECT_FALSE(tcp.endpoint->isConnected());
    ASSERT_EQ(trace.lines.size(), 1u);
    EXPECT_EQ(trace.lines[0].level, TRACE_ERROR);
    EXPECT_EQ(trace.lines[0].func, "onReadAble");
    EXPECT_EQ(trace.lines[0].message, "errno: " + std::to_string(ECONNRESET) + "\n");
    EXPECT_NE(err.text().find("CSocketClient::onReadAble read error: "), std::string::npos);
}

TEST(SocketOptionsTest, ServerAndAcceptedSocketsGetTheFixedOptions)
{
    AcceptedTcp tcp;
    ASSERT_NE(tcp.endpoint, nullptr);
    for (int fd : {tcp.server.getFd(), tcp.endpoint->getFd()}) {
        int noDelay = 0;
        socklen_t len = sizeof noDelay;
        getsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, &len);
        EXPECT_NE(noDelay, 0);
        struct timeval tv = {0, 0};
        len = sizeof tv;
        getsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, &len);
        EXPECT_EQ(tv.tv_sec, 10);
        len = sizeof tv;
        getsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, &len);
        EXPECT_EQ(tv.tv_sec, 5);
        struct linger lg = {0, 99};
        len = sizeof lg;
        getsockopt(fd, SOL_SOCKET, SO_LINGER, &lg, &len);
        EXPECT_EQ(lg.l_onoff, 1);
        EXPECT_EQ(lg.l_linger, 0);
    }
    // Linger 0: closing the accepted endpoint resets the connection.
    tcp.endpoint.reset();
    char c;
    EXPECT_EQ(read(tcp.peer, &c, 1), -1);
    EXPECT_EQ(errno, ECONNRESET);
}

} // namespace
