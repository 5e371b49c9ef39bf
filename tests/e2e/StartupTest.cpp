// Start-up as seen from outside: the files a first start leaves, the port
// taken from the configuration, the banner in the log.

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include <memory>

#include "tests/e2e/E2eFixture.h"

namespace e2e {
namespace {

const char kBannerLine[] = "[warning] pellix start, ver: 2019-11-13\n";

// Serialises the starts that use the compiled-in port 10032, across test
// processes, for machines where the daemon cannot get a network of its own.
class DefaultPortLock {
public:
    DefaultPortLock() : fd(open("/tmp/pellix-e2e-default-port.lock", O_RDWR | O_CREAT | O_CLOEXEC, 0666))
    {
        if (fd >= 0) {
            flock(fd, LOCK_EX);
        }
    }
    ~DefaultPortLock()
    {
        if (fd >= 0) {
            close(fd);
        }
    }
    DefaultPortLock(const DefaultPortLock &) = delete;
    DefaultPortLock &operator=(const DefaultPortLock &) = delete;

private:
    int fd;
};

class E2eStartup : public E2eFixture {};

TEST_F(E2eStartup, FirstStartWritesTheDefaultsAndAnEmptyRecord)
{
    // With no configuration file the daemon listens on 10032. In a network
    // namespace of its own that port is its alone; without one, this is the
    // only test that may bind it, one run at a time, and only when it is free.
    std::unique_ptr<DefaultPortLock> lock;
    if (DaemonProcess::privateNetworkAvailable()) {
        daemon.usePrivateNetwork();
    } else {
        lock.reset(new DefaultPortLock());
        if (!portIsFree(10032)) {
            GTEST_SKIP() << "port 10032 is in use on this machine";
        }
    }
    ASSERT_FALSE(fileExists(daemon.configPath()));
    ASSERT_FALSE(fileExists(daemon.regMapPath()));

    ASSERT_TRUE(daemon.startExpecting(10032)) << daemon.lastError();

    const std::string socketPath = daemon.root() + "/tmp/qm_sock";
    EXPECT_EQ("{\n   \"tcpListenPort\" : 10032,\n   \"unixSocketPath\" : \"" + socketPath + "\"\n}\n",
              readFile(daemon.configPath()));
    EXPECT_EQ("null\n", readFile(daemon.regMapPath()));
    EXPECT_NE(std::string::npos, daemon.logText().find(kBannerLine)) << daemon.logText();

    expectStopsCleanly();
    const std::string out = daemon.stdoutText();
    const size_t missing = out.find("file not exist!\n");
    const size_t notObject = out.find("not objectValue\n");
    // The trace names main's source line as it always has.
    const size_t listen =
        out.find("main\t[  52]: tcp svr listen port: 10032, unix svr listen path: " + socketPath + "\n");
    ASSERT_NE(std::string::npos, missing) << out;
    ASSERT_NE(std::string::npos, notObject) << out;
    ASSERT_NE(std::string::npos, listen) << out;
    EXPECT_LT(missing, notObject);
    EXPECT_LT(notObject, listen);
    // The banner reaches the console as well as the file.
    EXPECT_NE(std::string::npos, out.find(kBannerLine)) << out;
    // The record that was just created is not replaced on the way out.
    EXPECT_EQ("null\n", readFile(daemon.regMapPath()));
}

TEST_F(E2eStartup, PortIsTakenModulo65536AndTheBannerIsLoggedAtOnce)
{
    std::string config;
    bool started = false;
    for (int attempt = 0; attempt < 5 && !started; ++attempt) {
        const uint16_t port = pickFreePort();
        ASSERT_NE(0, port);
        config = "// only the low 16 bits count\n{\"tcpListenPort\": " + std::to_string(65536 + port) + "}\n";
        writeFile(daemon.configPath(), config);
        started = daemon.startExpecting(port);
    }
    ASSERT_TRUE(started) << daemon.lastError();

    // Flushed at once: the line is there while the daemon runs.
    const std::string log = daemon.logText();
    EXPECT_TRUE(std::regex_match(log, std::regex("\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3}\\] "
                                                 "\\[Pellix\\] \\[tid: \\d+\\] \\[warning\\] "
                                                 "pellix start, ver: 2019-11-13\n")))
        << log;

    ModuleClient module = tcpModule(0x10, "modA");
    EXPECT_TRUE(module.ping());
    ModuleClient local = unixModule(0x11, "modB");
    EXPECT_TRUE(local.ping());

    expectStopsCleanly();
    EXPECT_EQ(config, readFile(daemon.configPath())) << "an existing configuration is never rewritten";
    EXPECT_NE(std::string::npos, daemon.stdoutText().find("tcp svr listen port: " + std::to_string(daemon.port()) +
                                                          ", unix svr listen path: " + daemon.unixSocketPath() +
                                                          "\n"))
        << daemon.stdoutText();
}

} // namespace
} // namespace e2e
