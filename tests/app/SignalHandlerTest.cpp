// Fatal-signal handling, in forked children that installed the handlers: the
// signals that end the process with 255 and leave their record and a
// backtrace in the log, the ones that are left alone, and a signal that lands
// in the middle of a log call.

#include <gtest/gtest.h>

#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "app/CLogManager.h"
#include "app/SignalHandler.h"
#include "tests/app/ChildProcess.h"
#include "tests/app/LogTestSupport.h"
#include "tests/support/TempDir.h"
#include "tests/support/TestEnvironment.h"

namespace {

const int kTimeoutMs = 5000;

void startLogging(const std::string &dir, unsigned maxSize = 1048576)
{
    spdlog::drop(CLogManager::kLoggerName);
    CLogManager::getInstance()->initLogger(CLogManager::kLoggerName, dir, maxSize, 2);
}

// Child body: handlers, logger, "ready", then echo every byte it is sent
// until the test closes the pipe.
std::function<void(int, int)> waitingChild(const std::string &dir)
{
    return [dir](int in, int out) {
        installSignalHandlers();
        startLogging(dir);
        const char ready = 'R';
        if (write(out, &ready, 1) != 1) {
            return;
        }
        for (;;) {
            char c;
            const ssize_t n = read(in, &c, 1);
            if (n == 0) {
                return;
            }
            if (n == 1 && write(out, &c, 1) != 1) {
                return;
            }
        }
    };
}

std::string describe(int status)
{
    if (WIFEXITED(status)) {
        return "exit " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return "killed by signal " + std::to_string(WTERMSIG(status));
    }
    return "status " + std::to_string(status);
}

// Waits for the child to end and says whether it ended with status 255.
::testing::AssertionResult endsWith255(ChildProcess &child)
{
    int status = 0;
    if (!child.wait(kTimeoutMs, status)) {
        return ::testing::AssertionFailure() << "child hung";
    }
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 255) {
        return ::testing::AssertionFailure() << describe(status);
    }
    return ::testing::AssertionSuccess();
}

// Checks the file for the record of `sig` followed by backtrace records: each
// frame is an error record whose message ends in its own newline, so every
// frame line is followed by an empty line.
void expectSignalRecord(const std::string &file, int sig)
{
    const std::vector<std::string> lines = splitLines(readFile(file));
    const std::string message = "Pellix get signal ( signal : " + std::to_string(sig) + " )";
    size_t at = 0;
    while (at < lines.size() && !isLogLine(lines[at], "error", message)) {
        ++at;
    }
    ASSERT_LT(at, lines.size()) << "no record of signal " << sig << " in\n" << readFile(file);
    static const std::regex frameLine(logPrefixPattern() + R"(\[error\] .+)");
    size_t frames = 0;
    size_t i = at + 1;
    while (i + 1 < lines.size() && lines[i + 1].empty() && std::regex_match(lines[i], frameLine)) {
        ++frames;
        i += 2;
    }
    EXPECT_GE(frames, 1u) << readFile(file);
    EXPECT_LE(frames, 16u);
    EXPECT_EQ(i, lines.size()) << "unexpected text after the backtrace:\n" << readFile(file);
}

// Every line in the log files of `dir` that records signal `sig`.
std::vector<std::string> signalLines(const std::string &dir, int sig)
{
    const std::string message = "Pellix get signal ( signal : " + std::to_string(sig) + " )";
    std::vector<std::string> found;
    for (const std::string &name : listDir(dir)) {
        for (const std::string &line : splitLines(readFile(dir + "/" + name))) {
            if (line.find(message) != std::string::npos) {
                found.push_back(line);
            }
        }
    }
    return found;
}

} // namespace

class FatalSignalTest : public ::testing::TestWithParam<int> {};

TEST_P(FatalSignalTest, EndsWith255AndLogsSignalAndBacktrace)
{
    const int sig = GetParam();
    if (sig == SIGSEGV && runsUnderMemcheck()) {
        GTEST_SKIP() << "memcheck takes SIGSEGV for itself";
    }
    TempDir dir;
    ChildProcess child(waitingChild(dir.path()));
    char c = 0;
    ASSERT_TRUE(child.readByte(c, kTimeoutMs));
    ASSERT_EQ(c, 'R');
    ASSERT_TRUE(child.signal(sig));
    ASSERT_TRUE(endsWith255(child)) << "after signal " << sig;
    expectSignalRecord(dir.path() + "/Pellix.txt", sig);
}

INSTANTIATE_TEST_SUITE_P(CaughtSignals, FatalSignalTest,
                         ::testing::Values(SIGTERM, SIGUSR1, SIGHUP, SIGCONT, SIGINT, SIGUSR2, SIGALRM, SIGSEGV),
                         [](const ::testing::TestParamInfo<int> &p) { return "signal" + std::to_string(p.param); });

TEST(SignalHandler, ChildAndWindowSignalsLeaveTheProcessRunning)
{
    TempDir dir;
    ChildProcess child(waitingChild(dir.path()));
    char c = 0;
    ASSERT_TRUE(child.readByte(c, kTimeoutMs));
    for (int sig : {SIGCHLD, SIGWINCH}) {
        ASSERT_TRUE(child.signal(sig));
        // The signal is pending before the byte arrives, so the echo proves
        // the child has dealt with it and lives on.
        ASSERT_TRUE(child.sendByte('p'));
        ASSERT_TRUE(child.readByte(c, kTimeoutMs)) << "child ended on signal " << sig;
        EXPECT_EQ(c, 'p');
        EXPECT_TRUE(child.running());
    }
    EXPECT_TRUE(signalLines(dir.path(), SIGCHLD).empty());
    EXPECT_TRUE(signalLines(dir.path(), SIGWINCH).empty());

    ASSERT_TRUE(child.signal(SIGTERM));
    EXPECT_TRUE(endsWith255(child));
}

namespace {

void markerHandler(int) {}

char dispositionCode(int sig)
{
    struct sigaction sa;
    if (sigaction(sig, nullptr, &sa) != 0) {
        return 'E';
    }
    if (sa.sa_handler == onSignal) {
        return 'H';
    }
    if (sa.sa_handler == SIG_IGN) {
        return 'I';
    }
    if (sa.sa_handler == SIG_DFL) {
        return 'D';
    }
    return sa.sa_handler == markerHandler ? 'M' : '?';
}

} // namespace

TEST(SignalHandler, InstallsOneHandlerAndKeepsThreeInheritedDispositions)
{
    ChildProcess child([](int, int out) {
        signal(SIGPIPE, SIG_IGN);
        signal(SIGCHLD, markerHandler);
        signal(SIGWINCH, SIG_IGN);
        installSignalHandlers();
        std::string codes;
        for (int sig = 1; sig <= 31; ++sig) {
            codes += dispositionCode(sig);
        }
        if (write(out, codes.data(), codes.size()) != static_cast<ssize_t>(codes.size())) {
            _exit(1);
        }
    });
    std::string codes;
    char c;
    while (codes.size() < 31 && child.readByte(c, kTimeoutMs)) {
        codes += c;
    }
    std::string expected;
    for (int sig = 1; sig <= 31; ++sig) {
        switch (sig) {
        case SIGKILL:
        case SIGSTOP:
            expected += 'D';
            break;
        case SIGPIPE:
        case SIGWINCH:
            expected += 'I';
            break;
        case SIGCHLD:
            expected += 'M';
            break;
        default:
            expected += 'H';
        }
    }
    EXPECT_EQ(codes, expected);
    int status = 0;
    ASSERT_TRUE(child.wait(kTimeoutMs, status));
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << describe(status);
}

TEST(SignalHandler, WithoutALoggerTheSignalStillEnds255)
{
    TempDir dir;
    ChildProcess child(waitingChild(dir.path() + "/missing"));
    char c = 0;
    ASSERT_TRUE(child.readByte(c, kTimeoutMs));
    ASSERT_TRUE(child.signal(SIGTERM));
    EXPECT_TRUE(endsWith255(child));
    EXPECT_TRUE(listDir(dir.path()).empty());
}

namespace {

// Child body: logs warning records without pause, so that a signal nearly
// always lands inside a log call (often inside a rotation, with the small
// file size).
std::function<void(int, int)> busyChild(const std::string &dir)
{
    return [dir](int, int out) {
        installSignalHandlers();
        startLogging(dir, 16384);
        const char ready = 'R';
        if (write(out, &ready, 1) != 1) {
            return;
        }
        for (unsigned long i = 0;; ++i) {
            CLogManager::log(spdlog::level::warn, "busy record {}", i);
        }
    };
}

} // namespace

TEST(SignalHandler, SignalDuringALogCallStillEnds255)
{
    std::mt19937 random(12345);
    std::uniform_int_distribution<int> delayUs(0, 15000);
    for (int round = 0; round < 20; ++round) {
        TempDir dir;
        ChildProcess child(busyChild(dir.path()));
        char c = 0;
        ASSERT_TRUE(child.readByte(c, kTimeoutMs));
        usleep(static_cast<useconds_t>(delayUs(random)));
        ASSERT_TRUE(child.signal(SIGTERM));
        ASSERT_TRUE(endsWith255(child)) << "round " << round;

        // The record of the signal is written whole, in the file's own format.
        const std::vector<std::string> lines = signalLines(dir.path(), SIGTERM);
        ASSERT_EQ(lines.size(), 1u) << "round " << round;
        EXPECT_TRUE(isLogLine(lines[0], "error", "Pellix get signal ( signal : 15 )")) << lines[0];
    }
}

TEST(SignalHandler, SecondSignalDuringTheHandlerStillEnds255)
{
    std::mt19937 random(54321);
    std::uniform_int_distribution<int> delayUs(0, 3000);
    for (int round = 0; round < 20; ++round) {
        TempDir dir;
        ChildProcess child(busyChild(dir.path()));
        char c = 0;
        ASSERT_TRUE(child.readByte(c, kTimeoutMs));
        usleep(static_cast<useconds_t>(delayUs(random)));
        ASSERT_TRUE(child.signal(SIGTERM));
        usleep(static_cast<useconds_t>(delayUs(random) / 10));
        child.signal(SIGUSR1); // may find the child already gone
        ASSERT_TRUE(endsWith255(child)) << "round " << round;
    }
}

namespace {

volatile bool keepLogging = true; // never cleared: the loop below must not look endless to the compiler

// Logs without pause from a frame whose saved return address points at no
// code, so that the handler's walk of the stack faults when it gets there.
// The frame pointer is kept so that the slot of the return address is known.
__attribute__((noinline, optimize("no-omit-frame-pointer"))) void logFromACorruptFrame(int out)
{
    void **frame = static_cast<void **>(__builtin_frame_address(0));
    void *const returnAddress = frame[1];
    frame[1] = reinterpret_cast<void *>(0x10);
    const char ready = 'R';
    if (write(out, &ready, 1) == 1) {
        for (unsigned long i = 0; keepLogging; ++i) {
            CLogManager::log(spdlog::level::warn, "busy record {}", i);
        }
    }
    frame[1] = returnAddress;
}

} // namespace

TEST(SignalHandler, FaultWhileWalkingTheStackStillEnds255AfterTheRecord)
{
    if (runsUnderMemcheck()) {
        GTEST_SKIP() << "memcheck takes SIGSEGV for itself";
    }
    std::mt19937 random(2468);
    std::uniform_int_distribution<int> delayUs(0, 5000);
    for (int round = 0; round < 10; ++round) {
        TempDir dir;
        ChildProcess child([&dir](int, int out) {
            installSignalHandlers();
            startLogging(dir.path());
            logFromACorruptFrame(out);
        });
        char c = 0;
        ASSERT_TRUE(child.readByte(c, kTimeoutMs));
        usleep(static_cast<useconds_t>(delayUs(random)));
        ASSERT_TRUE(child.signal(SIGTERM));
        ASSERT_TRUE(endsWith255(child)) << "round " << round;
        EXPECT_EQ(signalLines(dir.path(), SIGTERM).size(), 1u) << "round " << round;
    }
}
