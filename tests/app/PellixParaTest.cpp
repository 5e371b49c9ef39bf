// The configuration file: the text written for a record, the conversions of
// each key, and the files that leave the record as it was.

#include <gtest/gtest.h>

#include <sys/stat.h>

#include <string>

#include "app/PellixPara.h"
#include "tests/app/ScopedEnv.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/TempDir.h"

namespace {

const char kDefaultsText[] = "{\n   \"tcpListenPort\" : 10032,\n   \"unixSocketPath\" : \"/tmp/qm_sock\"\n}\n";

struct ReadResult {
    int rc = -100;
    PellixPara para;
    std::string out;
    std::string err;
    std::string fileAfter;
};

size_t lineCount(const std::string &text)
{
    size_t n = 0;
    for (char c : text) {
        n += c == '\n' ? 1 : 0;
    }
    return n;
}

} // namespace

class PellixParaTest : public ::testing::Test {
protected:
    // Writes `content` as the file, reads it into a record that holds values
    // no file gives, and reports what came out.
    ReadResult readContent(const std::string &content)
    {
        writeFile(file, content);
        ReadResult r = readPath(file);
        r.fileAfter = readFile(file);
        return r;
    }

    ReadResult readPath(const std::string &path)
    {
        ReadResult r;
        r.para.tcpListenPort = 1;
        r.para.unixSocketPath = "sentinel";
        OutputCapture out(1);
        OutputCapture err(2);
        r.rc = readParaFile(r.para, path);
        r.err = err.text();
        r.out = out.text();
        return r;
    }

    // Keeps the stand-in for an absent path at its compiled-in value.
    ScopedEnv noRoot{"PELLIX_ROOT", nullptr};
    TempDir dir;
    std::string file = dir.file("pellixPara.json");
};

TEST_F(PellixParaTest, DefaultsText)
{
    PellixPara para;
    ASSERT_EQ(writeParaFile(para, dir.file("p.json")), 0);
    EXPECT_EQ(readFile(dir.file("p.json")),
              "{\n   \"tcpListenPort\" : 10032,\n   \"unixSocketPath\" : \"/tmp/qm_sock\"\n}\n");
}

TEST_F(PellixParaTest, WrittenRecordReadsBackAndReplacesALongerFile)
{
    writeFile(file, std::string(500, ' ') + "{}");
    PellixPara written;
    written.tcpListenPort = 20000;
    written.unixSocketPath = "/var/run/hub.sock";
    ASSERT_EQ(writeParaFile(written, file), 0);
    EXPECT_EQ(readFile(file), "{\n   \"tcpListenPort\" : 20000,\n   \"unixSocketPath\" : \"/var/run/hub.sock\"\n}\n");

    const ReadResult r = readPath(file);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.para.tcpListenPort, 20000);
    EXPECT_EQ(r.para.unixSocketPath, "/var/run/hub.sock");
    EXPECT_EQ(r.err, "");
}

TEST_F(PellixParaTest, WriteIntoMissingDirectoryLosesTheTextQuietly)
{
    const std::string missing = dir.path() + "/no/such/dir/pellixPara.json";
    PellixPara para;
    OutputCapture out(1);
    OutputCapture err(2);
    EXPECT_EQ(writeParaFile(para, missing), 0);
    EXPECT_EQ(err.text(), "");
    EXPECT_EQ(out.text(), "");
    EXPECT_FALSE(fileExists(dir.path() + "/no"));
    EXPECT_EQ(para.tcpListenPort, 10032);
    EXPECT_EQ(para.unixSocketPath, "/tmp/qm_sock");
}

TEST_F(PellixParaTest, AbsentKeysTakeTheConstantDefaultsNotThePreviousValues)
{
    ReadResult r = readContent("{\"tcpListenPort\": 20000}");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.para.tcpListenPort, 20000);
    EXPECT_EQ(r.para.unixSocketPath, "/tmp/qm_sock");

    r = readContent("{\"unixSocketPath\": \"/run/x\"}");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.para.tcpListenPort, 10032);
    EXPECT_EQ(r.para.unixSocketPath, "/run/x");

    r = readContent("{}");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.para.tcpListenPort, 10032);
    EXPECT_EQ(r.para.unixSocketPath, "/tmp/qm_sock");
    EXPECT_EQ(r.err, "");
}

TEST_F(PellixParaTest, AbsentPathStandInFollowsTheRoot)
{
    ScopedEnv root("PELLIX_ROOT", "/tmp/pellix-some-root");
    const ReadResult r = readContent("{\"tcpListenPort\": 7}");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.para.unixSocketPath, "/tmp/pellix-some-root/tmp/qm_sock");
}

TEST_F(PellixParaTest, PortConversions)
{
    const struct {
        const char *json;
        int port;
    } cases[] = {
        {"20000", 20000},
        {"75568", 75568}, // kept whole: the hub takes the low 16 bits
        {"-5", -5},
        {"2147483647", 2147483647},
        {"-2147483648", -2147483647 - 1},
        {"10032.9", 10032},
        {"-3.7", -3},
        {"1e3", 1000},
        {"true", 1},
        {"false", 0},
        {"null", 0},
    };
    for (const auto &c : cases) {
        const ReadResult r = readContent(std::string("{\"tcpListenPort\": ") + c.json + "}");
        EXPECT_EQ(r.rc, 0) << c.json;
        EXPECT_EQ(r.para.tcpListenPort, c.port) << c.json;
        EXPECT_EQ(r.err, "") << c.json;
    }
}

TEST_F(PellixParaTest, PathConversions)
{
    const struct {
        const char *json;
        const char *path;
    } cases[] = {
        {"\"/tmp/other_sock\"", "/tmp/other_sock"},
        {"\"\"", ""},
        {"5", "5"},
        {"-7", "-7"},
        {"1.5", "1.5"},
        {"true", "true"},
        {"false", "false"},
        {"null", ""},
        {"\"a\\/b\\tc\"", "a/b\tc"},
    };
    for (const auto &c : cases) {
        const ReadResult r = readContent(std::string("{\"unixSocketPath\": ") + c.json + "}");
        EXPECT_EQ(r.rc, 0) << c.json;
        EXPECT_EQ(r.para.unixSocketPath, c.path) << c.json;
        EXPECT_EQ(r.err, "") << c.json;
    }
}

TEST_F(PellixParaTest, UnconvertiblePortFallsBackWithOneLineNamingTheKey)
{
    for (const char *json : {"\"20000\"", "3000000000", "-3000000000", "1e10", "[1]", "{\"a\": 1}", "[]"}) {
        const ReadResult r =
            readContent(std::string("{\"tcpListenPort\": ") + json + ", \"unixSocketPath\": \"/run/s\"}");
        EXPECT_EQ(r.rc, 0) << json;
        EXPECT_EQ(r.para.tcpListenPort, 10032) << json;
        EXPECT_EQ(r.para.unixSocketPath, "/run/s") << json;
        EXPECT_EQ(lineCount(r.err), 1u) << json << ": " << r.err;
        EXPECT_EQ(r.err.back(), '\n') << json;
        EXPECT_NE(r.err.find("tcpListenPort"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("unixSocketPath"), std::string::npos) << r.err;
        EXPECT_EQ(r.out, "") << json;
    }
}

TEST_F(PellixParaTest, UnconvertiblePathFallsBackWithOneLineNamingTheKey)
{
    for (const char *json : {"[]", "[\"/a\"]", "{}", "{\"p\": \"/a\"}"}) {
        const ReadResult r = readContent(std::string("{\"tcpListenPort\": 123, \"unixSocketPath\": ") + json + "}");
        EXPECT_EQ(r.rc, 0) << json;
        EXPECT_EQ(r.para.tcpListenPort, 123) << json;
        EXPECT_EQ(r.para.unixSocketPath, "/tmp/qm_sock") << json;
        EXPECT_EQ(lineCount(r.err), 1u) << json << ": " << r.err;
        EXPECT_NE(r.err.find("unixSocketPath"), std::string::npos) << r.err;
        EXPECT_EQ(r.err.find("tcpListenPort"), std::string::npos) << r.err;
    }
}

TEST_F(PellixParaTest, BothKeysUnconvertibleGiveOneLineEach)
{
    const ReadResult r = readContent("{\"tcpListenPort\": \"x\", \"unixSocketPath\": {}}");
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.para.tcpListenPort, 10032);
    EXPECT_EQ(r.para.unixSocketPath, "/tmp/qm_sock");
    ASSERT_EQ(lineCount(r.err), 2u) << r.err;
    const std::string first = r.err.substr(0, r.err.find('\n'));
    const std::string second = r.err.substr(first.size() + 1);
    EXPECT_NE(first.find("tcpListenPort"), std::string::npos) << r.err;
    EXPECT_NE(second.find("unixSocketPath"), std::string::npos) << r.err;
}

TEST_F(PellixParaTest, CommentsAroundValidContentAreAccepted)
{
    const std::string content = "// hub settings\n"
                                "/* written by hand\n   on the device */\n"
                                "{\n"
                                "   \"tcpListenPort\" : 20001, // moved off the default\n"
                                "   /* path */ \"unixSocketPath\" : \"/run/pellix\"\n"
                                "}\n"
                                "// end\n";
    const ReadResult r = readContent(content);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.para.tcpListenPort, 20001);
    EXPECT_EQ(r.para.unixSocketPath, "/run/pellix");
    EXPECT_EQ(r.fileAfter, content);
}

TEST_F(PellixParaTest, UnknownKeysAreIgnoredAndStayInTheFile)
{
    const std::string content = "{\"baudRate\": 115200, \"tcpListenPort\": 1234, \"zzz\": [1, 2]}";
    const ReadResult r = readContent(content);
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.para.tcpListenPort, 1234);
    EXPECT_EQ(r.para.unixSocketPath, "/tmp/qm_sock");
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.fileAfter, content);
}

TEST_F(PellixParaTest, RootThatIsNotAnObjectLeavesRecordAndFile)
{
    for (const char *content : {"[]", "[{\"tcpListenPort\": 5}]", "5", "null", "\"text\"", "true"}) {
        const ReadResult r = readContent(content);
        EXPECT_EQ(r.rc, 1) << content;
        EXPECT_EQ(r.para.tcpListenPort, 1) << content;
        EXPECT_EQ(r.para.unixSocketPath, "sentinel") << content;
        EXPECT_EQ(r.out, "") << content;
        EXPECT_EQ(r.err, "") << content;
        EXPECT_EQ(r.fileAfter, content);
    }
}

TEST_F(PellixParaTest, UnparsableFileLeavesRecordAndFile)
{
    // Nested deeper than the reader goes: unparsable too, never a crash.
    const std::string deep = "{\"tcpListenPort\": 1, \"x\": " + std::string(1000, '[') + std::string(1000, ']') + "}";
    for (const std::string &content : {std::string(""), std::string("   \n"), std::string("{"),
                                       std::string("{\"tcpListenPort\": }"), std::string("{\"tcpListenPort\" 1}"),
                                       std::string("tcpListenPort=1"), std::string("/* open"), deep}) {
        const ReadResult r = readContent(content);
        EXPECT_EQ(r.rc, 2) << "[" << content.substr(0, 40) << "]";
        EXPECT_EQ(r.para.tcpListenPort, 1) << content;
        EXPECT_EQ(r.para.unixSocketPath, "sentinel") << content;
        EXPECT_EQ(r.out, "") << content;
        EXPECT_EQ(r.err, "") << content;
        EXPECT_EQ(r.fileAfter, content);
    }
}

TEST_F(PellixParaTest, MissingOrUnreadableFileReadsAsEmpty)
{
    const std::string missing = dir.path() + "/absent.json";
    ReadResult r = readPath(missing);
    EXPECT_EQ(r.rc, 2);
    EXPECT_EQ(r.para.tcpListenPort, 1);
    EXPECT_EQ(r.para.unixSocketPath, "sentinel");
    EXPECT_EQ(r.err, "");
    EXPECT_FALSE(fileExists(missing));

    // A directory in place of the file cannot be read as one.
    dir.makeDirs("adir.json");
    r = readPath(dir.path() + "/adir.json");
    EXPECT_EQ(r.rc, 2);
    EXPECT_EQ(r.para.tcpListenPort, 1);
    EXPECT_EQ(r.err, "");
}

TEST_F(PellixParaTest, OptionalKeysAreReadWhenPresentAndNamedWhenUnusable)
{
    // Absent: the plain behaviour.
    ReadResult r = readContent("{\"tcpListenPort\": 20000}");
    EXPECT_EQ(r.para.settings.bindAddress, htonl(INADDR_ANY));
    EXPECT_EQ(r.para.settings.servePauseUs, -1);
    EXPECT_EQ(r.para.settings.sendQueueBytes, 0u);
    EXPECT_FALSE(r.para.settings.strictModules);
    EXPECT_FALSE(r.para.settings.localHubCommands);
    EXPECT_EQ(r.para.settings.killPolicy, HubSettings::KILL_BY_NAME);
    EXPECT_EQ(r.para.settings.maxMonitors, 4u);
    EXPECT_FALSE(r.para.settings.recordUnsubscriptions);
    EXPECT_EQ(r.para.settings.eventLoop, HubSettings::LOOP_SELECT);

    // The shipped hardened file: every key used, nothing complained about.
    r = readContent(readFile(std::string(PELLIX_SOURCE_PATH) + "/packaging/pellixPara.hardened.json"));
    EXPECT_EQ(r.rc, 0);
    EXPECT_EQ(r.err, "");
    EXPECT_EQ(r.para.settings.bindAddress, htonl(INADDR_LOOPBACK));
    EXPECT_EQ(r.para.settings.servePauseUs, 0);
    EXPECT_EQ(r.para.settings.sendQueueBytes, 1048576u);
    EXPECT_TRUE(r.para.settings.strictModules);
    EXPECT_TRUE(r.para.settings.localHubCommands);
    EXPECT_EQ(r.para.settings.killPolicy, HubSettings::KILL_PEER);
    EXPECT_TRUE(r.para.settings.recordUnsubscriptions);
    EXPECT_EQ(r.para.settings.eventLoop, HubSettings::LOOP_EPOLL);
    EXPECT_EQ(r.para.settings.accessFile, "/etc/pellix/access.json");
    r = readContent("{\"maxMonitors\": 64}");
    EXPECT_EQ(r.para.settings.maxMonitors, 64u);

    // Each unusable value: one line naming the key, the default kept.
    for (const char *member :
         {"\"tcpBindAddress\": \"localhost\"", "\"tcpBindAddress\": 2130706433", "\"servePauseUs\": -1",
          "\"servePauseUs\": 1.5", "\"servePauseUs\": \"0\"", "\"sendQueueBytes\": 4294967296",
          "\"strictModules\": 1", "\"hubCommandsFrom\": \"LOCAL\"", "\"killPolicy\": \"all\"",
          "\"killPolicy\": [\"peer\"]", "\"maxMonitors\": 257", "\"maxMonitors\": -1",
          "\"recordUnsubscriptions\": \"yes\"", "\"eventLoop\": \"poll\"", "\"eventLoop\": 1",
          "\"accessFile\": \"relative.json\"", "\"accessFile\": \"\""}) {
        r = readContent(std::string("{") + member + "}");
        const std::string key = std::string(member).substr(1, std::string(member).find('"', 1) - 1);
        EXPECT_EQ(r.rc, 0) << member;
        EXPECT_EQ(r.err, "pellixPara: cannot use \"" + key + "\", using its default\n") << member;
        EXPECT_EQ(r.para.settings.bindAddress, htonl(INADDR_ANY)) << member;
        EXPECT_EQ(r.para.settings.servePauseUs, -1) << member;
        EXPECT_EQ(r.para.settings.sendQueueBytes, 0u) << member;
        EXPECT_FALSE(r.para.settings.strictModules) << member;
        EXPECT_EQ(r.para.settings.killPolicy, HubSettings::KILL_BY_NAME) << member;
        EXPECT_EQ(r.para.settings.maxMonitors, 4u) << member;
        EXPECT_FALSE(r.para.settings.recordUnsubscriptions) << member;
        EXPECT_EQ(r.para.settings.eventLoop, HubSettings::LOOP_SELECT) << member;
    }
}
