// The notification messages as the service manager receives them: the
// address forms, the environment taken and cleared, and the pacing of
// readiness, watchdog, status and stop, driven with a clock of the test's.

#include <gtest/gtest.h>

#include <sys/un.h>

#include <cstdlib>
#include <functional>
#include <string>
#include <vector>

#include "notify/SystemdNotifier.h"
#include "tests/app/ScopedEnv.h"
#include "tests/support/NotifySocket.h"
#include "tests/support/TempDir.h"

namespace {

class SystemdNotifierTest : public ::testing::Test {
protected:
    SystemdNotifierTest() : manager(dir.path() + "/notify") {}

    // Every message that arrived by now.
    std::vector<std::string> received()
    {
        std::vector<std::string> texts;
        NotifySocket::Message m;
        while (manager.next(m, 0)) {
            texts.push_back(m.text);
        }
        return texts;
    }

    TempDir dir;
    NotifySocket manager;
};

TEST_F(SystemdNotifierTest, AddressesTakenAndRefused)
{
    ASSERT_TRUE(manager.isOpen());
    const struct {
        std::string address;
        bool usable;
    } cases[] = {
        {manager.path(), true},
        {"@pellix-test-abstract", true},
        {"relative/notify", false},
        {"", false},
        {"/" + std::string(sizeof(sockaddr_un::sun_path), 'x'), false},
        {"vsock:2:1234", false},
    };
    for (const auto &c : cases) {
        SystemdNotifier n(c.address, 0);
        EXPECT_EQ(c.usable, n.isOpen()) << c.address;
        EXPECT_EQ(c.usable, n.openError().empty()) << c.address;
    }
}

TEST_F(SystemdNotifierTest, AbstractNameReachesItsListener)
{
    const std::string name = "@pellix-notify-test-" + std::to_string(getpid());
    SystemdNotifier n(name, 0);
    // The listener's side of an abstract name: a leading NUL, no terminator.
    const int fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ASSERT_GE(fd, 0);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    memcpy(addr.sun_path + 1, name.data() + 1, name.size() - 1);
    ASSERT_EQ(0, bind(fd, reinterpret_cast<struct sockaddr *>(&addr),
                      static_cast<socklen_t>(offsetof(struct sockaddr_un, sun_path) + name.size())));
    EXPECT_TRUE(n.send("READY=1"));
    char buffer[32] = {};
    EXPECT_EQ(7, recv(fd, buffer, sizeof buffer, MSG_DONTWAIT));
    EXPECT_STREQ("READY=1", buffer);
    close(fd);
}

TEST_F(SystemdNotifierTest, EnvironmentReadOnceAndCleared)
{
    const std::string pid = std::to_string(getpid());
    const struct {
        const char *socket;
        const char *usec;
        const char *pid;
        bool made;
        uint64_t watchdogUs;
    } cases[] = {
        {nullptr, "1000000", nullptr, false, 0},       // no manager asked: nothing at all
        {"", nullptr, nullptr, false, 0},              // empty: the same
        {"relative", nullptr, nullptr, false, 0},      // unusable: refused with a reason
        {"SOCKET", nullptr, nullptr, true, 0},         // no watchdog asked
        {"SOCKET", "1000000", nullptr, true, 1000000}, //
        {"SOCKET", "1000000", "PID", true, 1000000},   // the watchdog is this process's
        {"SOCKET", "1000000", "1", true, 0},           // another process's watchdog
        {"SOCKET", "10s", nullptr, true, 0},           // not a number of microseconds
    };
    for (const auto &c : cases) {
        const std::string socketValue = c.socket == nullptr ? "" : c.socket;
        ScopedEnv socketEnv("NOTIFY_SOCKET",
                            c.socket == nullptr ? nullptr
                                                : (socketValue == "SOCKET" ? manager.path().c_str() : c.socket));
        ScopedEnv usecEnv("WATCHDOG_USEC", c.usec);
        ScopedEnv pidEnv("WATCHDOG_PID", c.pid == nullptr ? nullptr : (std::string(c.pid) == "PID" ? pid.c_str() : c.pid));
        std::string error;
        const std::unique_ptr<SystemdNotifier> n = SystemdNotifier::fromEnvironment(error);
        const std::string what = socketValue + " " + (c.usec ? c.usec : "-") + " " + (c.pid ? c.pid : "-");
        EXPECT_EQ(c.made, n != nullptr) << what;
        EXPECT_EQ(socketValue == "relative", !error.empty()) << what << ": " << error;
        if (n) {
            EXPECT_EQ(c.watchdogUs, n->watchdogUs()) << what;
        }
        // Gone for every program started from here on.
        EXPECT_EQ(nullptr, getenv("NOTIFY_SOCKET")) << what;
        EXPECT_EQ(nullptr, getenv("WATCHDOG_USEC")) << what;
        EXPECT_EQ(nullptr, getenv("WATCHDOG_PID")) << what;
    }
}

TEST_F(SystemdNotifierTest, WatchdogIntervalParsed)
{
    const struct {
        const char *text;
        uint64_t us;
    } cases[] = {
        {"30000000", 30000000},
        {"1", 1},
        {"0", 0},
        {"", 0},
        {"-5", 0},
        {"12a", 0},
        {" 12", 0},
        {"18446744073709551615", UINT64_MAX},
        {"18446744073709551616", 0}, // one beyond 64 bits
        {"000000000000000000001", 0}, // more than 20 digits
    };
    for (const auto &c : cases) {
        EXPECT_EQ(c.us, SystemdNotifier::parseWatchdogUs(c.text)) << c.text;
    }
    EXPECT_EQ(0u, SystemdNotifier::parseWatchdogUs(nullptr));
}

TEST_F(SystemdNotifierTest, ReadyOnceWhenReadyAndWatchdogEveryHalfInterval)
{
    SystemdNotifier n(manager.path(), 1000000); // 1 s: a keep-alive every 500 ms
    const std::function<std::string()> noStatus;
    // Not ready yet: the watchdog is fed from the first pass all the same.
    n.pass(1000, false, noStatus);
    EXPECT_EQ(std::vector<std::string>{"WATCHDOG=1"}, received());
    n.pass(1499, false, noStatus);
    EXPECT_TRUE(received().empty());
    n.pass(1500, true, noStatus);
    EXPECT_EQ((std::vector<std::string>{"READY=1", "WATCHDOG=1"}), received());
    EXPECT_TRUE(n.readySent());
    // Passes as a loop makes them, every 100 ms for 2 s: readiness is never
    // repeated, and keep-alives come 500 ms apart.
    std::vector<int64_t> fed;
    for (int64_t t = 1600; t <= 3500; t += 100) {
        n.pass(t, true, noStatus);
        for (const std::string &text : received()) {
            EXPECT_EQ("WATCHDOG=1", text) << t;
            fed.push_back(t);
        }
    }
    EXPECT_EQ((std::vector<int64_t>{2000, 2500, 3000, 3500}), fed);
}

TEST_F(SystemdNotifierTest, StatusOnceASecondWhenChangedAndOnOneLine)
{
    SystemdNotifier n(manager.path(), 0);
    std::string line = "connections: 0";
    int asked = 0;
    const std::function<std::string()> status = [&] {
        ++asked;
        return line;
    };
    n.pass(0, true, status);
    EXPECT_EQ((std::vector<std::string>{"READY=1", "STATUS=connections: 0"}), received());
    line = "connections: 1";
    n.pass(999, true, status); // asked at most once a second
    EXPECT_TRUE(received().empty());
    n.pass(1000, true, status);
    EXPECT_EQ(std::vector<std::string>{"STATUS=connections: 1"}, received());
    n.pass(2000, true, status); // unchanged: not sent again
    EXPECT_TRUE(received().empty());
    EXPECT_EQ(3, asked);
    // A newline would make a second assignment of the message.
    line = "tcp-svr-1\nREADY=1\x7f";
    n.pass(3000, true, status);
    EXPECT_EQ(std::vector<std::string>{"STATUS=tcp-svr-1?READY=1?"}, received());
}

TEST_F(SystemdNotifierTest, StoppingOnceWhicheverWayItComes)
{
    {
        SystemdNotifier n(manager.path(), 0);
        n.stopping();
        n.stopping();
        EXPECT_EQ(std::vector<std::string>{"STOPPING=1"}, received());
    }
    {
        SystemdNotifier n(manager.path(), 0);
        SystemdNotifier::sendStoppingFromSignal(); // not armed: nothing
        EXPECT_TRUE(received().empty());
        n.armForSignals();
        SystemdNotifier::sendStoppingFromSignal();
        n.stopping();
        EXPECT_EQ(std::vector<std::string>{"STOPPING=1"}, received());
    }
    // Disarmed with the notifier it named.
    SystemdNotifier::sendStoppingFromSignal();
    EXPECT_TRUE(received().empty());
}

TEST_F(SystemdNotifierTest, ManagerGoneCostsOnlyTheMessage)
{
    SystemdNotifier n(dir.path() + "/nobody-listens", 1000000);
    EXPECT_FALSE(n.send("READY=1"));
    n.pass(0, true, [] { return std::string("x"); });
    EXPECT_FALSE(n.readySent()); // tried again on the next pass
}

} // namespace
