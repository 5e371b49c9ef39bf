#include <gtest/gtest.h>

#include "app/PellixPara.h"
#include "tests/support/TempDir.h"

TEST(PellixPara, DefaultsText)
{
    TempDir dir;
    PellixPara para;
    ASSERT_EQ(writeParaFile(para, dir.file("p.json")), 0);
    EXPECT_EQ(readFile(dir.file("p.json")),
              "{\n   \"tcpListenPort\" : 10032,\n   \"unixSocketPath\" : \"/tmp/qm_sock\"\n}\n");
}
