// Heartbeat supervision driven tick by tick: the fourth silent tick drops a
// connection, any bytes keep it alive, and the kill command reaches a fake
// killall as the words it was meant to be.

#include <arpa/inet.h>
#include <dirent.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <thread>

#include "tests/support/TestEnvironment.h"
#include "hub/ModuleName.h"
#include "net/CUnixClient.h"
#include "net/SocketOptions.h"
#include "tests/hub/PellixFixture.h"

namespace {

class HeartbeatTest : public PellixFixture {
protected:
    void SetUp() override
    {
        PellixFixture::SetUp();
        // A killall of our own, first in PATH: each run leaves its
        // arguments, one per line, in a file of its own under calls/.
        dir.makeDirs("bin");
        dir.makeDirs("calls");
        const std::string script = dir.file("bin/killall");
        writeFile(script, "#!/bin/sh\n"
                          "tmp=\"" + dir.path() + "/calls/.$$\"\n"
                          "printf '%s\\n' \"$@\" > \"$tmp\"\n"
                          "mv \"$tmp\" \"" + dir.path() + "/calls/$$\"\n");
        chmod(script.c_str(), 0755);
        const char *path = getenv("PATH");
        savedPath = path != nullptr ? path : "";
        setenv("PATH", (dir.path() + "/bin:" + savedPath).c_str(), 1);
    }
    void TearDown() override
    {
        setenv("PATH", savedPath.c_str(), 1);
        PellixFixture::TearDown();
    }

    void tick(int times = 1)
    {
        OutputCapture table(STDOUT_FILENO); // the socket table of every tick
        for (int i = 0; i < times; ++i) {
            hub->heartCmdCheck(nullptr, 0);
        }
    }
    // The argument lists killall was run with, sorted; waits up to 2 s for
    // the expected number of runs (the shell starts it in the background).
    std::vector<std::string> killCalls(size_t expected)
    {
        std::vector<std::string> calls;
        for (int waited = 0; waited < 2000; waited += 10) {
            calls.clear();
            if (DIR *d = opendir(dir.file("calls").c_str())) {
                while (struct dirent *e = readdir(d)) {
                    if (e->d_name[0] != '.') {
                        calls.push_back(readFile(dir.file(std::string("calls/") + e->d_name)));
                    }
                }
                closedir(d);
            }
            if (calls.size() >= expected) {
                break;
            }
            std::this_thread::sleep_for(std::chrono::milliseconds(10));
        }
        std::sort(calls.begin(), calls.end());
        return calls;
    }
    bool alive(const Module &m) { return hub->getSessions().find(m.client) != nullptr; }

    std::string savedPath;
};

TEST_F(HeartbeatTest, SilentConnectionIsDroppedAtTheFourthTick)
{
    Module m = connect();
    tick(3);
    ASSERT_TRUE(alive(m));
    EXPECT_EQ(hub->getSessions().find(m.client)->missCount, 3);
    EXPECT_TRUE(m.client->isConnected());

    tick();
    EXPECT_FALSE(alive(m));
    EXPECT_EQ(hub->getSessions().find(m.client), nullptr);
    EXPECT_FALSE(m.client->isConnected());
    EXPECT_EQ(hub->getSessions().size(), 0u);
    char c;
    EXPECT_EQ(recv(m.peer, &c, 1, MSG_DONTWAIT), 0); // closed on the hub's side
    EXPECT_NE(log.text().find("[error] module not set heart time out, restart app...\n"), std::string::npos)
        << log.text();
    // Never registered: killall is told the whole default name as one word.
    EXPECT_EQ(killCalls(1), std::vector<std::string>({"-9\n--\nnot set\n"}));
}

TEST_F(HeartbeatTest, AnyBytesKeepAConnectionAlive)
{
    Module m = registered(0x10, "m");
    tick(3);
    send(m, "no frame here");
    EXPECT_EQ(hub->getSessions().find(m.client)->missCount, 0);
    tick(3);
    send(m, makeFrame(0x01, 0x10, CMD_HEART));
    tick(3);
    EXPECT_TRUE(alive(m));
    EXPECT_EQ(moduleAt(0x10), m.client);
    tick();
    EXPECT_FALSE(alive(m));
}

TEST_F(HeartbeatTest, TwoSilentConnectionsAreDroppedInTheSameTick)
{
    Module a = registered(0x10, "app_a");
    Module b = registered(0x12, "app_b");
    Module s = registered(0x11, "s");
    subscribe(s, 0x11, {0});
    tick(2);
    send(s, makeFrame(0x01, 0x11, CMD_HEART));
    Module fresh = connect();
    tick(2);

    EXPECT_FALSE(alive(a));
    EXPECT_FALSE(alive(b));
    EXPECT_TRUE(alive(s));
    EXPECT_TRUE(alive(fresh));
    EXPECT_EQ(hub->getSessions().find(fresh.client)->missCount, 2);
    EXPECT_EQ(moduleAt(0x10), nullptr);
    EXPECT_EQ(moduleAt(0x12), nullptr);
    const std::string text = log.text();
    EXPECT_EQ(countOf(text, "heart time out"), 2u) << text;
    EXPECT_NE(text.find("module app_a heart time out"), std::string::npos);
    EXPECT_NE(text.find("module app_b heart time out"), std::string::npos);
    EXPECT_EQ(countOf(text, "remove modId: "), 2u);
    // The departures of both, in the order the hub walked them.
    const std::string departures = drain(s.peer);
    EXPECT_EQ(departures.size(), 42u);
    EXPECT_NE(departures.find(makeFrame(0x11, 0xE1, CMD_PUBLISH_EVENT, bytes({0x00, 0x00, 0x10}))),
              std::string::npos);
    EXPECT_NE(departures.find(makeFrame(0x11, 0xE1, CMD_PUBLISH_EVENT, bytes({0x00, 0x00, 0x12}))),
              std::string::npos);
    EXPECT_EQ(killCalls(2), std::vector<std::string>({"-9\napp_a\n", "-9\napp_b\n"}));
}

TEST_F(HeartbeatTest, NameWithShellSyntaxIsOneArgumentAndRunsNothing)
{
    // No slash in it (such a name is never killed): the marker goes to the
    // working directory if the shell ever runs it.
    const std::string marker = "pellix-touched-" + std::to_string(getpid());
    Module m = registered(0x10, "a;touch " + marker);
    tick(4);
    EXPECT_FALSE(alive(m));
    EXPECT_EQ(killCalls(1), std::vector<std::string>({"-9\n--\na;touch " + marker + "\n"}));
    std::this_thread::sleep_for(std::chrono::milliseconds(50));
    EXPECT_FALSE(fileExists(marker));
}

TEST_F(HeartbeatTest, NameWithAZeroByteRunsNoCommand)
{
    Module m = registered(0x10, std::string("x\0y", 3));
    tick(3);
    OutputCapture out(STDOUT_FILENO);
    hub->heartCmdCheck(nullptr, 0);
    const std::string text = out.text();
    EXPECT_FALSE(alive(m));
    EXPECT_NE(text.find("no kill command for module name \"x\\x00y\""), std::string::npos) << text;
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(killCalls(0).empty());
}

} // namespace

namespace {

TEST_F(HeartbeatTest, NamesThatWouldKillTheWrongProcessesAreNeverGivenToKillall)
{
    registered(0x10, "/bin/busybox");
    registered(0x11, "/proc/1/exe");
    registered(0x12, program_invocation_short_name);
    registered(0x13, "dup");
    registered(0x14, "dup");
    registered(0x15, "ok");
    tick(3);
    OutputCapture out(STDOUT_FILENO);
    hub->heartCmdCheck(nullptr, 0);
    const std::string text = out.text();
    EXPECT_EQ(hub->getSessions().size(), 0u);
    for (const char *line : {"\"/bin/busybox\": it holds a '/'\n", "\"/proc/1/exe\": it holds a '/'\n",
                             "\"dup\": it was killed in this period already\n"}) {
        EXPECT_EQ(countOf(text, line), 1u) << line << text;
    }
    EXPECT_EQ(countOf(text, std::string("\"") + program_invocation_short_name + "\": it is the hub's own\n"), 1u)
        << text;
    // One kill per name in a period; the next period may kill it again.
    EXPECT_EQ(killCalls(2), std::vector<std::string>({"-9\ndup\n", "-9\nok\n"}));
    registered(0x13, "dup");
    tick(4);
    EXPECT_EQ(killCalls(3), std::vector<std::string>({"-9\ndup\n", "-9\ndup\n", "-9\nok\n"}));
}

TEST(PeerOnThisHost, LoopbackAndTheAddressTheConnectionCameInOnAreThisHost)
{
    const auto ip = [](const char *text) { return inet_addr(text); };
    EXPECT_TRUE(sameHostAddress(ip("127.0.0.1"), ip("127.0.0.1")));
    EXPECT_TRUE(sameHostAddress(ip("127.8.9.10"), ip("192.168.1.5")));
    EXPECT_TRUE(sameHostAddress(ip("192.168.1.5"), ip("192.168.1.5")));
    EXPECT_FALSE(sameHostAddress(ip("192.168.1.6"), ip("192.168.1.5")));
    EXPECT_FALSE(sameHostAddress(ip("128.0.0.1"), ip("127.0.0.1")));
}

} // namespace

namespace {

// A process of its own at the other end of a Unix connection, as a module
// would be: it connects and waits to be killed. Handed off, the process that
// connects leaves the socket to a child of its own and exits: its pid, the
// one the kernel recorded at connect, is free for anyone then.
struct PeerProcessModule {
    pid_t pid = -1;    // the process that holds the socket
    pid_t caller = -1; // the one that connected
    int accepted = -1;
};

PeerProcessModule startPeerProcess(const std::string &path, bool handOff)
{
    PeerProcessModule peer;
    const int listener = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    struct sockaddr_un addr = {};
    addr.sun_family = AF_UNIX;
    snprintf(addr.sun_path, sizeof addr.sun_path, "%s", path.c_str());
    int holder[2];
    if (bind(listener, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0 || listen(listener, 1) != 0 ||
        pipe(holder) != 0) {
        close(listener);
        return peer;
    }
    peer.caller = fork();
    if (peer.caller == 0) {
        const int fd = socket(AF_UNIX, SOCK_STREAM, 0);
        if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
            _exit(1);
        }
        const pid_t child = handOff ? fork() : 0;
        if (child > 0) {
            close(fd);
            _exit(write(holder[1], &child, sizeof child) == sizeof child ? 0 : 1);
        }
        const pid_t self = getpid();
        if (!handOff && write(holder[1], &self, sizeof self) != sizeof self) {
            _exit(1);
        }
        pause();
        _exit(1);
    }
    close(holder[1]);
    peer.accepted = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
    if (read(holder[0], &peer.pid, sizeof peer.pid) != sizeof peer.pid) {
        peer.pid = -1;
    }
    close(holder[0]);
    close(listener);
    return peer;
}

TEST_F(HeartbeatTest, KillPolicyPeerKillsTheProcessHoldingTheOtherEndAndNoneKillsNothing)
{
    if (runsUnderEmulation()) {
        GTEST_SKIP() << "qemu-user: the peer socket's holder is not found";
    }
    // The orphaned holder of a handed-off socket becomes this test's child,
    // so that its end can be waited for.
    ASSERT_EQ(prctl(PR_SET_CHILD_SUBREAPER, 1), 0);
    HubSettings settings;
    settings.killPolicy = HubSettings::KILL_PEER;
    hub->setSettings(settings);
    for (bool handOff : {false, true}) {
        PeerProcessModule peer = startPeerProcess(dir.file(handOff ? "handed.sock" : "peer.sock"), handOff);
        ASSERT_GT(peer.pid, 0);
        ASSERT_GE(peer.accepted, 0);
        int status = 0;
        if (handOff) {
            ASSERT_EQ(waitpid(peer.caller, &status, 0), peer.caller);
        }
        CUnixClient *client = new CUnixClient("");
        client->setConnType(CObjectBase::kAccepted);
        client->setSocket(peer.accepted);
        hub->onAcceptNewUnixClient(client, nullptr, nullptr);
        registered(0x10, "mine"); // a socketpair: its other end is this very test
        OutputCapture out(STDOUT_FILENO);
        for (int i = 0; i < 4; ++i) {
            hub->heartCmdCheck(nullptr, 0);
        }
        ASSERT_EQ(waitpid(peer.pid, &status, 0), peer.pid);
        EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == SIGKILL) << status;
        EXPECT_NE(log.text().find("killed, pid " + std::to_string(peer.pid)), std::string::npos) << log.text();
        EXPECT_NE(out.text().find("no kill for module \"mine\": no process found at its end"), std::string::npos)
            << out.text();
        EXPECT_NE(log.text().find("module mine only closed: "), std::string::npos) << log.text();
    }
    prctl(PR_SET_CHILD_SUBREAPER, 0);

    settings.killPolicy = HubSettings::KILL_NONE;
    hub->setSettings(settings);
    registered(0x11, "app");
    tick(4);
    EXPECT_EQ(hub->getSessions().size(), 0u);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(killCalls(0).empty());
}

// The actions a fuzzer replaces: the kill command and the record's writer
// get what the hub would have run and written, and nothing reaches the
// shell or the file.
TEST_F(HeartbeatTest, KillAndRecordWriterCanBeReplaced)
{
    std::vector<std::string> commands;
    std::vector<std::pair<int, int>> signals;
    std::vector<std::string> saved;
    hub->setKillActions([&](const std::string &command) { commands.push_back(command); return 0; },
                        [&](pid_t pid, int, int sig) { signals.emplace_back(pid, sig); return 0; });
    hub->regMapRecord().setWriter([&](const std::string &path, const std::string &text) {
        EXPECT_EQ(regMapPath, path);
        saved.push_back(text);
        return 0;
    });
    const std::string before = readFile(regMapPath);
    Module m = registered(0x10, "app");
    subscribe(m, 0x10, {3});
    tick(4);
    EXPECT_EQ(commands, std::vector<std::string>({ModuleName::killCommand("app")}));
    EXPECT_TRUE(signals.empty());
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_NE(saved[0].find("\"3\""), std::string::npos) << saved[0];
    EXPECT_EQ(before, readFile(regMapPath));
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    EXPECT_TRUE(killCalls(0).empty());
}

} // namespace
