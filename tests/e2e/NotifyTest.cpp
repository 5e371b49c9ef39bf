// The hub under a service manager that asked for notifications
// (NOTIFY_SOCKET): readiness only once its servers take connections, the
// watchdog fed from the loop itself, so that a held loop goes quiet, and the
// stop announced.

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <thread>

#include "tests/e2e/E2eFixture.h"
#include "tests/support/Clock.h"
#include "tests/support/NotifySocket.h"

namespace e2e {
namespace {

// Generous for a daemon under a memory checker.
const int kReadyTimeoutMs = 30000;
// Asked of the hub in the watchdog test: a keep-alive every half second.
const int kWatchdogMs = 1000;

class E2eNotify : public E2eFixture {
protected:
    E2eNotify() : manager(dir.path() + "/notify")
    {
        daemon.setEnvironment("NOTIFY_SOCKET", manager.path());
    }

    NotifySocket manager;
};

// A listening TCP socket on the hub's port, as another program holding it.
class PortHolder {
public:
    explicit PortHolder(uint16_t port) : fd(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0))
    {
        struct sockaddr_in addr;
        memset(&addr, 0, sizeof addr);
        addr.sin_family = AF_INET;
        addr.sin_port = htons(port);
        held = fd >= 0 && bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0 &&
               listen(fd, 1) == 0;
    }
    ~PortHolder() { release(); }
    PortHolder(const PortHolder &) = delete;
    PortHolder &operator=(const PortHolder &) = delete;
    bool isHeld() const { return held; }
    void release()
    {
        if (fd >= 0) {
            close(fd);
            fd = -1;
        }
    }

private:
    int fd;
    bool held = false;
};

TEST_F(E2eNotify, ReadyOnlyOnceTcpAndUnixTakeConnections)
{
    ASSERT_TRUE(manager.isOpen());
    const uint16_t port = pickFreePort();
    ASSERT_NE(0, port);
    PortHolder holder(port);
    ASSERT_TRUE(holder.isHeld());
    ASSERT_TRUE(daemon.launch(port)) << daemon.lastError();

    // The TCP server cannot listen: Unix and UDP do, yet no readiness, and
    // the status line says what is missing.
    std::vector<NotifySocket::Message> seen;
    const std::string waiting = "STATUS=not listening yet: tcp-svr-" + std::to_string(port);
    ASSERT_TRUE(manager.waitFor(waiting, kReadyTimeoutMs, &seen)) << "no " << waiting;
    EXPECT_TRUE(std::none_of(seen.begin(), seen.end(),
                             [](const NotifySocket::Message &m) { return m.text == "READY=1"; }));
    EXPECT_FALSE(manager.waitFor("READY=1", 1000));

    // The loop tries the port again (every 10 s); ready once it has it,
    // and from that moment both servers take modules.
    holder.release();
    ASSERT_TRUE(manager.waitFor("READY=1", kReadyTimeoutMs)) << tail(daemon.stderrText());
    ModuleClient tcp = tcpModule(0x10, "notify-tcp");
    ModuleClient unix = unixModule(0x11, "notify-unix");
    EXPECT_TRUE(manager.waitFor("STATUS=connections: 2, modules: 2, frames routed: 2", 5000));

    ASSERT_EQ(255, daemon.stop(SIGTERM));
    EXPECT_TRUE(manager.waitFor("STOPPING=1", 1000));
    EXPECT_EQ("", daemon.sanitizerReport()) << tail(daemon.stderrText());
}

TEST_F(E2eNotify, WatchdogFedByTheLoopAndSilentWhileItIsHeld)
{
    ASSERT_TRUE(manager.isOpen());
    daemon.setEnvironment("WATCHDOG_USEC", std::to_string(kWatchdogMs * 1000));
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    ASSERT_TRUE(manager.waitFor("READY=1", kReadyTimeoutMs));

    // Keep-alives at the interval asked for: never a gap the manager would
    // take for a hung hub.
    std::vector<int64_t> fed;
    NotifySocket::Message m;
    for (int64_t end = nowMs() + 3 * kWatchdogMs; nowMs() < end && manager.next(m, kWatchdogMs * 2);) {
        if (m.text == "WATCHDOG=1") {
            fed.push_back(m.atMs);
        }
    }
    ASSERT_GE(fed.size(), 4u);
    for (size_t i = 1; i < fed.size(); ++i) {
        EXPECT_LT(fed[i] - fed[i - 1], kWatchdogMs) << "keep-alive " << i;
    }

    // A module that never reads, flooded by another: with blocking sends
    // the hub waits in a send to it until the send timeout (10 s).
    ModuleClient stuck = unixModule(0x20, "notify-stuck");
    ModuleClient flooder = tcpModule(0x21, "notify-flooder");
    const std::string frame = makeFrame(0x20, 0x21, 0x0042, std::string(60000, 'f'));
    std::atomic<bool> stop(false);
    std::thread flood([&] {
        while (!stop && flooder.send(frame)) {
        }
    });
    // The loop is held: no keep-alive for twice the interval.
    int64_t last = nowMs();
    bool silent = false;
    for (int64_t end = nowMs() + 30000; !silent && nowMs() < end;) {
        if (manager.next(m, kWatchdogMs * 2)) {
            last = m.text == "WATCHDOG=1" ? m.atMs : last;
        }
        silent = nowMs() - last >= kWatchdogMs * 2;
    }
    stop = true;
    EXPECT_TRUE(silent) << "the hub kept feeding the watchdog while it waited in a send";
    // The send times out, the hub goes on, and so do the keep-alives.
    EXPECT_TRUE(manager.waitFor("WATCHDOG=1", 20000));
    flood.join();

    ASSERT_EQ(255, daemon.stop(SIGTERM));
    EXPECT_TRUE(manager.waitFor("STOPPING=1", 1000));
    EXPECT_EQ("", daemon.sanitizerReport()) << tail(daemon.stderrText());
}

} // namespace
} // namespace e2e
