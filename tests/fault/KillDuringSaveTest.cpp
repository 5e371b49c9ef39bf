// The hub killed with SIGKILL while a module keeps subscribing, so that the
// record of subscriptions is being rewritten at the moment of death. After
// every kill the record must still be a whole document holding everything
// the hub had confirmed, and a hub started on it must replay it.

#include <json/json.h>

#include <signal.h>
#include <unistd.h>

#include <algorithm>
#include <map>
#include <random>
#include <set>
#include <sstream>
#include <thread>
#include <vector>

#include "tests/fault/FaultFixture.h"

namespace fault {
namespace {

class FaultKill : public FaultFixture {};

const int kRounds = 10;
const uint8_t kSubscriber = 0x10;
const uint8_t kPublisher = 0x20;

// The record as saved: an object whose names are event numbers in decimal
// and whose values are arrays of distinct module ids. Returns the events
// each module is subscribed to, or fails the test with what is wrong.
::testing::AssertionResult parseRecord(const std::string &text, std::map<int, std::set<int>> &events)
{
    Json::CharReaderBuilder builder;
    builder["allowComments"] = false;
    builder["failIfExtra"] = true;
    builder["rejectDupKeys"] = true;
    std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    if (!reader->parse(text.data(), text.data() + text.size(), &root, &errors)) {
        return ::testing::AssertionFailure() << "not valid JSON (" << errors << "): " << text;
    }
    if (!root.isObject()) {
        return ::testing::AssertionFailure() << "not an object: " << text;
    }
    for (const std::string &name : root.getMemberNames()) {
        if (name.empty() || name.find_first_not_of("0123456789") != std::string::npos || name.size() > 5) {
            return ::testing::AssertionFailure() << "member name \"" << name << "\" is not an event number";
        }
        const Json::Value &modules = root[name];
        if (!modules.isArray()) {
            return ::testing::AssertionFailure() << "member " << name << " is not an array";
        }
        std::set<int> seen;
        for (const Json::Value &module : modules) {
            if (!module.isInt() || module.asInt() < 0 || module.asInt() > 255) {
                return ::testing::AssertionFailure() << "member " << name << " holds " << module.toStyledString();
            }
            if (!seen.insert(module.asInt()).second) {
                return ::testing::AssertionFailure() << "member " << name << " repeats " << module.asInt();
            }
            events[module.asInt()].insert(atoi(name.c_str()));
        }
    }
    return ::testing::AssertionSuccess();
}

// A publication of `event`, and what its subscriber receives.
std::string eventPayload(int event)
{
    return bytes({event & 0xff, event >> 8, 0x5a});
}

TEST_F(FaultKill, RecordSurvivesSigkillWhileSubscriptionsAreSavedAndIsReplayed)
{
    std::mt19937 rng(20191113);
    std::uniform_int_distribution<int> killDelayMs(5, 300);
    std::vector<int> confirmedBefore; // confirmed in the previous round
    std::set<int> confirmedAll;
    // Sent when the hub died, so perhaps saved, perhaps not: one a round.
    std::set<int> inFlight;

    for (int round = 0; round < kRounds; ++round) {
        SCOPED_TRACE("round " + std::to_string(round));
        ASSERT_TRUE(daemon.start()) << daemon.lastError();
        ModuleClient subscriber = tcpModule(kSubscriber, "modSub");
        ModuleClient publisher = unixModule(kPublisher, "modPub");

        // What was confirmed before the last kill is in force again without
        // subscribing: every publication reaches the module, in order.
        if (!confirmedBefore.empty()) {
            std::string publications;
            std::string expected;
            for (int event : confirmedBefore) {
                publications += makeFrame(kEventMgrId, kPublisher, kCmdPublishEvent, eventPayload(event));
                expected += eventDelivery(kSubscriber, eventPayload(event));
            }
            ASSERT_TRUE(publisher.send(publications));
            ASSERT_EQ(hex(expected), hex(subscriber.readExactly(expected.size())));
        }

        // Subscribe to one new event after another until the hub dies. A
        // subscription is confirmed when the ping after it comes back: the
        // hub handles one connection's frames in order, so by then the
        // record holding it has been saved.
        std::vector<int> confirmed;
        const pid_t pid = daemon.pid();
        const int delay = killDelayMs(rng);
        std::thread killer([pid, delay] {
            std::this_thread::sleep_for(std::chrono::milliseconds(delay));
            kill(pid, SIGKILL);
        });
        for (int i = 0; i < 5000; ++i) {
            const int event = 100 + round * 2000 + i;
            if (!subscriber.subscribe({static_cast<uint16_t>(event)})) {
                inFlight.insert(event);
                break;
            }
            confirmed.push_back(event);
        }
        killer.join();
        EXPECT_EQ(-1, daemon.waitForExit(kReplyTimeoutMs));
        EXPECT_EQ("killed by signal 9", daemon.describeEnd());
        EXPECT_EQ("", daemon.sanitizerReport()) << tail(daemon.stderrText());

        std::map<int, std::set<int>> saved;
        ASSERT_TRUE(parseRecord(readFile(daemon.regMapPath()), saved));
        for (int event : confirmed) {
            ASSERT_EQ(1u, saved[kSubscriber].count(event)) << "confirmed event " << event << " is not in the record";
        }
        for (int event : confirmedAll) {
            ASSERT_EQ(1u, saved[kSubscriber].count(event)) << "event " << event << " of an earlier round was lost";
        }
        for (int event : saved[kSubscriber]) {
            ASSERT_TRUE(confirmedAll.count(event) + inFlight.count(event) + std::count(confirmed.begin(), confirmed.end(), event) > 0)
                << "event " << event << " was never subscribed to";
        }
        EXPECT_EQ(1u, saved.size()) << "only one module ever subscribed";
        confirmedAll.insert(confirmed.begin(), confirmed.end());
        confirmedBefore = confirmed;
        // A half-written temporary file left by a kill is never taken for
        // the record; make one that would be noticed.
        if (round % 3 == 1) {
            writeFile(daemon.regMapPath() + ".tmp", "{ \"9\" : [ 16");
        }
    }

    ASSERT_TRUE(daemon.start()) << daemon.lastError();
    ModuleClient subscriber = tcpModule(kSubscriber, "modSub");
    ModuleClient publisher = unixModule(kPublisher, "modPub");
    std::string publications;
    std::string expected;
    for (int event : confirmedAll) {
        publications += makeFrame(kEventMgrId, kPublisher, kCmdPublishEvent, eventPayload(event));
        expected += eventDelivery(kSubscriber, eventPayload(event));
    }
    ASSERT_TRUE(publisher.send(publications));
    const std::string received = subscriber.readExactly(expected.size(), 4 * kReplyTimeoutMs);
    EXPECT_TRUE(received == expected) << "received " << received.size() << " bytes of " << expected.size()
                                      << " for " << confirmedAll.size() << " events";
    // Event 9 came only from the broken temporary file.
    ASSERT_TRUE(publisher.send(makeFrame(kEventMgrId, kPublisher, kCmdPublishEvent, eventPayload(9))));
    std::string unexpected;
    EXPECT_TRUE(subscriber.ping(&unexpected)) << hex(unexpected);
    // The next save still holds it all.
    ASSERT_TRUE(subscriber.subscribe({7}));
    std::map<int, std::set<int>> saved;
    ASSERT_TRUE(parseRecord(readFile(daemon.regMapPath()), saved));
    EXPECT_EQ(1u, saved[kSubscriber].count(7));
    for (int event : confirmedAll) {
        ASSERT_EQ(1u, saved[kSubscriber].count(event)) << "event " << event;
    }
    for (int event : saved[kSubscriber]) {
        EXPECT_TRUE(event == 7 || confirmedAll.count(event) + inFlight.count(event) > 0) << "event " << event;
    }
    expectStopsCleanly();
}

} // namespace
} // namespace fault
