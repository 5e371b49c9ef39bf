// The set-up of the logger "Pellix": file name, routing by level, flushing,
// line format, rotation, restart, and a directory that is missing.

#include <gtest/gtest.h>

#include <sys/syscall.h>
#include <unistd.h>

#include <ctime>
#include <memory>
#include <regex>
#include <set>
#include <string>

#include "app/CLogManager.h"
#include "tests/app/LogTestSupport.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/TempDir.h"

namespace {

const unsigned kMiB = 1048576;

std::string localDateTime(time_t t)
{
    struct tm local;
    localtime_r(&t, &local);
    char text[32];
    strftime(text, sizeof text, "%Y-%m-%d %H:%M:%S", &local);
    return text;
}

} // namespace

// The manager is one per process and the registry holds the logger by name:
// every test starts and ends with nothing registered under "Pellix".
class LogSetupTest : public ::testing::Test {
protected:
    void SetUp() override { spdlog::drop(CLogManager::kLoggerName); }
    void TearDown() override { spdlog::drop(CLogManager::kLoggerName); }

    void init(const std::string &logDir, unsigned maxSize = kMiB, unsigned files = 2)
    {
        CLogManager::getInstance()->initLogger(CLogManager::kLoggerName, logDir, maxSize, files);
    }

    TempDir dir;
    std::string logFile = dir.path() + "/Pellix.txt";
};

TEST_F(LogSetupTest, BannerReachesTheFileAtOnce)
{
    OutputCapture out(1);
    init(dir.path());
    ASSERT_NE(spdlog::get("Pellix"), nullptr);
    EXPECT_EQ(listDir(dir.path()), (std::set<std::string>{"Pellix.txt"}));

    const time_t before = time(nullptr);
    CLogManager::log(spdlog::level::warn, "pellix start, ver: {}", "2019-11-13");
    const time_t after = time(nullptr);

    // Read while the logger still holds the file open: nothing waits in a buffer.
    const std::string text = readFile(logFile);
    const std::smatch m = [&] {
        std::smatch match;
        static const std::regex line(R"(\[(\d{4}-\d\d-\d\d \d\d:\d\d:\d\d):\d{3}\] \[Pellix\] \[tid: (\d+)\] )"
                                     R"(\[warning\] pellix start, ver: 2019-11-13\n)");
        std::regex_match(text, match, line);
        return match;
    }();
    ASSERT_FALSE(m.empty()) << text;
    EXPECT_TRUE(m[1] == localDateTime(before) || m[1] == localDateTime(after)) << m[1];
    EXPECT_EQ(std::stol(m[2]), static_cast<long>(syscall(SYS_gettid)));

    // The console copy has the same text (no colour codes: stdout is a file here).
    const std::string console = out.text();
    EXPECT_TRUE(std::regex_match(console, std::regex(logPrefixPattern() + R"(\[warning\] pellix start, ver: 2019-11-13\n)")))
        << console;
}

TEST_F(LogSetupTest, RecordsAreRoutedByLevel)
{
    OutputCapture out(1);
    init(dir.path());
    CLogManager::log(spdlog::level::trace, "trace record");
    CLogManager::log(spdlog::level::debug, "debug record");
    CLogManager::log(spdlog::level::info, "info record {}", 1);
    EXPECT_EQ(readFile(logFile), "");
    CLogManager::log(spdlog::level::warn, "warn record");
    CLogManager::log(spdlog::level::err, "error record");
    CLogManager::log(spdlog::level::critical, "critical record");

    const std::vector<std::string> file = splitLines(readFile(logFile));
    ASSERT_EQ(file.size(), 3u);
    EXPECT_TRUE(isLogLine(file[0], "warning", "warn record")) << file[0];
    EXPECT_TRUE(isLogLine(file[1], "error", "error record")) << file[1];
    EXPECT_TRUE(isLogLine(file[2], "critical", "critical record")) << file[2];

    const std::vector<std::string> console = splitLines(out.text());
    ASSERT_EQ(console.size(), 4u);
    EXPECT_TRUE(isLogLine(console[0], "info", "info record 1")) << console[0];
    EXPECT_TRUE(isLogLine(console[1], "warning", "warn record")) << console[1];
    EXPECT_TRUE(isLogLine(console[2], "error", "error record")) << console[2];
    EXPECT_TRUE(isLogLine(console[3], "critical", "critical record")) << console[3];
}

TEST_F(LogSetupTest, RotationKeepsTwoPredecessors)
{
    OutputCapture out(1);
    const unsigned maxSize = 4096;
    init(dir.path(), maxSize, 2);
    const int records = 400; // about 30 KB: seven rotations
    for (int i = 0; i < records; ++i) {
        CLogManager::log(spdlog::level::warn, "record {:04d}", i);
    }
    EXPECT_EQ(listDir(dir.path()), (std::set<std::string>{"Pellix.txt", "Pellix.1.txt", "Pellix.2.txt"}));

    // Oldest first, the files hold consecutive records ending with the last one.
    int expected = -1;
    for (const char *name : {"Pellix.2.txt", "Pellix.1.txt", "Pellix.txt"}) {
        const std::string text = readFile(dir.path() + "/" + name);
        EXPECT_LE(text.size(), maxSize) << name;
        const std::vector<std::string> lines = splitLines(text);
        ASSERT_FALSE(lines.empty()) << name;
        for (const std::string &line : lines) {
            const int number = std::stoi(line.substr(line.size() - 4));
            if (expected < 0) {
                EXPECT_GT(number, 0) << "the oldest records are dropped";
            } else {
                EXPECT_EQ(number, expected) << name;
            }
            EXPECT_TRUE(isLogLine(line, "warning", line.substr(line.size() - 11))) << line;
            expected = number + 1;
        }
    }
    EXPECT_EQ(expected, records);
}

TEST_F(LogSetupTest, RestartContinuesTheExistingFile)
{
    OutputCapture out(1);
    writeFile(logFile, "older line\n");
    init(dir.path());
    CLogManager::log(spdlog::level::warn, "first run");
    spdlog::drop("Pellix");
    init(dir.path());
    CLogManager::log(spdlog::level::warn, "second run");

    const std::vector<std::string> lines = splitLines(readFile(logFile));
    ASSERT_EQ(lines.size(), 3u);
    EXPECT_EQ(lines[0], "older line");
    EXPECT_TRUE(isLogLine(lines[1], "warning", "first run")) << lines[1];
    EXPECT_TRUE(isLogLine(lines[2], "warning", "second run")) << lines[2];
}

TEST_F(LogSetupTest, RestartOnAFullFileRotatesAtTheNextRecord)
{
    OutputCapture out(1);
    const std::string old(4050, 'o');
    writeFile(logFile, old + "\n");
    init(dir.path(), 4096, 2);
    CLogManager::log(spdlog::level::warn, "after restart, long enough to pass the limit");
    EXPECT_EQ(readFile(dir.path() + "/Pellix.1.txt"), old + "\n");
    const std::vector<std::string> lines = splitLines(readFile(logFile));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(isLogLine(lines[0], "warning", "after restart, long enough to pass the limit"));
}

TEST_F(LogSetupTest, MissingDirectoryIsReportedAndNothingIsCreated)
{
    const std::string missing = dir.path() + "/data/log";
    OutputCapture out(1);
    init(missing);
    // Without a logger the record is skipped, quietly.
    CLogManager::log(spdlog::level::warn, "pellix start, ver: {}", "2019-11-13");
    CLogManager::log(spdlog::level::err, "Pellix get signal ( signal : {} )", 15);
    EXPECT_EQ(out.text(), "Log initialization faildFailed opening file " + missing +
                              "/Pellix.txt for writing: No such file or directory\n");
    EXPECT_EQ(listDir(dir.path()), std::set<std::string>());
    EXPECT_EQ(spdlog::get("Pellix"), nullptr);
    EXPECT_TRUE(CLogManager::getInstance()->getSinks().empty());
}

TEST_F(LogSetupTest, FileInPlaceOfTheDirectoryIsReported)
{
    const std::string notDir = dir.path() + "/log";
    writeFile(notDir, "x");
    OutputCapture out(1);
    init(notDir);
    EXPECT_EQ(out.text(),
              "Log initialization faildFailed opening file " + notDir + "/Pellix.txt for writing: Not a directory\n");
    EXPECT_EQ(listDir(dir.path()), std::set<std::string>{"log"});
    EXPECT_EQ(spdlog::get("Pellix"), nullptr);
}

TEST_F(LogSetupTest, SecondRegistrationIsReportedAndTheFirstLoggerStays)
{
    OutputCapture out(1);
    init(dir.path());
    std::shared_ptr<spdlog::logger> first = spdlog::get("Pellix");
    TempDir other;
    init(other.path());
    const std::string console = out.text();
    EXPECT_EQ(console, "Log initialization faildlogger with name 'Pellix' already exists\n");
    EXPECT_EQ(spdlog::get("Pellix"), first);
    EXPECT_STREQ(CLogManager::logFilePath(), logFile.c_str());

    OutputCapture quiet(1);
    CLogManager::log(spdlog::level::warn, "still here");
    const std::vector<std::string> lines = splitLines(readFile(logFile));
    ASSERT_EQ(lines.size(), 1u);
    EXPECT_TRUE(isLogLine(lines[0], "warning", "still here"));
}
