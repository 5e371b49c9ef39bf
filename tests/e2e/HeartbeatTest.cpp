// Heartbeat supervision in real time, the one slow test of the suite: a
// module that stays silent is dropped after three heartbeat periods of 15 s
// and killed by name, by a killall that holds none of the hub's
// descriptors; one whose name killall would take for a file is dropped
// without a kill; one that sends a heartbeat every 10 s stays.

#include <sys/stat.h>

#include <chrono>
#include <thread>

#include "tests/e2e/E2eFixture.h"

namespace e2e {
namespace {

class E2eHeartbeat : public E2eFixture {};

double secondsSince(std::chrono::steady_clock::time_point start)
{
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

TEST_F(E2eHeartbeat, SilentModuleIsDroppedAndKilled)
{
    // A stand-in for killall, found first on the daemon's PATH: it only
    // notes its arguments, one per line, and what its descriptors are.
    const std::string calls = dir.path() + "/killall-calls.txt";
    const std::string held = dir.path() + "/killall-fds.txt";
    const std::string fake = dir.file("bin/killall");
    writeFile(fake, "#!/bin/sh\nfor f in /proc/$$/fd/*; do readlink \"$f\"; done >> '" + held +
                        "'\nfor a in \"$@\"; do printf '%s\\n' \"$a\" >> '" + calls + "'; done\n");
    ASSERT_EQ(0, chmod(fake.c_str(), 0755));
    daemon.prependToPath(dir.path() + "/bin");
    ASSERT_TRUE(daemon.start()) << daemon.lastError();

    ModuleClient silent = tcpModule(0x30, "e2e-silent-mod");
    ModuleClient fileName = tcpModule(0x32, "/bin/sh");
    ModuleClient beating = unixModule(0x31, "e2e-beating-mod");
    const std::chrono::steady_clock::time_point registered = std::chrono::steady_clock::now();
    const std::string silentFd = loggedFd(48, "e2e-silent-mod");

    // The hub counts one missed period per 15 s tick and drops at the fourth
    // tick: 45 to 60 s of silence, plus the lateness of the tick.
    double droppedAfter = -1;
    double lastBeat = 0;
    while (secondsSince(registered) < 80) {
        if (secondsSince(registered) - lastBeat >= 10) {
            ASSERT_TRUE(beating.send(makeFrame(kHubId, 0x31, kCmdHeart)));
            lastBeat = secondsSince(registered);
        }
        if (silent.waitClosedByPeer(250)) {
            droppedAfter = secondsSince(registered);
            break;
        }
    }
    ASSERT_GE(droppedAfter, 0) << "the silent module was still connected after 80 s";
    EXPECT_GE(droppedAfter, 44.5);
    EXPECT_LE(droppedAfter, 62.0);

    EXPECT_TRUE(DaemonProcess::waitForText(calls, "e2e-silent-mod\n", kReplyTimeoutMs));
    EXPECT_EQ("-9\ne2e-silent-mod\n", readFile(calls)) << "only the silent module is killed";
    const std::string descriptors = readFile(held);
    EXPECT_EQ(std::string::npos, descriptors.find("socket:")) << descriptors;
    EXPECT_EQ(std::string::npos, descriptors.find("/data/log/")) << descriptors;
    EXPECT_TRUE(fileName.waitClosedByPeer(kReplyTimeoutMs));
    // The removal is logged after the kill command has been started, which
    // takes a while on a slow machine.
    EXPECT_TRUE(DaemonProcess::waitForText(daemon.logPath(), "mod name: e2e-silent-mod\n", kReplyTimeoutMs));
    const std::string log = daemon.logText();
    EXPECT_NE(std::string::npos, log.find("[error] module e2e-silent-mod heart time out, restart app...\n")) << log;
    EXPECT_NE(std::string::npos,
              log.find("[warning] remove modId: 48, fd :" + silentFd + ", mod name: e2e-silent-mod\n"))
        << log;
    EXPECT_EQ(std::string::npos, log.find("module e2e-beating-mod heart time out")) << log;

    // The beating module is still registered and served.
    std::string unexpected;
    EXPECT_TRUE(beating.ping(&unexpected)) << hex(unexpected);
    expectStopsCleanly();
    EXPECT_NE(std::string::npos, daemon.stdoutText().find("heart cmd from dev: e2e-beating-mod\n"));
    EXPECT_NE(std::string::npos, daemon.stdoutText().find("no kill command for module name \"/bin/sh\": it holds a '/'"));
}

} // namespace
} // namespace e2e
