// The hub's files in a /tmp that others can write to: the subscription
// record and the Unix socket path are planted with symlinks, foreign or
// writable files and directories, and the configured socket path tries to
// lead the hub out of its root. The hub must read only a record it can
// trust, never write through a link, keep retrying a server it could not
// start, and rewrite the record only when it changes, within bounds.

#include <json/json.h>

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <memory>
#include <set>
#include <sstream>
#include <thread>

#include "tests/fault/FaultFixture.h"

namespace fault {
namespace {

class FaultHostileTmp : public FaultFixture {
protected:
    // Publishes `event` from `publisher` and waits until the hub has handled it.
    static void publish(ModuleClient &publisher, uint16_t event)
    {
        ASSERT_TRUE(publisher.send(makeFrame(kEventMgrId, publisher.id(), kCmdPublishEvent, payloadOf(event))));
        ASSERT_TRUE(publisher.ping());
    }
    static std::string payloadOf(uint16_t event) { return bytes({event & 0xff, event >> 8, 0x77}); }

    // Nothing has arrived for `module` but the echo of its ping.
    static void expectNothingFor(ModuleClient &module, const std::string &what)
    {
        std::string unexpected;
        EXPECT_TRUE(module.ping(&unexpected)) << what << ": " << hex(unexpected);
    }

    // The lines of `text` that hold both `a` and `b`.
    static int linesWith(const std::string &text, const std::string &a, const std::string &b)
    {
        std::istringstream lines(text);
        int count = 0;
        for (std::string line; std::getline(lines, line);) {
            count += line.find(a) != std::string::npos && line.find(b) != std::string::npos;
        }
        return count;
    }
};

const char kSavedRecord[] = "{\n   \"3\" : [ 16 ]\n}\n";

// The events the record names for `module`.
std::set<int> recordedEvents(const std::string &text, int module)
{
    Json::CharReaderBuilder builder;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::set<int> events;
    if (!reader->parse(text.data(), text.data() + text.size(), &root, nullptr) || !root.isObject()) {
        return events;
    }
    for (const std::string &name : root.getMemberNames()) {
        for (const Json::Value &id : root[name]) {
            if (id.isInt() && id.asInt() == module) {
                events.insert(atoi(name.c_str()));
            }
        }
    }
    return events;
}

struct stat lstatOf(const std::string &path)
{
    struct stat st = {};
    EXPECT_EQ(0, lstat(path.c_str(), &st)) << path;
    return st;
}

TEST_F(FaultHostileTmp, SymlinkAtTheRecordsTemporaryNameIsNotFollowed)
{
    const std::string victim = daemon.root() + "/victim";
    writeFile(victim, "precious");
    ASSERT_EQ(0, chmod(victim.c_str(), 0600));
    ASSERT_EQ(0, symlink(victim.c_str(), (daemon.regMapPath() + ".tmp").c_str()));
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    ModuleClient subscriber = tcpModule(0x10, "modA");
    ASSERT_TRUE(subscriber.subscribe({3}));

    EXPECT_EQ("precious", readFile(victim));
    EXPECT_EQ(0600u, lstatOf(victim).st_mode & 07777);
    EXPECT_TRUE(S_ISREG(lstatOf(daemon.regMapPath()).st_mode));
    EXPECT_EQ(std::set<int>{3}, recordedEvents(readFile(daemon.regMapPath()), 0x10));
    expectStopsCleanly();
}

// A record planted for module 0x10 in a way the hub must not trust.
struct PlantedRecord {
    const char *name;
    bool needsRoot;
    void (*plant)(const std::string &record, const std::string &root);
};

const PlantedRecord kPlantedRecords[] = {
    {"SymlinkToAFileOfSubscriptions", false,
     [](const std::string &record, const std::string &root) {
         writeFile(root + "/elsewhere.json", kSavedRecord);
         ASSERT_EQ(0, symlink((root + "/elsewhere.json").c_str(), record.c_str()));
     }},
    {"OwnedByAnotherUser", true,
     [](const std::string &record, const std::string &) {
         writeFile(record, kSavedRecord);
         ASSERT_EQ(0, chown(record.c_str(), 65534, 65534));
     }},
    {"WritableByOthers", false,
     [](const std::string &record, const std::string &) {
         writeFile(record, kSavedRecord);
         ASSERT_EQ(0, chmod(record.c_str(), 0666));
     }},
};

void PrintTo(const PlantedRecord &row, std::ostream *out)
{
    *out << row.name;
}

class FaultHostileRecord : public FaultHostileTmp, public ::testing::WithParamInterface<PlantedRecord> {};

TEST_P(FaultHostileRecord, IsNotReadAndIsReplacedByTheHubsOwn)
{
    if (GetParam().needsRoot && geteuid() != 0) {
        GTEST_SKIP() << "giving a file to another user takes root";
    }
    GetParam().plant(daemon.regMapPath(), daemon.root());
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    ModuleClient subscriber = tcpModule(0x10, "modA");
    ModuleClient publisher = tcpModule(0x20, "modB");
    publish(publisher, 3);
    expectNothingFor(subscriber, "the planted subscription was replayed");
    EXPECT_EQ(1, linesWith(daemon.logText(), "regMap", "not read")) << daemon.logText();

    ASSERT_TRUE(publisher.subscribe({4}));
    const struct stat st = lstatOf(daemon.regMapPath());
    EXPECT_TRUE(S_ISREG(st.st_mode));
    EXPECT_EQ(geteuid(), st.st_uid);
    EXPECT_EQ(0u, st.st_mode & (S_IWGRP | S_IWOTH));
    const std::string record = readFile(daemon.regMapPath());
    EXPECT_EQ(std::set<int>{4}, recordedEvents(record, 0x20)) << record;
    EXPECT_EQ(std::set<int>{}, recordedEvents(record, 0x10)) << record;
    if (fileExists(daemon.root() + "/elsewhere.json")) {
        EXPECT_EQ(kSavedRecord, readFile(daemon.root() + "/elsewhere.json")) << "written through the link";
    }
    expectStopsCleanly();
}

INSTANTIATE_TEST_SUITE_P(Planted, FaultHostileRecord, ::testing::ValuesIn(kPlantedRecords),
                         [](const ::testing::TestParamInfo<PlantedRecord> &row) { return row.param.name; });

TEST_F(FaultHostileTmp, DirectoryAtTheSocketPathIsKeptAndTheSocketComesOnceItIsGone)
{
    dir.makeDirs("tmp/qm_sock");
    daemon.expectNoUnixSocket();
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    EXPECT_TRUE(S_ISDIR(lstatOf(daemon.unixSocketPath()).st_mode)) << "the directory was removed";

    // The hub tries the socket again at its connection check, every 10 s.
    ASSERT_EQ(0, rmdir(daemon.unixSocketPath().c_str()));
    // (A daemon under a wrapper gets one check more.)
    const int64_t deadline = monotonicMs() + (DaemonProcess::wrapperCommand().empty() ? 12000 : 22000);
    struct stat st = {};
    while (!(lstat(daemon.unixSocketPath().c_str(), &st) == 0 && S_ISSOCK(st.st_mode)) && monotonicMs() < deadline) {
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    ASSERT_TRUE(S_ISSOCK(st.st_mode)) << "no socket at the path once it was free";
    ModuleClient module = unixModule(0x11, "modB");
    expectStopsCleanly();
    EXPECT_LE(1, linesWith(daemon.stdoutText(), "[ERROR ]", "is not a socket"));
}

TEST_F(FaultHostileTmp, TcpPortHeldAtStartIsTakenOnceItIsFree)
{
    const uint16_t port = pickFreePort();
    ASSERT_NE(0, port);
    OwnedFd holder(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0));
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    ASSERT_EQ(0, bind(holder.get(), reinterpret_cast<struct sockaddr *>(&addr), sizeof addr));
    ASSERT_EQ(0, listen(holder.get(), 1));
    writeFile(daemon.configPath(), "{\"tcpListenPort\": " + std::to_string(port) + "}\n");
    // The hub's failed TCP bind is the one bind error the readiness check
    // lets pass; ready means listening on TCP, after a retry.
    daemon.expectNoUnixSocket();
    std::thread release([&holder] {
        std::this_thread::sleep_for(std::chrono::seconds(1));
        holder.reset();
    });
    const bool started = daemon.startExpecting(port);
    release.join();
    ASSERT_TRUE(started) << daemon.lastError();
    ModuleClient overTcp = tcpModule(0x10, "modA");
    ModuleClient overUnix = unixModule(0x11, "modB");
    expectStopsCleanly();
}

TEST_F(FaultHostileTmp, DuplicateSubscriptionKeepsTheRecordAndAModuleHoldsAtMost4096Events)
{
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    ModuleClient subscriber = tcpModule(0x10, "modA");
    ModuleClient publisher = tcpModule(0x20, "modB");
    ASSERT_TRUE(subscriber.subscribe({3}));
    const struct stat first = lstatOf(daemon.regMapPath());
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    ASSERT_TRUE(subscriber.subscribe({3}));
    const struct stat duplicate = lstatOf(daemon.regMapPath());
    EXPECT_EQ(first.st_ino, duplicate.st_ino) << "a duplicate subscription rewrote the record";
    EXPECT_EQ(first.st_mtim.tv_nsec, duplicate.st_mtim.tv_nsec);
    EXPECT_EQ(first.st_mtim.tv_sec, duplicate.st_mtim.tv_sec);
    ASSERT_TRUE(subscriber.subscribe({5}));
    // (The inode freed by one rewrite may be taken again by the next.)
    EXPECT_NE(duplicate.st_ino, lstatOf(daemon.regMapPath()).st_ino) << "a new subscription was not saved";

    // Events 1 to 4097 in lists of at most 255: one too many.
    for (int event = 1; event <= 4097;) {
        const int count = std::min(255, 4098 - event);
        std::string list(1, static_cast<char>(count));
        for (int i = 0; i < count; ++i, ++event) {
            list += bytes({event & 0xff, event >> 8});
        }
        ASSERT_TRUE(subscriber.send(makeFrame(kEventMgrId, 0x10, kCmdRegEvent, list)));
    }
    ASSERT_TRUE(subscriber.ping());
    const std::set<int> kept = recordedEvents(readFile(daemon.regMapPath()), 0x10);
    ASSERT_EQ(4096u, kept.size());
    int refused = 1;
    while (kept.count(refused) != 0) {
        ++refused;
    }
    publish(publisher, static_cast<uint16_t>(refused));
    expectNothingFor(subscriber, "event " + std::to_string(refused) + " was refused");
    const uint16_t admitted = refused == 1 ? 2 : 1;
    publish(publisher, admitted);
    EXPECT_EQ(hex(eventDelivery(0x10, payloadOf(admitted))), hex(subscriber.readExactly(21)));
    expectStopsCleanly();
    EXPECT_NE(std::string::npos, daemon.stdoutText().find("refuse subscription"));
}

// A configured Unix socket path, and where the hub must listen for it.
struct ConfiguredPath {
    const char *name;
    bool rootedByTheHub;
    std::string configured(const std::string &root) const
    {
        return rootedByTheHub ? "/tmp/hostile_qm_sock_" + std::to_string(getpid()) : root + "/tmp/rooted_qm_sock";
    }
};

void PrintTo(const ConfiguredPath &row, std::ostream *out)
{
    *out << row.name;
}

class FaultHostileSocketPath : public FaultHostileTmp, public ::testing::WithParamInterface<ConfiguredPath> {};

TEST_P(FaultHostileSocketPath, ListensUnderTheRootOnly)
{
    const std::string configured = GetParam().configured(daemon.root());
    const std::string expected = GetParam().rootedByTheHub ? daemon.root() + configured : configured;
    ASSERT_FALSE(fileExists(configured) && GetParam().rootedByTheHub) << configured << " is there already";
    // Whatever a hub that leaves its root makes there goes again.
    struct Sweep {
        std::string path;
        ~Sweep() { unlink(path.c_str()); }
    } sweep{GetParam().rootedByTheHub ? configured : std::string()};
    const uint16_t port = pickFreePort();
    ASSERT_NE(0, port);
    writeFile(daemon.configPath(),
              "{\"tcpListenPort\": " + std::to_string(port) + ", \"unixSocketPath\": \"" + configured + "\"}\n");
    daemon.expectNoUnixSocket(); // not at the default path
    ASSERT_TRUE(daemon.startExpecting(port)) << daemon.lastError();
    EXPECT_TRUE(DaemonProcess::waitForFile(expected, 2000)) << expected;
    ModuleClient module = registered(ModuleClient::unixStream(expected), 0x10, "modA");
    expectStopsCleanly();
    if (GetParam().rootedByTheHub) {
        EXPECT_FALSE(fileExists(configured)) << "the hub made " << configured << " outside its root";
    }
}

INSTANTIATE_TEST_SUITE_P(Configured, FaultHostileSocketPath,
                         ::testing::Values(ConfiguredPath{"MachinePathIsPutUnderTheRoot", true},
                                           ConfiguredPath{"PathUnderTheRootIsTakenAsItIs", false}),
                         [](const ::testing::TestParamInfo<ConfiguredPath> &row) { return row.param.name; });

} // namespace
} // namespace fault
