// The socket manager: its map, the socket table, the periodic connection
// check with its three kinds of endpoints, and the order in which one pass
// of the loop serves ready descriptors.

#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "net/CSocketManager.h"
#include "net/CTcpClient.h"
#include "net/CTcpServer.h"
#include "tests/net/NetTestSupport.h"
#include "tests/net/TraceLines.h"
#include "tests/support/OutputCapture.h"
#include "tests/timer/FakeClock.h"

namespace {

const char kRule[] = "_______________________________________________________\n";
const char kTimerList[] = "timer list:\n"
                          "    Name  \t\tPrior\tState\n"
                          "_______________________________________________________\n"
                          "00.checkConnection       \tnomal\ttrue\n";

std::string row(const char *name, int fd, const char *state)
{
    char buf[128];
    snprintf(buf, sizeof buf, "%20s        %02d        %-12s\n", name, fd, state);
    return buf;
}

class SocketManagerTest : public ::testing::Test {
protected:
    TraceLevelScope level{TRACE_DEBUG};
    FakeClock clock;
};

TEST_F(SocketManagerTest, ServePauseIsTheConfiguredSetting)
{
    const unsigned pause = CSocketManager::kServePauseUs;
    EXPECT_EQ(pause, static_cast<unsigned>(PELLIX_CONFIGURED_PAUSE_US));
    // Changeable at run time; the stall timeout likewise.
    CSocketManager mgr;
    EXPECT_EQ(mgr.servePauseUs(), pause);
    mgr.setServePauseUs(0);
    EXPECT_EQ(mgr.servePauseUs(), 0u);
    EXPECT_EQ(mgr.stallTimeoutMs(), 10000);
}

TEST_F(SocketManagerTest, AddReplaceRemoveAndFind)
{
    bool aGone = false;
    bool bGone = false;
    ProbeEndpoint a(5, true, CObjectBase::kAccepted, &aGone);
    ProbeEndpoint b(5, true, CObjectBase::kAccepted, &bGone);
    CSocketManager mgr;
    CObjectBase *found = &a;
    OutputCapture out(1);
    EXPECT_EQ(mgr.find(5, found), -1);
    EXPECT_EQ(found, &a); // untouched on a miss
    EXPECT_EQ(mgr.remove(5), -1);
    EXPECT_EQ(mgr.add(5, &a), 0);
    EXPECT_EQ(mgr.add(5, &b), 0);
    EXPECT_EQ(mgr.size(), 1u);
    EXPECT_EQ(mgr.find(5, found), 0);
    EXPECT_EQ(found, &b);
    EXPECT_FALSE(aGone); // neither closed nor deleted
    EXPECT_EQ(a.closes, 0);
    EXPECT_EQ(mgr.remove(5), 0);
    EXPECT_EQ(mgr.size(), 0u);
    EXPECT_FALSE(bGone);

    const TraceOutput trace = parseTrace(out.text());
    ASSERT_EQ(trace.lines.size(), 2u);
    EXPECT_EQ(trace.lines[0].level, TRACE_NOTICE);
    EXPECT_EQ(trace.lines[0].func, "add");
    EXPECT_EQ(trace.lines[0].message, "socket map alread has fd 5, now update\n");
    EXPECT_EQ(trace.lines[1].level, TRACE_NOTICE);
    EXPECT_EQ(trace.lines[1].func, "remove");
    EXPECT_EQ(trace.lines[1].message, "find fd 5, now delete\n");
}

TEST_F(SocketManagerTest, DumpPrintsTimerListThenSocketTable)
{
    ProbeEndpoint server(3, true, CObjectBase::kNoConnection);
    server.setName("tcp-svr-10032");
    ProbeEndpoint dropped(7, false, CObjectBase::kAccepted);
    dropped.setName("camera");
    ProbeEndpoint wide(123, true, CObjectBase::kOutgoing);
    wide.setName("a-name-of-twenty-five-ch");
    ProbeEndpoint elsewhere(42, true, CObjectBase::kOutgoing); // its key differs from its descriptor
    CSocketManager mgr;
    mgr.add(123, &wide);
    mgr.add(7, &dropped);
    mgr.add(3, &server);
    mgr.add(9, &elsewhere);

    OutputCapture out(1);
    EXPECT_EQ(mgr.dumpSocketMapInfo(), 0);
    EXPECT_EQ(out.text(), std::string(kTimerList) + "socket map list:\n" +
                              "name                socketfd        State\n" + kRule +
                              "       tcp-svr-10032        03        connected   \n"
                              "              camera        07        disconnected\n" +
                              row("not set", 42, "connected") + row("a-name-of-twenty-five-ch", 123, "connected"));
    mgr.remove(7); // the probes live on the stack
    for (int key : {3, 9, 123}) {
        mgr.remove(key);
    }
}

TEST_F(SocketManagerTest, DumpOfEmptyMapPrintsTimersAndFails)
{
    CSocketManager mgr;
    OutputCapture out(1);
    EXPECT_EQ(mgr.dumpSocketMapInfo(), -1);
    const TraceOutput trace = parseTrace(out.text());
    EXPECT_EQ(trace.other, kTimerList);
    ASSERT_EQ(trace.lines.size(), 1u);
    EXPECT_EQ(trace.lines[0].level, TRACE_ERROR);
    EXPECT_EQ(trace.lines[0].func, "dumpSocketMapInfo");
    EXPECT_EQ(trace.lines[0].message, "socket map has no fd!\n");
}

// A TCP server owned by the test whose accept callback puts every accepted
// endpoint into the manager, as the hub does.
class AcceptingServer {
public:
    explicit AcceptingServer(CSocketManager &manager, int port = 0) : server(port == 0 ? freeTcpPort() : port)
    {
        server.setAcceptCallback([&manager, this](CSocketClient *client, CSocketServer *, const void *) {
            accepted.push_back(client);
            manager.add(client->getFd(), client);
        });
        started = server.startServer();
    }
    int port() { return boundPort(server.getFd()); }

    CTcpServer server;
    int started;
    std::vector<CSocketClient *> accepted;
};

TEST_F(SocketManagerTest, CheckDeletesDeadAcceptedEndpointAfterItsRefusal)
{
    CSocketManager mgr;
    AcceptingServer tcp(mgr);
    ASSERT_GE(tcp.started, 0);
    const int dying = connectTcp(tcp.port());
    const int living = connectTcp(tcp.port());
    ASSERT_GT(tcp.server.onReadAble(), 0);
    ASSERT_GT(tcp.server.onReadAble(), 0);
    ASSERT_EQ(tcp.accepted.size(), 2u);
    CSocketClient *dead = tcp.accepted[0];
    const int key = dead->getFd();

    close(dying);
    EXPECT_EQ(dead->onReadAble(), 0); // the loss, as the loop would see it
    EXPECT_FALSE(dead->isConnected());

    OutputCapture out(1);
    EXPECT_EQ(mgr.checkConnection(nullptr, 0), 0);
    const TraceOutput trace = parseTrace(out.text());
    const std::string k = std::to_string(key);
    EXPECT_EQ(trace.messages(), (std::vector<std::string>{"checkConnection \n", "find disconnect fd: " + k + " \n",
                                                           "ip.size = 0, port = 0\n", "del fd: " + k + " \n"}));
    ASSERT_EQ(trace.lines.size(), 4u);
    EXPECT_EQ(trace.lines[0].level, TRACE_DEBUG);
    EXPECT_EQ(trace.lines[1].level, TRACE_DEBUG);
    EXPECT_EQ(trace.lines[2].level, TRACE_ERROR);
    EXPECT_EQ(trace.lines[3].level, TRACE_WARM);
    EXPECT_EQ(trace.lines[3].func, "checkConnection");

    CObjectBase *found = nullptr;
    EXPECT_EQ(mgr.find(key, found), -1);
    EXPECT_EQ(mgr.find(tcp.accepted[1]->getFd(), found), 0); // the living one stays
    EXPECT_EQ(mgr.size(), 1u);
    close(living);
    // The manager deletes the remaining accepted endpoint when it goes.
}

TEST_F(SocketManagerTest, CheckKeepsServersAndOutgoingClientsButDeletesAccepted)
{
    bool serverGone = false;
    bool outgoingGone = false;
    bool acceptedGone = false;
    ProbeEndpoint server(20, false, CObjectBase::kNoConnection, &serverGone);
    ProbeEndpoint outgoing(21, false, CObjectBase::kOutgoing, &outgoingGone);
    ProbeEndpoint *accepted = new ProbeEndpoint(22, false, CObjectBase::kAccepted, &acceptedGone);
    ProbeEndpoint alive(23, true, CObjectBase::kAccepted);
    CSocketManager mgr;
    mgr.add(20, &server);
    mgr.add(21, &outgoing);
    mgr.add(22, accepted);
    mgr.add(23, &alive);

    mgr.checkConnection(nullptr, 0);
    EXPECT_TRUE(acceptedGone);
    EXPECT_FALSE(serverGone);
    EXPECT_FALSE(outgoingGone);
    EXPECT_EQ(mgr.size(), 3u);
    EXPECT_EQ(server.closes, 1);
    EXPECT_EQ(server.connects, 1);
    EXPECT_EQ(outgoing.connects, 1);
    EXPECT_EQ(alive.closes, 0);
    EXPECT_EQ(alive.connects, 0);

    // Every later check closes and tries them again; they are never deleted.
    mgr.checkConnection(nullptr, 0);
    mgr.checkConnection(nullptr, 0);
    EXPECT_EQ(server.closes, 3);
    EXPECT_EQ(outgoing.connects, 3);
    EXPECT_FALSE(serverGone);
    EXPECT_FALSE(outgoingGone);
    CObjectBase *found = nullptr;
    EXPECT_EQ(mgr.find(20, found), 0);
    EXPECT_EQ(found, &server);
    for (int key : {20, 21, 23}) {
        mgr.remove(key);
    }
}

TEST_F(SocketManagerTest, OutgoingClientReconnectsWhenServerComesBack)
{
    // Held below every socket of this test and freed before the reconnect,
    // so that the reconnected socket gets a lower number than before.
    const int placeholder = open("/dev/null", O_RDONLY);
    CSocketManager mgr;
    std::unique_ptr<AcceptingServer> tcp(new AcceptingServer(mgr));
    ASSERT_GE(tcp->started, 0);
    const int port = tcp->port();

    CTcpClient client("127.0.0.1", port);
    int connects = 0;
    client.setConnectCallback([&](CSocketClient *) { ++connects; });
    const int firstFd = client.connectToHost();
    ASSERT_TRUE(client.isConnected());
    EXPECT_EQ(connects, 1);
    mgr.add(firstFd, &client);
    ASSERT_GT(tcp->server.onReadAble(), 0);

    // The server goes away together with its accepted endpoint.
    ASSERT_EQ(tcp->accepted.size(), 1u);
    mgr.remove(tcp->accepted[0]->getFd());
    delete tcp->accepted[0];
    tcp.reset();
    client.onReadAble();
    ASSERT_FALSE(client.isConnected());

    // First check: nobody listens. The client is kept, under the descriptor
    // of its new socket (the server's old number, lower than its own).
    OutputCapture refused(1);
    mgr.checkConnection(nullptr, 0);
    TraceOutput trace = parseTrace(refused.text());
    EXPECT_EQ(trace.count("connect ip = 127.0.0.1, port = " + std::to_string(port) + "\n"), 1);
    EXPECT_FALSE(client.isConnected());
    const int secondFd = client.getFd();
    EXPECT_NE(secondFd, firstFd);
    CObjectBase *found = nullptr;
    EXPECT_EQ(mgr.find(secondFd, found), 0);
    EXPECT_EQ(found, &client);
    EXPECT_EQ(mgr.find(firstFd, found), -1);
    EXPECT_EQ(mgr.size(), 1u);
    EXPECT_EQ(connects, 1);

    // The server is back on the same port: the next check reconnects and
    // moves the entry to the new descriptor.
    tcp.reset(new AcceptingServer(mgr, port));
    ASSERT_GE(tcp->started, 0);
    close(placeholder);
    OutputCapture reconnect(1);
    mgr.checkConnection(nullptr, 0);
    trace = parseTrace(reconnect.text());
    EXPECT_EQ(trace.count("connect ip = 127.0.0.1, port = " + std::to_string(port) + ",connect svr ok!\n"), 1);
    EXPECT_TRUE(client.isConnected());
    EXPECT_EQ(connects, 2);
    EXPECT_NE(client.getFd(), secondFd);
    EXPECT_EQ(mgr.find(client.getFd(), found), 0);
    EXPECT_EQ(found, &client);
    EXPECT_EQ(mgr.find(secondFd, found), -1);
    EXPECT_EQ(mgr.size(), 1u);
    ASSERT_GT(tcp->server.onReadAble(), 0); // the new connection is waiting there
    EXPECT_EQ(tcp->accepted.size(), 1u);
    EXPECT_EQ(client.sendData("back", 4), 4);
    mgr.remove(client.getFd());
}

TEST_F(SocketManagerTest, AcceptedEndpointsLeftInTheMapAreDeletedByIt)
{
    bool pushedGone = false;
    bool laterGone = false;
    bool remainingGone = false;
    bool serverGone = false;
    ProbeEndpoint server(3, true, CObjectBase::kNoConnection, &serverGone);
    ProbeEndpoint next(9, true, CObjectBase::kNoConnection);
    {
        CSocketManager mgr;
        mgr.add(3, &server);
        // Closed by its owner, its number reused by the next connection:
        // deleted at the next check, never inside add, where its owner may
        // still be running one of its callbacks.
        mgr.add(9, new ProbeEndpoint(9, false, CObjectBase::kAccepted, &pushedGone));
        mgr.add(9, &next);
        EXPECT_FALSE(pushedGone);
        mgr.checkConnection(nullptr, 0);
        EXPECT_TRUE(pushedGone);
        CObjectBase *found = nullptr;
        EXPECT_EQ(mgr.find(9, found), 0);
        EXPECT_EQ(found, &next);
        mgr.remove(9);

        // The same while the manager goes away, and the live accepted one.
        mgr.add(6, new ProbeEndpoint(6, false, CObjectBase::kAccepted, &laterGone));
        mgr.add(6, new ProbeEndpoint(6, true, CObjectBase::kAccepted, &remainingGone));
    }
    EXPECT_TRUE(laterGone);
    EXPECT_TRUE(remainingGone);
    EXPECT_FALSE(serverGone);
}

// Two endpoints on socketpairs that record the order in which the loop
// serves them.
class SelectLoopTest : public SocketManagerTest {
protected:
    void SetUp() override
    {
        for (int i = 0; i < 2; ++i) {
            int sv[2];
            ASSERT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, sv), 0);
            endpoints[i].reset(new ProbeEndpoint(-1, false, CObjectBase::kNoConnection));
            endpoints[i]->own(sv[0]);
            peers[i] = sv[1];
            endpoints[i]->onRead = [this](ProbeEndpoint *p) { served.push_back(p->getFd()); };
        }
        // Added highest first, so that the map, not the order of adding,
        // decides the order of serving.
        const int hi = endpoints[0]->getFd() > endpoints[1]->getFd() ? 0 : 1;
        mgr.reset(new CSocketManager());
        mgr->add(endpoints[hi]->getFd(), endpoints[hi].get());
        mgr->add(endpoints[1 - hi]->getFd(), endpoints[1 - hi].get());
        low = endpoints[1 - hi].get();
        high = endpoints[hi].get();
    }
    void TearDown() override
    {
        mgr.reset();
        for (int fd : peers) {
            close(fd);
        }
    }
    void poke(int which) { ASSERT_EQ(write(peers[which], "x", 1), 1); }

    std::unique_ptr<ProbeEndpoint> endpoints[2];
    int peers[2] = {-1, -1};
    std::unique_ptr<CSocketManager> mgr;
    ProbeEndpoint *low = nullptr;
    ProbeEndpoint *high = nullptr;
    std::vector<int> served;
};

TEST_F(SelectLoopTest, ReadyDescriptorsAreServedInAscendingOrderInOnePass)
{
    poke(0);
    poke(1);
    EXPECT_EQ(mgr->runPass(1000), 1);
    EXPECT_EQ(served, (std::vector<int>{low->getFd(), high->getFd()}));

    // Nothing ready: the pass times out and serves nobody.
    served.clear();
    EXPECT_EQ(mgr->runPass(0), 1);
    EXPECT_TRUE(served.empty());
}

TEST_F(SelectLoopTest, EntryRemovedByEarlierHandlerIsSkipped)
{
    const int highKey = high->getFd();
    low->onRead = [&](ProbeEndpoint *p) {
        served.push_back(p->getFd());
        mgr->remove(highKey);
    };
    poke(0);
    poke(1);
    EXPECT_EQ(mgr->runPass(1000), 1);
    EXPECT_EQ(served, std::vector<int>{low->getFd()});
    EXPECT_EQ(high->reads, 0);
}

TEST_F(SelectLoopTest, OnlyConnectedEndpointsWithinTheSelectLimitAreWatched)
{
    ProbeEndpoint far(FD_SETSIZE + 5, true, CObjectBase::kNoConnection);
    ProbeEndpoint negative(-1, true, CObjectBase::kNoConnection);
    OutputCapture out(1);
    mgr->add(FD_SETSIZE + 5, &far);
    mgr->add(-1, &negative);
    const TraceOutput trace = parseTrace(out.text());
    ASSERT_EQ(trace.lines.size(), 1u);
    EXPECT_EQ(trace.lines[0].level, TRACE_ERROR);
    EXPECT_EQ(trace.lines[0].func, "add");
    high->setConnected(false);
    poke(0);
    poke(1);
    EXPECT_EQ(mgr->runPass(1000), 1);
    EXPECT_EQ(served, std::vector<int>{low->getFd()});
    EXPECT_EQ(far.reads, 0);
    EXPECT_EQ(negative.reads, 0);
    mgr->remove(FD_SETSIZE + 5);
    mgr->remove(-1);
}

TEST_F(SelectLoopTest, StopFromHandlerEndsLoopWithSelectStop)
{
    low->onRead = [&](ProbeEndpoint *p) {
        served.push_back(p->getFd());
        mgr->stopSelect();
    };
    poke(0);
    poke(1);
    OutputCapture out(1);
    EXPECT_EQ(mgr->startSelect(), 0);
    const TraceOutput trace = parseTrace(out.text());
    // The pass that was running finishes: the higher descriptor is served too.
    EXPECT_EQ(served, (std::vector<int>{low->getFd(), high->getFd()}));
    ASSERT_EQ(trace.lines.size(), 1u);
    EXPECT_EQ(trace.lines[0].level, TRACE_ALERT);
    EXPECT_EQ(trace.lines[0].func, "startSelect");
    EXPECT_EQ(trace.lines[0].message, "select stop\n");
}

TEST_F(SocketManagerTest, TimersFireInEachPassEvenWithEmptyMap)
{
    CSocketManager mgr;
    int fired = 0;
    mgr.addTimer("stopper", [&](const void *, int) {
        ++fired;
        mgr.stopSelect();
    }, 1, 0, TIMER_PRIORITY_HIGH, nullptr, 0);
    OutputCapture out(1);
    EXPECT_EQ(mgr.startSelect(), 0);
    EXPECT_EQ(fired, 1);
    EXPECT_EQ(parseTrace(out.text()).messages(), std::vector<std::string>{"select stop\n"});

    // Stopped for good: every later call returns at once.
    EXPECT_EQ(mgr.runPass(100), 0);
}

TEST_F(SocketManagerTest, ConnectionCheckRunsFromTheLoopEveryInterval)
{
    OutputCapture created(1);
    CSocketManager mgr;
    EXPECT_EQ(parseTrace(created.text()).messages(), std::vector<std::string>{"insert checkConnection\n"});
    CMTimer *timer = mgr.getTimerManager()->findTimer("checkConnection", TIMER_PRIORITY_NORMAL);
    ASSERT_NE(timer, nullptr);
    EXPECT_EQ(timer->getCount(), -1);
    EXPECT_EQ(timer->getPeriodMs(), 10000u);

    OutputCapture early(1);
    clock.advanceMs(9999);
    mgr.runPass(0);
    EXPECT_EQ(parseTrace(early.text()).count("checkConnection \n"), 0);
    OutputCapture due(1);
    clock.advanceMs(1);
    mgr.runPass(0);
    EXPECT_EQ(parseTrace(due.text()).messages(), std::vector<std::string>{"checkConnection \n"});

    // A new interval restarts the timer with the new period.
    mgr.setCheckInterval(2);
    EXPECT_EQ(timer->getPeriodMs(), 2000u);
    OutputCapture later(1);
    clock.advanceMs(1999);
    mgr.runPass(0);
    clock.advanceMs(1);
    mgr.runPass(0);
    EXPECT_EQ(parseTrace(later.text()).count("checkConnection \n"), 1);

    // Stopping goes through to the same timer manager.
    mgr.stopTimer("checkConnection");
    EXPECT_FALSE(timer->isActive());
}

TEST_F(SocketManagerTest, SelectFailureEndsTheLoop)
{
    // A connected endpoint showing a descriptor number that nothing holds.
    int unused = open("/dev/null", O_RDONLY);
    close(unused);
    ProbeEndpoint ghost(unused, true, CObjectBase::kNoConnection);
    CSocketManager mgr;
    mgr.add(unused, &ghost);
    OutputCapture out(1);
    OutputCapture err(2);
    EXPECT_EQ(mgr.startSelect(), -1);
    const TraceOutput trace = parseTrace(out.text());
    ASSERT_EQ(trace.lines.size(), 1u);
    EXPECT_EQ(trace.lines[0].level, TRACE_ERROR);
    EXPECT_EQ(trace.lines[0].func, "startSelect");
    EXPECT_EQ(trace.lines[0].message, "select ret -1 , errno: 9:Bad file descriptor \n");
    EXPECT_NE(err.text().find("select: Bad file descriptor"), std::string::npos);
    mgr.remove(unused);
}

} // namespace
