// The saved subscription record: its exact file shape, replay order, the
// atomic rewrite, and files of the wrong shape.

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <unistd.h>

#include <functional>
#include <string>
#include <utility>
#include <vector>

#include "hub/CRegMap.h"
#include "tests/hub/HubTestSupport.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/TempDir.h"

namespace {

typedef std::vector<std::pair<int, int>> Pairs;

class CRegMapTest : public ::testing::Test {
protected:
    Pairs replay(CRegMap &map, int *result = nullptr)
    {
        Pairs pairs;
        const int r = map.replayRegMap([&pairs](int iEvent, int iModId) {
            pairs.emplace_back(iEvent, iModId);
            return 0;
        });
        if (result != nullptr) {
            *result = r;
        }
        return pairs;
    }
    // Loads the record from text, with its console output captured.
    int load(CRegMap &map, const std::string &text, std::string *printed = nullptr)
    {
        writeFile(path, text);
        OutputCapture out(STDOUT_FILENO);
        const int r = map.loadRegMap(path);
        if (printed != nullptr) {
            *printed = out.text();
        }
        return r;
    }

    TempDir dir;
    std::string path = dir.file("regMap.json");
    TraceLevelScope quiet{TRACE_ERROR};
};

TEST_F(CRegMapTest, FileShapeAfterThreeSubscriptions)
{
    CRegMap map;
    EXPECT_EQ(map.addRegMapEntry(3, 16), 0);
    EXPECT_EQ(map.addRegMapEntry(5, 16), 0);
    EXPECT_EQ(map.addRegMapEntry(3, 17), 0);
    EXPECT_EQ(map.addRegMapEntry(3, 16), 1);
    EXPECT_EQ(map.saveRegMap(path), 0);
    EXPECT_EQ(readFile(path), "{\n   \"3\" : [ 16, 17 ],\n   \"5\" : [ 16 ]\n}\n");
    EXPECT_FALSE(fileExists(path + ".tmp"));

    CRegMap reloaded;
    EXPECT_EQ(reloaded.loadRegMap(path), 0);
    EXPECT_EQ(replay(reloaded), Pairs({{3, 16}, {3, 17}, {5, 16}}));
}

TEST_F(CRegMapTest, RemovedPairsLeaveTheRecordAndFreeTheirPlace)
{
    CRegMap map;
    map.addRegMapEntry(3, 16);
    map.addRegMapEntry(3, 17);
    map.addRegMapEntry(5, 16);
    EXPECT_TRUE(map.removeRegMapEntry(3, 16));
    EXPECT_FALSE(map.removeRegMapEntry(3, 16));
    EXPECT_FALSE(map.removeRegMapEntry(9, 16));
    EXPECT_TRUE(map.removeRegMapEntry(5, 16));
    EXPECT_EQ(map.pairCount(), 1u);
    EXPECT_EQ(map.saveRegMap(path), 0);
    EXPECT_EQ(readFile(path), "{\n   \"3\" : [ 17 ]\n}\n");
    EXPECT_EQ(map.addRegMapEntry(5, 16), 0);
}

TEST_F(CRegMapTest, ReplayFollowsTheLibrarysStringOrder)
{
    CRegMap map;
    EXPECT_EQ(load(map, "{ \"9\" : [ 1 ], \"10\" : [ 2, 3 ], \"-4\" : [ 4 ] }"), 0);
    int result = -1;
    EXPECT_EQ(replay(map, &result), Pairs({{-4, 4}, {10, 2}, {10, 3}, {9, 1}}));
    EXPECT_EQ(result, 0);
}

TEST_F(CRegMapTest, MissingFileIsCreatedHoldingNull)
{
    CRegMap map;
    OutputCapture out(STDOUT_FILENO);
    const int result = map.loadRegMap(path);
    const std::string printed = out.text();
    EXPECT_EQ(result, 1);
    EXPECT_EQ(printed, "file not exist!\nnot objectValue\n");
    EXPECT_EQ(readFile(path), "null\n");
    EXPECT_TRUE(map.document().isNull());
    EXPECT_TRUE(replay(map).empty());

    // The first subscription turns the document into an object.
    map.addRegMapEntry(0, 0x11);
    map.saveRegMap(path);
    EXPECT_EQ(readFile(path), "{\n   \"0\" : [ 17 ]\n}\n");
}

TEST_F(CRegMapTest, TopLevelOfTheWrongShapeLeavesANullDocument)
{
    for (const char *text : {"[ 1, 2 ]", "42", "\"text\""}) {
        CRegMap map;
        std::string printed;
        EXPECT_EQ(load(map, text, &printed), 1) << text;
        EXPECT_EQ(printed, "not objectValue\n") << text;
        EXPECT_TRUE(map.document().isNull()) << text;
        EXPECT_TRUE(replay(map).empty()) << text;
    }
    CRegMap broken;
    EXPECT_EQ(load(broken, "{ \"3\" : [ 16, "), 2);
    EXPECT_TRUE(replay(broken).empty());
    // An unparsable record is not overwritten by loading it.
    EXPECT_EQ(readFile(path), "{ \"3\" : [ 16, ");

    // Nesting deep enough to make the reader give up is survived.
    CRegMap deep;
    EXPECT_EQ(load(deep, std::string(100000, '[')), 1);
    EXPECT_TRUE(deep.document().isNull());
}

TEST_F(CRegMapTest, MembersOfTheWrongShapeAreDropped)
{
    CRegMap map;
    EXPECT_EQ(load(map, "{ \"3\" : { \"a\" : 1 }, \"4\" : 7, \"x\" : [ 1 ], \"5\" : [ 16 ], \"99999999999\" : [ 2 ] }"),
              0);
    EXPECT_EQ(replay(map), Pairs({{5, 16}}));
    // Later subscriptions extend what was kept.
    EXPECT_EQ(map.addRegMapEntry(3, 16), 0);
    EXPECT_EQ(map.addRegMapEntry(5, 16), 1);
    EXPECT_EQ(replay(map), Pairs({{3, 16}, {5, 16}}));
}

TEST_F(CRegMapTest, NameHoldingAZeroByteIsDroppedAndTheSavedRecordReloadsWhole)
{
    CRegMap map;
    EXPECT_EQ(load(map, std::string("{ \"\0\0" "3\" : [ 16, 17 ], \"5\" : [ 16 ], \"0\0" "7\" : [ 1 ] }", 51)), 0);
    EXPECT_EQ(replay(map), Pairs({{5, 16}}));
    map.addRegMapEntry(3, 16);
    ASSERT_EQ(map.saveRegMap(path), 0);
    CRegMap reloaded;
    EXPECT_EQ(reloaded.loadRegMap(path), 0);
    EXPECT_TRUE(reloaded.document() == map.document());
    EXPECT_EQ(replay(reloaded), Pairs({{3, 16}, {5, 16}}));
}

TEST_F(CRegMapTest, ReplayStopsAtAnElementThatIsNotAnInteger)
{
    CRegMap map;
    EXPECT_EQ(load(map, "{ \"3\" : [ 16, \"17\", 18 ], \"4\" : [ 19 ] }"), 0);
    int result = -1;
    EXPECT_EQ(replay(map, &result), Pairs({{3, 16}}));
    EXPECT_EQ(result, 1);

    for (const char *element : {"1.5", "3000000000", "-3000000000", "null", "[ 1 ]", "true"}) {
        CRegMap other;
        EXPECT_EQ(load(other, std::string("{ \"2\" : [ 1 ], \"3\" : [ ") + element + " ] }"), 0) << element;
        EXPECT_EQ(replay(other, &result), Pairs({{2, 1}})) << element;
        EXPECT_EQ(result, 1) << element;
    }
}

TEST_F(CRegMapTest, FailedSaveLeavesTheOldRecord)
{
    CRegMap map;
    map.addRegMapEntry(3, 16);
    ASSERT_EQ(map.saveRegMap(path), 0);
    const std::string old = readFile(path);
    map.addRegMapEntry(4, 16);

    // A directory that does not exist: nothing can be written.
    EXPECT_EQ(map.saveRegMap(dir.path() + "/missing/regMap.json"), -1);

    // A directory standing at the record's own path: the rename fails and
    // the temporary file goes again.
    const std::string blocked = dir.path() + "/blocked.json";
    dir.makeDirs("blocked.json/inside");
    EXPECT_EQ(map.saveRegMap(blocked), -1);
    for (const std::string &name : listDir(dir.path())) {
        EXPECT_EQ(name.find("blocked.json."), std::string::npos) << name;
    }
    EXPECT_EQ(map.saveRegMap(path), 0);
    EXPECT_NE(readFile(path), old);
}

TEST_F(CRegMapTest, ReadOnlyDirectoryLeavesTheOldRecord)
{
    if (geteuid() == 0) {
        GTEST_SKIP() << "permissions do not stop root from writing";
    }
    CRegMap map;
    map.addRegMapEntry(3, 16);
    ASSERT_EQ(map.saveRegMap(path), 0);
    const std::string old = readFile(path);
    map.addRegMapEntry(4, 16);
    ASSERT_EQ(chmod(dir.path().c_str(), 0555), 0);
    EXPECT_EQ(map.saveRegMap(path), -1);
    chmod(dir.path().c_str(), 0755);
    EXPECT_EQ(readFile(path), old);
    EXPECT_FALSE(fileExists(path + ".tmp"));
}

} // namespace

namespace {

TEST_F(CRegMapTest, PairsAreBoundedPerModuleAndInAllAndNothingSavedIsLost)
{
    CRegMap map;
    for (int event = 0; event < CRegMap::kMaxEventsPerModule; ++event) {
        ASSERT_EQ(map.addRegMapEntry(event, 1), 0);
    }
    EXPECT_EQ(map.addRegMapEntry(CRegMap::kMaxEventsPerModule, 1), -1);
    EXPECT_EQ(map.addRegMapEntry(7, 1), 1); // what it has stays its own
    EXPECT_EQ(map.addRegMapEntry(7, 2), 0); // and others may still join
    for (int module = 3; map.pairCount() < CRegMap::kMaxPairs; ++module) {
        for (int event = 0; event < CRegMap::kMaxEventsPerModule && map.pairCount() < CRegMap::kMaxPairs; ++event) {
            ASSERT_EQ(map.addRegMapEntry(event, module), 0);
        }
    }
    EXPECT_EQ(map.addRegMapEntry(9, 2), -2);
    EXPECT_EQ(map.addRegMapEntry(7, 2), 1);

    // A record beyond the bounds (an older one) is loaded whole; only new
    // pairs are held back.
    ASSERT_EQ(map.saveRegMap(path), 0);
    CRegMap loaded;
    ASSERT_EQ(loaded.loadRegMap(path), 0);
    EXPECT_EQ(loaded.pairCount(), CRegMap::kMaxPairs);
    EXPECT_EQ(loaded.addRegMapEntry(9, 2), -2);
}

// Links, foreign owners and files writable by others are attacked end to
// end (the hostile fault tests); here, what is no file at all.
TEST_F(CRegMapTest, RecordThatIsNotARegularFileIsNotReadAndIsReplaced)
{
    const struct {
        const char *what;
        std::function<void()> plant;
    } cases[] = {
        {"directory", [&] { dir.makeDirs("regMap.json/inside"); }},
        {"fifo", [&] { ASSERT_EQ(mkfifo(path.c_str(), 0600), 0); }},
    };
    for (const auto &c : cases) {
        c.plant();
        CRegMap map;
        EXPECT_EQ(map.loadRegMap(path), 3) << c.what;
        EXPECT_EQ(map.refusal(), "it is not a regular file") << c.what;
        EXPECT_TRUE(replay(map).empty()) << c.what;
        map.addRegMapEntry(4, 17);
        // A directory is never removed by the hub; a FIFO is replaced.
        rmdir((path + "/inside").c_str());
        rmdir(path.c_str());
        EXPECT_EQ(map.saveRegMap(path), 0) << c.what;
        struct stat st;
        ASSERT_EQ(lstat(path.c_str(), &st), 0);
        EXPECT_TRUE(S_ISREG(st.st_mode) && (st.st_mode & 0777) == 0644) << c.what;
        remove(path.c_str());
    }
}

} // namespace
