#pragma once
// A hub driven in-process: connections are socketpairs handed to its accept
// callback, and the test plays each module on the other end.
//
// The hub's socket manager owns the accepted connections once they are
// added, and deletes them at its connection check or in its destructor; the
// tests never delete them.

#include <gtest/gtest.h>

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <memory>
#include <string>
#include <vector>

#include "hub/CPellix.h"
#include "proto/PacketFrame.h"
#include "net/CTcpClient.h"
#include "tests/hub/HubTestSupport.h"
#include "tests/support/OutputCapture.h"
#include "tests/support/TempDir.h"

struct Module {
    CTcpClient *client = nullptr;
    int peer = -1;
};

class PellixFixture : public ::testing::Test {
protected:
    void SetUp() override
    {
        OutputCapture startUp(STDOUT_FILENO); // "file not exist!" and friends
        hub.reset(new CPellix(regMapPath));
    }
    void TearDown() override
    {
        hub.reset();
        for (int fd : peers) {
            close(fd);
        }
    }

    Module connect()
    {
        int pair[2] = {-1, -1};
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM, 0, pair), 0);
        Module m;
        m.client = new CTcpClient("", 0);
        m.client->setConnType(CObjectBase::kAccepted);
        m.client->setSocket(pair[0]);
        m.peer = pair[1];
        peers.push_back(pair[1]);
        hub->onAcceptNewTcpClient(m.client, nullptr, nullptr);
        return m;
    }

    // The module writes data; the hub reads until nothing is left, as the
    // select loop would. Stops after a read that reports the loss.
    void send(const Module &m, const std::string &data)
    {
        sendAll(m.peer, data);
        pump(m);
    }
    static void pump(const Module &m)
    {
        struct pollfd p = {m.client->getFd(), POLLIN, 0};
        while (m.client->isConnected() && poll(&p, 1, 0) > 0 && (p.revents & POLLIN) != 0) {
            if (m.client->onReadAble() <= 0) {
                break;
            }
        }
    }
    // The peer goes away: the hub's next read sees the end of the stream.
    void hangUp(Module &m)
    {
        shutdown(m.peer, SHUT_WR);
        pump(m);
    }

    Module registered(int id, const std::string &name)
    {
        Module m = connect();
        send(m, makeFrame(CENTER_DEV_ID, id, CMD_REG, name));
        EXPECT_EQ(drain(m.peer), makeFrame(id, CENTER_DEV_ID, CMD_REG)) << "registration reply for " << id;
        return m;
    }
    void subscribe(const Module &m, int id, std::initializer_list<int> events)
    {
        std::string list(1, static_cast<char>(events.size()));
        for (int e : events) {
            list += static_cast<char>(e & 0xff);
            list += static_cast<char>((e >> 8) & 0xff);
        }
        send(m, makeFrame(EVENT_MGR_DEV_ID, id, CMD_REG_EVENT, list));
    }
    const std::vector<int> *subscribers(int event)
    {
        const CEventManager::EventTable &table = hub->getEventManager()->getTable();
        CEventManager::EventTable::const_iterator it = table.find(event);
        return it == table.end() ? nullptr : &it->second;
    }
    CSocketClient *moduleAt(int id)
    {
        const Session *session = hub->getSessions().holder(id);
        return session != nullptr ? session->endpoint : nullptr;
    }

    TraceLevelScope level{TRACE_NOTICE};
    TempDir dir;
    std::string regMapPath = dir.file("tmp/regMap.json");
    LogCapture log;
    std::unique_ptr<CPellix> hub;
    std::vector<int> peers;
};
