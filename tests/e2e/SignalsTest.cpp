// Signals from outside: every caught one ends the daemon with status 255
// and leaves its number and a backtrace in the log; SIGCHLD and SIGWINCH
// are not caught.

#include <chrono>
#include <csignal>
#include <thread>

#include "tests/e2e/E2eFixture.h"

namespace e2e {
namespace {

class E2eSignals : public E2eFixture, public ::testing::WithParamInterface<int> {};
class E2eSignalHandling : public E2eFixture {};

TEST_P(E2eSignals, EndsWithStatus255AndABacktraceInTheLog)
{
    const int sig = GetParam();
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    ModuleClient module = tcpModule(0x10, "modA");

    expectStopsCleanly(sig);
    const std::string log = daemon.logText();
    // The signal line, then at least one stack frame, each a record of its
    // own at error level.
    const std::regex signalThenFrame("\\] \\[error\\] Pellix get signal \\( signal : " + std::to_string(sig) +
                                     " \\)\n\\[\\d{4}-\\d\\d-\\d\\d \\d\\d:\\d\\d:\\d\\d:\\d{3}\\] \\[Pellix\\] "
                                     "\\[tid: \\d+\\] \\[error\\] [^\\n]*\\S");
    EXPECT_TRUE(std::regex_search(log, signalThenFrame)) << log;
    EXPECT_EQ(1u, countOf(log, "Pellix get signal"));
    // The connection went with the process.
    EXPECT_TRUE(module.waitClosedByPeer(kReplyTimeoutMs));
}

INSTANTIATE_TEST_SUITE_P(CaughtSignals, E2eSignals, ::testing::Values(SIGTERM, SIGUSR1, SIGHUP, SIGCONT),
                         [](const ::testing::TestParamInfo<int> &param) {
                             switch (param.param) {
                             case SIGTERM:
                                 return std::string("SIGTERM");
                             case SIGUSR1:
                                 return std::string("SIGUSR1");
                             case SIGHUP:
                                 return std::string("SIGHUP");
                             default:
                                 return std::string("SIGCONT");
                             }
                         });

// The process state letter from /proc/<pid>/stat ('T' when stopped).
char processState(pid_t pid)
{
    const std::string stat = readFile("/proc/" + std::to_string(pid) + "/stat");
    const size_t close = stat.rfind(')');
    return close == std::string::npos || close + 2 >= stat.size() ? '?' : stat[close + 2];
}

// Supervisors such as systemd send SIGCONT right after SIGTERM, so that a
// stopped process gets to see the SIGTERM. Stopping the daemon first makes
// both signals pending together when it resumes: the log must still name
// the signal that ended it.
TEST_F(E2eSignalHandling, TermFollowedAtOnceByContIsLoggedAsTerm)
{
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    ASSERT_TRUE(daemon.sendSignal(SIGSTOP));
    for (int i = 0; i < 1000 && processState(daemon.pid()) != 'T'; ++i) {
        std::this_thread::sleep_for(std::chrono::milliseconds(5));
    }
    ASSERT_EQ('T', processState(daemon.pid()));
    ASSERT_TRUE(daemon.sendSignal(SIGTERM));
    ASSERT_TRUE(daemon.sendSignal(SIGCONT));
    EXPECT_EQ(255, daemon.waitForExit(15000)) << daemon.describeEnd();
    EXPECT_EQ("", daemon.sanitizerReport()) << tail(daemon.stderrText());
    const std::string log = daemon.logText();
    EXPECT_NE(std::string::npos, log.find("Pellix get signal ( signal : 15 )\n")) << log;
    EXPECT_EQ(1u, countOf(log, "Pellix get signal")) << log;
}

TEST_F(E2eSignalHandling, ChildAndWindowSignalsLeaveTheHubServing)
{
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    ModuleClient module = tcpModule(0x10, "modA");
    ModuleClient other = unixModule(0x11, "modB");

    for (int sig : {SIGCHLD, SIGWINCH, SIGCHLD, SIGWINCH}) {
        ASSERT_TRUE(daemon.sendSignal(sig));
        // The hub is still up and still routes between modules.
        const std::string frame = makeFrame(0x11, 0x10, 0x0042, bytes({sig}));
        ASSERT_TRUE(module.send(frame));
        EXPECT_EQ(hex(frame), hex(other.readExactly(frame.size()))) << "after signal " << sig;
        ASSERT_TRUE(daemon.running()) << "signal " << sig << " ended it: " << daemon.describeEnd();
    }
    EXPECT_TRUE(module.ping());
    EXPECT_EQ(std::string::npos, daemon.logText().find("Pellix get signal"));

    expectStopsCleanly();
}

} // namespace
} // namespace e2e
