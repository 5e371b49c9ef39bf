// The compiled-in paths and the root that tests put in front of them.

#include <gtest/gtest.h>

#include "app/PellixPaths.h"
#include "tests/app/ScopedEnv.h"

TEST(PellixPaths, UnsetRootGivesTheCompiledInPaths)
{
    ScopedEnv root("PELLIX_ROOT", nullptr);
    EXPECT_EQ(PellixPaths::configFile(), "/work/pellixPara.json");
    EXPECT_EQ(PellixPaths::logDir(), "/work/data/log");
    EXPECT_EQ(PellixPaths::regMapFile(), "/tmp/regMap.json");
    EXPECT_EQ(PellixPaths::unixSocketPath(), "/tmp/qm_sock");
    EXPECT_EQ(PellixPaths::kTcpListenPort, 10032);
}

TEST(PellixPaths, EmptyOrSlashRootChangesNothing)
{
    for (const char *value : {"", "/", "///"}) {
        ScopedEnv root("PELLIX_ROOT", value);
        EXPECT_EQ(PellixPaths::configFile(), "/work/pellixPara.json") << "[" << value << "]";
        EXPECT_EQ(PellixPaths::unixSocketPath(), "/tmp/qm_sock") << "[" << value << "]";
    }
}

TEST(PellixPaths, RootGoesInFrontOfEveryPath)
{
    for (const char *value : {"/tmp/pellix-root", "/tmp/pellix-root/", "/tmp/pellix-root//"}) {
        ScopedEnv root("PELLIX_ROOT", value);
        EXPECT_EQ(PellixPaths::configFile(), "/tmp/pellix-root/work/pellixPara.json") << value;
        EXPECT_EQ(PellixPaths::logDir(), "/tmp/pellix-root/work/data/log") << value;
        EXPECT_EQ(PellixPaths::regMapFile(), "/tmp/pellix-root/tmp/regMap.json") << value;
        EXPECT_EQ(PellixPaths::unixSocketPath(), "/tmp/pellix-root/tmp/qm_sock") << value;
        EXPECT_EQ(PellixPaths::rooted("/x"), "/tmp/pellix-root/x") << value;
    }
}

TEST(PellixPaths, ConfiguredPathIsRootedOnce)
{
    ScopedEnv root("PELLIX_ROOT", "/tmp/pellix-root/");
    EXPECT_EQ(PellixPaths::rootedOnce("/tmp/qm_sock"), "/tmp/pellix-root/tmp/qm_sock");
    EXPECT_EQ(PellixPaths::rootedOnce("/tmp/pellix-root/tmp/s"), "/tmp/pellix-root/tmp/s");
    EXPECT_EQ(PellixPaths::rootedOnce("/tmp/pellix-rootless/s"), "/tmp/pellix-root/tmp/pellix-rootless/s");
    EXPECT_EQ(PellixPaths::rootedOnce("rel/s"), "/tmp/pellix-root/rel/s");
    ScopedEnv none("PELLIX_ROOT", nullptr);
    EXPECT_EQ(PellixPaths::rootedOnce("/tmp/qm_sock"), "/tmp/qm_sock");
}
