// Connecting and registering over both stream transports, and every way
// that can fail: no hub, a hub that never answers, a hub that hangs up,
// and settings the hub could never work with.

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <regex>
#include <thread>

#include "tests/client/ClientFixture.h"

namespace sdk {
namespace {

class ClientConnect : public ClientFixture {};

// A TCP socket on a free port that listens but never speaks.
class MuteListener {
public:
    MuteListener()
    {
        fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        struct sockaddr_in addr;
        memset(&addr, 0, sizeof addr);
        addr.sin_family = AF_INET;
        addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof addr;
        if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0 && listen(fd, 4) == 0 &&
            getsockname(fd, reinterpret_cast<struct sockaddr *>(&addr), &len) == 0) {
            port = ntohs(addr.sin_port);
        }
    }
    ~MuteListener() { close(fd); }
    int fd = -1;
    int port = 0;
};

TEST_F(ClientConnect, RegistersOverTcpAndUnixAndTheHubLogsBoth)
{
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    pellix::ClientOptions overTcp = tcpOptions(0x10, "sdk-tcp");
    overTcp.host = "localhost"; // a host name is resolved
    pellix::CPellixClient tcp(overTcp);
    pellix::CPellixClient overUnix(unixOptions(0x11, "sdk-unix"));
    EXPECT_FALSE(tcp.isConnected());
    EXPECT_EQ(-1, tcp.fd());

    const pellix::Result tcpResult = tcp.connect();
    ASSERT_TRUE(tcpResult) << tcpResult.message();
    const pellix::Result unixResult = overUnix.connect();
    ASSERT_TRUE(unixResult) << unixResult.message();
    EXPECT_TRUE(tcp.isRegistered());
    EXPECT_TRUE(overUnix.isRegistered());
    EXPECT_GE(tcp.fd(), 0);
    EXPECT_NE(tcp.fd(), overUnix.fd());

    const std::string log = daemon.logText();
    EXPECT_TRUE(std::regex_search(log, std::regex("reg fd: \\d+, dev: 16, name: sdk-tcp\n"))) << log;
    EXPECT_TRUE(std::regex_search(log, std::regex("reg fd: \\d+, dev: 17, name: sdk-unix\n"))) << log;

    // A client that only sends does not register.
    pellix::ClientOptions anonymous = tcpOptions(0x33, "");
    anonymous.registerModule = false;
    pellix::CPellixClient sender(anonymous);
    ASSERT_TRUE(sender.connect());
    EXPECT_TRUE(sender.isConnected());
    EXPECT_FALSE(sender.isRegistered());
    EXPECT_EQ(std::string::npos, daemon.logText().find("dev: 51,"));

    // close() ends the connection; connect() makes a new one.
    tcp.close();
    EXPECT_FALSE(tcp.isConnected());
    EXPECT_EQ(-1, tcp.fd());
    ASSERT_TRUE(tcp.connect());
    EXPECT_TRUE(tcp.isRegistered());
    EXPECT_EQ(255, daemon.stop(SIGTERM));
}

TEST(ClientUnreachable, NoHubAtTheAddressOrPath)
{
    pellix::CPellixClient::setTraceLevel(-1);
    const uint16_t port = e2e::pickFreePort();
    pellix::ClientOptions options;
    options.port = port;
    options.moduleId = 0x10;
    options.name = "sdk-nohub";
    pellix::CPellixClient overTcp(options);
    pellix::Result r = overTcp.connect();
    EXPECT_EQ(pellix::Status::Unreachable, r.status());
    EXPECT_EQ("cannot reach the hub at 127.0.0.1:" + std::to_string(port) + ": Connection refused", r.message());
    EXPECT_FALSE(overTcp.isConnected());

    TempDir dir;
    options.transport = pellix::Transport::Unix;
    options.unixPath = dir.path() + "/no-hub-here";
    pellix::CPellixClient overUnix(options);
    r = overUnix.connect();
    EXPECT_EQ(pellix::Status::Unreachable, r.status());
    EXPECT_EQ("cannot reach the hub at unix socket " + options.unixPath + ": No such file or directory",
              r.message());
}

TEST(ClientNoReply, AHubThatNeverAnswersOrHangsUp)
{
    pellix::CPellixClient::setTraceLevel(-1);
    MuteListener mute;
    ASSERT_GT(mute.port, 0);
    pellix::ClientOptions options;
    options.port = mute.port;
    options.moduleId = 0x10;
    options.name = "sdk-mute";
    options.registerTimeoutMs = 300;
    pellix::CPellixClient client(options);
    pellix::Result r = client.connect();
    EXPECT_EQ(pellix::Status::NoReply, r.status());
    EXPECT_EQ("no registration reply from the hub at 127.0.0.1:" + std::to_string(mute.port) + " within 300 ms",
              r.message());
    EXPECT_FALSE(client.isConnected());

    // This time the listener takes the connection, reads the registration
    // and hangs up.
    // The first attempt's connection is still in the backlog; let it go.
    close(accept(mute.fd, nullptr, nullptr));
    std::string got;
    std::thread hangUp([&] {
        const int conn = accept(mute.fd, nullptr, nullptr);
        char buffer[64];
        const ssize_t n = read(conn, buffer, sizeof buffer);
        if (n > 0) {
            got.assign(buffer, static_cast<size_t>(n));
        }
        close(conn);
    });
    options.registerTimeoutMs = 5000;
    pellix::CPellixClient second(options);
    r = second.connect();
    hangUp.join();
    EXPECT_EQ(pellix::Status::NoReply, r.status());
    EXPECT_NE(std::string::npos, r.message().find("closed the connection before it answered")) << r.message();
    EXPECT_EQ(e2e::hex(e2e::makeFrame(e2e::kHubId, 0x10, e2e::kCmdReg, "sdk-mute")), e2e::hex(got));
}

TEST(ClientSettings, RefusedBeforeAnythingIsSent)
{
    pellix::CPellixClient::setTraceLevel(-1);
    const struct {
        const char *why;
        std::function<void(pellix::ClientOptions &)> change;
        const char *message;
    } cases[] = {
        {"the hub's id", [](pellix::ClientOptions &o) { o.moduleId = 0x01; }, "cannot be registered"},
        {"an event command id", [](pellix::ClientOptions &o) { o.moduleId = 0xE1; }, "cannot be registered"},
        {"not a byte", [](pellix::ClientOptions &o) { o.moduleId = 0x100; }, "is not a module id"},
        {"negative", [](pellix::ClientOptions &o) { o.moduleId = -1; }, "is not a module id"},
        {"unregistered, not a byte",
         [](pellix::ClientOptions &o) {
             o.registerModule = false;
             o.moduleId = 256;
         },
         "source id 256"},
        {"zero byte in the name", [](pellix::ClientOptions &o) { o.name = std::string("a\0b", 3); }, "zero byte"},
        {"name beyond a frame", [](pellix::ClientOptions &o) { o.name = std::string(65530, 'n'); }, "65530 bytes"},
        {"port 0", [](pellix::ClientOptions &o) { o.port = 0; }, "port 0"},
        {"port too big", [](pellix::ClientOptions &o) { o.port = 65536; }, "port 65536"},
        {"unix path too long",
         [](pellix::ClientOptions &o) {
             o.transport = pellix::Transport::Unix;
             o.unixPath = "/tmp/" + std::string(103, 'p');
         },
         "1 to 107 bytes"},
        {"empty unix path",
         [](pellix::ClientOptions &o) {
             o.transport = pellix::Transport::Unix;
             o.unixPath.clear();
         },
         "1 to 107 bytes"},
        {"negative heartbeat", [](pellix::ClientOptions &o) { o.heartbeatMs = -1; }, "heartbeatMs"},
        {"no reconnect interval", [](pellix::ClientOptions &o) { o.reconnectSeconds = 0; }, "reconnectSeconds"},
    };
    for (const auto &c : cases) {
        pellix::ClientOptions options;
        options.port = 1; // nothing listens there: only a refusal can be the answer
        options.moduleId = 0x10;
        options.name = "sdk-settings";
        c.change(options);
        pellix::CPellixClient client(options);
        const pellix::Result r = client.connect();
        EXPECT_EQ(pellix::Status::InvalidArgument, r.status()) << c.why << ": " << r.message();
        EXPECT_NE(std::string::npos, r.message().find(c.message)) << c.why << ": " << r.message();
    }
}

} // namespace
} // namespace sdk
