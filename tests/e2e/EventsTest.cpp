// Event subscription, publication, the saved record and its replay after a
// restart, and the departure event of a module that goes away.

#include "tests/e2e/E2eFixture.h"

namespace e2e {
namespace {

class E2eEvents : public E2eFixture {};
class E2eDeparture : public E2eFixture {};

const std::string kPublishEvent3 = bytes({0x03, 0x00, 0xAA});

TEST_F(E2eEvents, PublicationReachesEverySubscriberInAFrameFromTheEventManager)
{
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    ModuleClient first = tcpModule(0x10, "modA");
    ModuleClient second = unixModule(0x11, "modB");
    ModuleClient publisher = tcpModule(0x20, "modC");

    // Subscription frames exactly as a module writes them: to 0xE1, cmd 6,
    // one event (3).
    ASSERT_TRUE(first.send(bytes({'<', 's', 't', 'a', 'r', 't', '>', 0x09, 0x00, 0xE1, 0x10, 0x06, 0x00, 0x01, 0x03,
                                  0x00, '<', 'e', 'n', 'd', '>'})));
    ASSERT_TRUE(first.ping());
    ASSERT_TRUE(second.subscribe({3}));

    ASSERT_TRUE(publisher.send(makeFrame(kEventMgrId, 0x20, kCmdPublishEvent, kPublishEvent3)));
    EXPECT_EQ(hex(bytes({'<', 's', 't', 'a', 'r', 't', '>', 0x09, 0x00, 0x10, 0xE1, 0x05, 0x00, 0x03, 0x00, 0xAA, '<',
                         'e', 'n', 'd', '>'})),
              hex(first.readExactly(21)));
    EXPECT_EQ(hex(eventDelivery(0x11, kPublishEvent3)), hex(second.readExactly(21)));
    // The publisher is not subscribed and hears nothing of it.
    std::string unexpected;
    EXPECT_TRUE(publisher.ping(&unexpected)) << hex(unexpected);

    EXPECT_EQ("{\n   \"3\" : [ 16, 17 ]\n}\n", readFile(daemon.regMapPath()));

    // Any id from 0xE1 up selects the event commands; an event nobody
    // subscribed to reaches nobody.
    ASSERT_TRUE(publisher.send(makeFrame(0xFF, 0x20, kCmdPublishEvent, bytes({0x03, 0x00, 0xBB, 0xCC}))));
    ASSERT_TRUE(publisher.send(makeFrame(kEventMgrId, 0x20, kCmdPublishEvent, bytes({0x04, 0x00, 0xBB}))));
    EXPECT_EQ(hex(eventDelivery(0x10, bytes({0x03, 0x00, 0xBB, 0xCC}))), hex(first.readExactly(22)));
    EXPECT_EQ(hex(eventDelivery(0x11, bytes({0x03, 0x00, 0xBB, 0xCC}))), hex(second.readExactly(22)));
    EXPECT_TRUE(first.ping(&unexpected)) << hex(unexpected);

    // After unsubscribing, 0x11 gets nothing; the record keeps the pair.
    ASSERT_TRUE(second.subscribe({3}, kCmdUnregEvent));
    ASSERT_TRUE(publisher.send(makeFrame(kEventMgrId, 0x20, kCmdPublishEvent, kPublishEvent3)));
    EXPECT_EQ(hex(eventDelivery(0x10, kPublishEvent3)), hex(first.readExactly(21)));
    EXPECT_TRUE(publisher.ping(&unexpected)) << hex(unexpected);
    EXPECT_TRUE(second.ping(&unexpected)) << hex(unexpected);
    EXPECT_EQ("{\n   \"3\" : [ 16, 17 ]\n}\n", readFile(daemon.regMapPath()));

    expectStopsCleanly();
}

TEST_F(E2eEvents, SubscriptionsSurviveARestart)
{
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    {
        ModuleClient first = tcpModule(0x10, "modA");
        ModuleClient second = unixModule(0x11, "modB");
        ASSERT_TRUE(first.subscribe({3, 5}));
        ASSERT_TRUE(second.subscribe({3}));
        // Subscribing twice changes nothing in the record.
        ASSERT_TRUE(second.subscribe({3}));
    }
    const std::string record = "{\n   \"3\" : [ 16, 17 ],\n   \"5\" : [ 16 ]\n}\n";
    EXPECT_EQ(record, readFile(daemon.regMapPath()));
    expectStopsCleanly();

    // Same root, so the same record; a fresh port.
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    ModuleClient subscriber = unixModule(0x10, "modA");
    ModuleClient publisher = tcpModule(0x20, "modC");
    ASSERT_TRUE(publisher.send(makeFrame(kEventMgrId, 0x20, kCmdPublishEvent, kPublishEvent3)));
    EXPECT_EQ(hex(eventDelivery(0x10, kPublishEvent3)), hex(subscriber.readExactly(21)));
    ASSERT_TRUE(publisher.send(makeFrame(kEventMgrId, 0x20, kCmdPublishEvent, bytes({0x05, 0x00}))));
    EXPECT_EQ(hex(eventDelivery(0x10, bytes({0x05, 0x00}))), hex(subscriber.readExactly(20)));
    std::string unexpected;
    EXPECT_TRUE(subscriber.ping(&unexpected)) << hex(unexpected);
    EXPECT_EQ(record, readFile(daemon.regMapPath()));

    // 0x11 comes back later and is still subscribed.
    ModuleClient late = tcpModule(0x11, "modB");
    ASSERT_TRUE(publisher.send(makeFrame(kEventMgrId, 0x20, kCmdPublishEvent, kPublishEvent3)));
    EXPECT_EQ(hex(eventDelivery(0x10, kPublishEvent3)), hex(subscriber.readExactly(21)));
    EXPECT_EQ(hex(eventDelivery(0x11, kPublishEvent3)), hex(late.readExactly(21)));

    expectStopsCleanly();
    EXPECT_EQ(std::string::npos, daemon.stdoutText().find("file not exist!"));
    // The log is continued, not started afresh.
    EXPECT_EQ(2u, countOf(daemon.logText(), "pellix start, ver: 2019-11-13\n"));
}

// A withdrawn subscription is not taken out of the record unless the
// configuration asks for it: without it, the module's next incarnation gets
// the event again after a restart.
TEST_F(E2eEvents, WithdrawnSubscriptionComesBackAfterARestartUnlessRecorded)
{
    for (bool recorded : {false, true}) {
        const uint16_t port = pickFreePort();
        writeFile(daemon.configPath(), "{\"tcpListenPort\": " + std::to_string(port) +
                                           (recorded ? ", \"recordUnsubscriptions\": true}" : "}"));
        ASSERT_TRUE(daemon.startExpecting(port)) << daemon.lastError();
        {
            ModuleClient tool = tcpModule(0x10, "modA");
            ASSERT_TRUE(tool.subscribe({3, 5}));
            ASSERT_TRUE(tool.subscribe({3}, kCmdUnregEvent));
        }
        EXPECT_EQ(recorded ? "{\n   \"5\" : [ 16 ]\n}\n" : "{\n   \"3\" : [ 16 ],\n   \"5\" : [ 16 ]\n}\n",
                  readFile(daemon.regMapPath()));
        expectStopsCleanly();

        ASSERT_TRUE(daemon.startExpecting(port)) << daemon.lastError();
        ModuleClient later = unixModule(0x10, "other");
        ModuleClient publisher = tcpModule(0x20, "modC");
        ASSERT_TRUE(publisher.send(makeFrame(kEventMgrId, 0x20, kCmdPublishEvent, kPublishEvent3)));
        std::string unexpected;
        if (recorded) {
            EXPECT_TRUE(later.ping(&unexpected)) << hex(unexpected);
        } else {
            EXPECT_EQ(hex(eventDelivery(0x10, kPublishEvent3)), hex(later.readExactly(21)));
        }
        expectStopsCleanly();
        unlink(daemon.regMapPath().c_str());
    }
}

TEST_F(E2eDeparture, ModuleThatLeavesIsAnnouncedAsEventZero)
{
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    ModuleClient watcher = unixModule(0x11, "modB");
    ASSERT_TRUE(watcher.subscribe({0}));
    ModuleClient leaving = tcpModule(0x10, "modA");
    const std::string fd = loggedFd(16, "modA");

    leaving.close();
    EXPECT_EQ(hex(bytes({'<', 's', 't', 'a', 'r', 't', '>', 0x09, 0x00, 0x11, 0xE1, 0x05, 0x00, 0x00, 0x00, 0x10, '<',
                         'e', 'n', 'd', '>'})),
              hex(watcher.readExactly(21)));
    EXPECT_TRUE(DaemonProcess::waitForText(daemon.logPath(), "[warning] remove modId: 16, fd :" + fd +
                                                                 ", mod name: modA\n",
                                           kReplyTimeoutMs))
        << daemon.logText();

    // The id is free again: frames for 0x10 go nowhere until someone takes it.
    ASSERT_TRUE(watcher.send(makeFrame(0x10, 0x11, 0x0042, "gone")));
    std::string unexpected;
    EXPECT_TRUE(watcher.ping(&unexpected)) << hex(unexpected);
    ModuleClient back = tcpModule(0x10, "modA");
    ASSERT_TRUE(watcher.send(makeFrame(0x10, 0x11, 0x0042, "back")));
    EXPECT_EQ(hex(makeFrame(0x10, 0x11, 0x0042, "back")), hex(back.readExactly(22)));

    // A module under id 0 leaves without a departure event.
    ModuleClient zero = tcpModule(0x00, "modZero");
    zero.close();
    EXPECT_TRUE(DaemonProcess::waitForText(daemon.logPath(), "remove modId: 0, fd :", kReplyTimeoutMs))
        << daemon.logText();
    EXPECT_TRUE(watcher.ping(&unexpected)) << hex(unexpected);

    expectStopsCleanly();
}

TEST_F(E2eDeparture, ConnectionUnderSeveralIdsIsForgottenUnderEach)
{
    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    ModuleClient watcher = tcpModule(0x11, "modW");
    ASSERT_TRUE(watcher.subscribe({0}));
    ModuleClient twice = unixModule(0x15, "modA");
    EXPECT_EQ(hex(registrationReply(0x10)), hex(twice.registerAs(0x10, "modA")));
    const std::string frame = makeFrame(0x15, 0x11, 0x0042, "to 15");
    ASSERT_TRUE(watcher.send(frame));
    EXPECT_EQ(hex(frame), hex(twice.readExactly(frame.size())));

    // One departure per id, in ascending order of the ids.
    twice.close();
    EXPECT_EQ(hex(eventDelivery(0x11, bytes({0x00, 0x00, 0x10})) + eventDelivery(0x11, bytes({0x00, 0x00, 0x15}))),
              hex(watcher.readExactly(42)));
    const std::string log = daemon.logText();
    EXPECT_NE(std::string::npos, log.find("remove modId: 16, fd :")) << log;
    EXPECT_NE(std::string::npos, log.find("remove modId: 21, fd :")) << log;

    // Neither id leads anywhere now.
    ASSERT_TRUE(watcher.send(makeFrame(0x15, 0x11, 0x0042, "gone")));
    ASSERT_TRUE(watcher.send(makeFrame(0x10, 0x11, 0x0042, "gone")));
    std::string unexpected;
    EXPECT_TRUE(watcher.ping(&unexpected)) << hex(unexpected);

    expectStopsCleanly();
}

} // namespace
} // namespace e2e
