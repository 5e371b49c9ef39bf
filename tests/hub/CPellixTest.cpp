// The hub object driven in-process: registration, forwarding, event
// delivery, its own commands, malformed frames, the shared UDP splitter,
// and the removal of connections lost by the peer.

#include "tests/hub/PellixFixture.h"

namespace {

typedef PellixFixture CPellixTest;

TEST_F(CPellixTest, RegistrationRepliesAndNamesTheConnection)
{
    Module a = connect();
    send(a, makeFrame(0x01, 0x10, CMD_REG, "modA"));
    EXPECT_EQ(drain(a.peer), bytes({0x3C, 0x73, 0x74, 0x61, 0x72, 0x74, 0x3E, 0x06, 0x00, 0x10, 0x01, 0x01, 0x00, 0x3C,
                                    0x65, 0x6E, 0x64, 0x3E}));
    EXPECT_EQ(moduleAt(0x10), a.client);
    EXPECT_EQ(a.client->getName(), "modA");
    EXPECT_NE(log.text().find("[warning] reg fd: " + std::to_string(a.client->getFd()) + ", dev: 16, name: modA\n"),
              std::string::npos)
        << log.text();

    // No payload: the descriptor number is the name.
    Module b = registered(0x12, "");
    EXPECT_EQ(b.client->getName(), std::to_string(b.client->getFd()));

    // A name is taken byte for byte, and logged printable.
    const std::string odd("x\0y\n", 4);
    send(b, makeFrame(0x01, 0x12, CMD_REG, odd));
    EXPECT_EQ(drain(b.peer), makeFrame(0x12, 0x01, CMD_REG));
    EXPECT_EQ(b.client->getName(), odd);
    EXPECT_NE(log.text().find("name: x\\x00y\\x0a\n"), std::string::npos) << log.text();

    // Registering again replies again; taking over an id moves it.
    send(a, makeFrame(0x01, 0x10, CMD_REG, "modA"));
    EXPECT_EQ(drain(a.peer), makeFrame(0x10, 0x01, CMD_REG));
    send(b, makeFrame(0x01, 0x10, CMD_REG, "modB"));
    EXPECT_EQ(drain(b.peer), makeFrame(0x10, 0x01, CMD_REG));
    EXPECT_EQ(moduleAt(0x10), b.client);
    EXPECT_EQ(hub->getSessions().registeredIds().size(), 2u);
}

TEST_F(CPellixTest, FramesForAModuleAreForwardedByteForByte)
{
    Module a = registered(0x20, "a");
    Module b = registered(0x10, "b");
    Module zero = registered(0x00, "zero");
    Module top = registered(0xE0, "top");
    const std::string frame = bytes({0x3C, 0x73, 0x74, 0x61, 0x72, 0x74, 0x3E, 0x08, 0x00, 0x10, 0x20, 0x42, 0x00,
                                     0xAA, 0xBB, 0x3C, 0x65, 0x6E, 0x64, 0x3E});
    TraceLevelScope info(TRACE_INFO);
    OutputCapture out(STDOUT_FILENO);
    send(a, frame);
    const std::string text = out.text();
    EXPECT_EQ(drain(b.peer), frame);
    EXPECT_NE(text.find("from srcId [20] to devId [10], cmd: 0x0042, dataLen: 20\n"), std::string::npos) << text;
    EXPECT_EQ(drain(a.peer), "");

    const std::string toZero = makeFrame(0x00, 0x20, 0x42, "z");
    const std::string toTop = makeFrame(0xE0, 0x20, 0x42, "t");
    send(a, toZero + toTop);
    EXPECT_EQ(drain(zero.peer), toZero);
    EXPECT_EQ(drain(top.peer), toTop);
}

TEST_F(CPellixTest, FrameForAnUnregisteredModuleIsDropped)
{
    Module a = registered(0x20, "a");
    Module other = connect();
    TraceLevelScope info(TRACE_INFO);
    OutputCapture out(STDOUT_FILENO);
    send(a, makeFrame(0x10, 0x20, 0x42, bytes({0xAA, 0xBB})));
    const std::string text = out.text();
    EXPECT_NE(text.find("not find dest devId: 10\n"), std::string::npos) << text;
    EXPECT_EQ(drain(a.peer), "");
    EXPECT_EQ(drain(other.peer), "");
}

TEST_F(CPellixTest, PublicationIsDeliveredFromTheEventManagerToEachSubscriber)
{
    Module s1 = registered(0x10, "s1");
    Module s2 = registered(0x11, "s2");
    Module pub = registered(0x20, "pub");
    send(s1, makeFrame(0xE1, 0x10, CMD_REG_EVENT, bytes({0x01, 0x03, 0x00})));
    send(s2, makeFrame(0xFF, 0x11, CMD_REG_EVENT, bytes({0x01, 0x03, 0x00})));
    EXPECT_EQ(readFile(regMapPath), "{\n   \"3\" : [ 16, 17 ]\n}\n");
    EXPECT_FALSE(fileExists(regMapPath + ".tmp"));

    send(pub, makeFrame(0xE1, 0x20, CMD_PUBLISH_EVENT, bytes({0x03, 0x00, 0xAA})));
    const std::string toS1 = bytes({0x3C, 0x73, 0x74, 0x61, 0x72, 0x74, 0x3E, 0x09, 0x00, 0x10, 0xE1, 0x05, 0x00,
                                    0x03, 0x00, 0xAA, 0x3C, 0x65, 0x6E, 0x64, 0x3E});
    EXPECT_EQ(drain(s1.peer), toS1);
    EXPECT_EQ(drain(s2.peer), makeFrame(0x11, 0xE1, CMD_PUBLISH_EVENT, bytes({0x03, 0x00, 0xAA})));
    EXPECT_EQ(drain(pub.peer), "");

    // Unsubscribing changes the live table only, not the record.
    send(s1, makeFrame(0xE1, 0x10, CMD_UNREG_EVENT, bytes({0x01, 0x03, 0x00})));
    send(pub, makeFrame(0xE1, 0x20, CMD_PUBLISH_EVENT, bytes({0x03, 0x00})));
    EXPECT_EQ(drain(s1.peer), "");
    EXPECT_EQ(drain(s2.peer), makeFrame(0x11, 0xE1, CMD_PUBLISH_EVENT, bytes({0x03, 0x00})));
    EXPECT_EQ(readFile(regMapPath), "{\n   \"3\" : [ 16, 17 ]\n}\n");

    // A subscription and a publication in one read are handled in order.
    send(pub, makeFrame(0xE1, 0x20, CMD_REG_EVENT, bytes({0x01, 0x04, 0x00})) +
                  makeFrame(0xE1, 0x20, CMD_PUBLISH_EVENT, bytes({0x04, 0x00, 0x01})));
    EXPECT_EQ(drain(pub.peer), makeFrame(0x20, 0xE1, CMD_PUBLISH_EVENT, bytes({0x04, 0x00, 0x01})));
}

TEST_F(CPellixTest, SavedSubscriptionsAreInForceBeforeAnyModuleConnects)
{
    TempDir other;
    const std::string saved = other.file("regMap.json");
    writeFile(saved, "{ \"4\" : [ 16 ] }");
    hub.reset(new CPellix(saved));
    ASSERT_NE(subscribers(4), nullptr);
    EXPECT_EQ(*subscribers(4), std::vector<int>({16}));

    Module m = registered(0x10, "m");
    Module pub = registered(0x20, "pub");
    send(pub, makeFrame(0xE1, 0x20, CMD_PUBLISH_EVENT, bytes({0x04, 0x00})));
    EXPECT_EQ(drain(m.peer), makeFrame(0x10, 0xE1, CMD_PUBLISH_EVENT, bytes({0x04, 0x00})));
}

TEST_F(CPellixTest, DataPrintCommandToggles)
{
    Module m = connect();
    OutputCapture out(STDOUT_FILENO);
    send(m, makeFrame(0x01, 0x20, CMD_DATA_PRINT));
    const bool afterFirst = hub->getDataPrint();
    send(m, makeFrame(0x01, 0x20, CMD_DATA_PRINT));
    const std::string text = out.text();
    EXPECT_TRUE(afterFirst);
    EXPECT_FALSE(hub->getDataPrint());
    EXPECT_EQ(countOf(text, "open data print\n"), 1u);
    EXPECT_EQ(countOf(text, "close data print\n"), 1u);
    // While on, the bytes of the second read were dumped.
    EXPECT_EQ(countOf(text, "in onReadSocketData:[292]"), 1u) << text;
}

TEST_F(CPellixTest, DebugLevelCommandSetsTheLevelAndTracesAtIt)
{
    Module m = connect();
    OutputCapture out(STDOUT_FILENO);
    send(m, makeFrame(0x01, 0x20, CMD_SET_DEBUG_LEVEL, bytes({0x06, 0x00, 0x00, 0x00})));
    const int levelAfter = traceLevel;
    send(m, makeFrame(0x01, 0x20, CMD_HEART));
    const std::string text = out.text();
    EXPECT_EQ(levelAfter, TRACE_DEBUG);
    const size_t line = text.find("set debug level: 6\n");
    ASSERT_NE(line, std::string::npos) << text;
    const size_t lineStart = text.rfind('\n', line);
    EXPECT_NE(text.substr(lineStart + 1, line - lineStart).find("[DEBUG ]"), std::string::npos) << text;
    EXPECT_NE(text.find("processCenterData\t[ 384]: len = 6\n"), std::string::npos) << text;
    EXPECT_NE(text.find("heart cmd from dev: not set\n"), std::string::npos) << text;
}

TEST_F(CPellixTest, MalformedFramesAreDroppedAndTheHubGoesOn)
{
    Module a = registered(0x20, "a");
    Module b = registered(0x10, "b");
    subscribe(b, 0x10, {3});
    TraceLevelScope debug(TRACE_DEBUG);
    OutputCapture out(STDOUT_FILENO);

    // Shorter than a header.
    send(a, "<start><end>");
    send(a, "<start>" + bytes({0x06, 0x00, 0x10, 0x20}) + "<end>");
    // len below 6, and len claiming more than the frame holds.
    std::string shortLen = makeFrame(0xE1, 0x20, CMD_PUBLISH_EVENT, bytes({0x03, 0x00, 0xAA}));
    shortLen[7] = 2;
    send(a, shortLen);
    std::string longLen = makeFrame(0xE1, 0x20, CMD_PUBLISH_EVENT, bytes({0x03, 0x00, 0xAA}));
    longLen[7] = static_cast<char>(0xFF);
    longLen[8] = static_cast<char>(0xFF);
    send(a, longLen);
    // Level command without its four bytes.
    send(a, makeFrame(0x01, 0x20, CMD_SET_DEBUG_LEVEL, bytes({0x02, 0x00})));
    // List count larger than the list.
    send(a, makeFrame(0xE1, 0x20, CMD_REG_EVENT, bytes({0x05, 0x07, 0x00})));
    // Publication shorter than its event number.
    send(a, makeFrame(0xE1, 0x20, CMD_PUBLISH_EVENT, bytes({0x03})));
    // Commands nobody knows.
    send(a, makeFrame(0x01, 0x20, 0x99));
    send(a, makeFrame(0xE1, 0x20, 0x09));
    const int levelAfter = traceLevel;
    const std::string text = out.text();

    EXPECT_EQ(countOf(text, "shorter than a header"), 2u) << text;
    EXPECT_EQ(levelAfter, TRACE_DEBUG);
    EXPECT_NE(text.find("not find this cmd: 0x0099\n"), std::string::npos);
    EXPECT_NE(text.find("not find this type: 0x09\n"), std::string::npos);
    // Only the publication with the oversized len reached b, cut to what the
    // frame held.
    EXPECT_EQ(drain(b.peer), makeFrame(0x10, 0xE1, CMD_PUBLISH_EVENT, bytes({0x03, 0x00, 0xAA})));
    ASSERT_NE(subscribers(7), nullptr);
    EXPECT_EQ(*subscribers(7), std::vector<int>({0x20}));
    EXPECT_EQ(readFile(regMapPath), "{\n   \"3\" : [ 16 ],\n   \"7\" : [ 32 ]\n}\n");

    const std::string frame = makeFrame(0x10, 0x20, 0x42, bytes({0xAA, 0xBB}));
    send(a, frame);
    EXPECT_EQ(drain(b.peer), frame);
    EXPECT_EQ(drain(a.peer), "");
}

TEST_F(CPellixTest, DatagramsShareOneSplitterAndRegisterNothing)
{
    const std::string path = dir.file("qm_sock");
    hub->initServers(0, path);

    Module b = registered(0x10, "b");
    const std::string toggle = makeFrame(0x01, 0x30, CMD_DATA_PRINT);
    hub->onReadDatagram(-1, nullptr, toggle.data(), 9);
    EXPECT_FALSE(hub->getDataPrint());
    {
        OutputCapture out(STDOUT_FILENO); // the dump of the bytes
        hub->onReadDatagram(-1, nullptr, toggle.data() + 9, static_cast<int>(toggle.size()) - 9);
        EXPECT_TRUE(hub->getDataPrint());
        hub->onReadDatagram(-1, nullptr, toggle.data(), static_cast<int>(toggle.size()));
    }
    EXPECT_FALSE(hub->getDataPrint());

    const std::string reg = makeFrame(0x01, 0x31, CMD_REG, "udp");
    hub->onReadDatagram(-1, nullptr, reg.data(), static_cast<int>(reg.size()));
    EXPECT_EQ(moduleAt(0x31), nullptr);

    const std::string frame = makeFrame(0x10, 0x31, 0x42, "hi");
    hub->onReadDatagram(-1, nullptr, frame.data(), static_cast<int>(frame.size()));
    EXPECT_EQ(drain(b.peer), frame);
    EXPECT_EQ(drain(b.peer), "");
}

TEST_F(CPellixTest, ConnectionLostByThePeerIsForgottenAndItsDepartureAnnounced)
{
    Module m = registered(0x10, "m");
    Module s = registered(0x11, "s");
    subscribe(s, 0x11, {0});
    const int fd = m.client->getFd();
    send(m, "<start>" + bytes({0x08, 0x00})); // a partial frame goes with it
    hangUp(m);

    EXPECT_EQ(drain(s.peer), makeFrame(0x11, 0xE1, CMD_PUBLISH_EVENT, bytes({0x00, 0x00, 0x10})));
    EXPECT_EQ(moduleAt(0x10), nullptr);
    EXPECT_EQ(hub->getSessions().find(m.client), nullptr);
    EXPECT_EQ(hub->getSessions().size(), 1u);
    EXPECT_NE(log.text().find("[warning] remove modId: 16, fd :" + std::to_string(fd) + ", mod name: m\n"),
              std::string::npos)
        << log.text();

    // The socket manager deletes the endpoint at its next check; the hub
    // holds nothing that points to it any more.
    const size_t before = hub->getSocketManager()->size();
    OutputCapture quiet(STDOUT_FILENO);
    hub->getSocketManager()->checkConnection(nullptr, 0);
    EXPECT_EQ(hub->getSocketManager()->size(), before - 1);
    hub->heartCmdCheck(nullptr, 0);
    EXPECT_EQ(hub->getSessions().find(s.client)->missCount, 1);
}

TEST_F(CPellixTest, ModuleUnderIdZeroLeavesWithoutDepartureEvent)
{
    Module m = registered(0x00, "zero");
    Module s = registered(0x11, "s");
    subscribe(s, 0x11, {0});
    hangUp(m);
    EXPECT_EQ(moduleAt(0x00), nullptr);
    EXPECT_EQ(drain(s.peer), "");
    EXPECT_NE(log.text().find("remove modId: 0, fd :"), std::string::npos);
}

TEST_F(CPellixTest, ConnectionUnderTwoIdsIsForgottenUnderBoth)
{
    Module m = registered(0x10, "m");
    send(m, makeFrame(0x01, 0x12, CMD_REG, "m"));
    EXPECT_EQ(drain(m.peer), makeFrame(0x12, 0x01, CMD_REG));
    Module s = registered(0x11, "s");
    subscribe(s, 0x11, {0});
    hangUp(m);
    EXPECT_EQ(drain(s.peer), makeFrame(0x11, 0xE1, CMD_PUBLISH_EVENT, bytes({0x00, 0x00, 0x10})) +
                                 makeFrame(0x11, 0xE1, CMD_PUBLISH_EVENT, bytes({0x00, 0x00, 0x12})));
    EXPECT_EQ(moduleAt(0x10), nullptr);
    EXPECT_EQ(moduleAt(0x12), nullptr);
    EXPECT_EQ(countOf(log.text(), "remove modId: "), 2u);
}

TEST_F(CPellixTest, ModuleThatLostItsIdToAnotherLeavesSilently)
{
    Module a = registered(0x10, "a");
    Module b = registered(0x10, "b");
    Module s = registered(0x11, "s");
    subscribe(s, 0x11, {0});
    hangUp(a);
    EXPECT_EQ(moduleAt(0x10), b.client);
    EXPECT_EQ(drain(s.peer), "");
    EXPECT_EQ(countOf(log.text(), "remove modId: "), 0u);
}

TEST_F(CPellixTest, SubscriptionsOutliveTheirModule)
{
    Module old = registered(0x10, "old");
    subscribe(old, 0x10, {4});
    hangUp(old);
    ASSERT_NE(subscribers(4), nullptr);

    Module again = registered(0x10, "again");
    Module pub = registered(0x20, "pub");
    send(pub, makeFrame(0xE1, 0x20, CMD_PUBLISH_EVENT, bytes({0x04, 0x00, 0x5A})));
    EXPECT_EQ(drain(again.peer), makeFrame(0x10, 0xE1, CMD_PUBLISH_EVENT, bytes({0x04, 0x00, 0x5A})));
}

} // namespace
