#pragma once
// A listening stream server: accepts each waiting connection and hands it,
// as a new client endpoint, to the accept callback of its owner.

#include "net/CObjectBase.h"
#include "net/Callbacks.h"

enum AddrType {
    ADDR_TYPE_INET = 1,
    ADDR_TYPE_UNIX = 2,
};

class CSocketServer : public CObjectBase {
public:
    // Room for a burst of connections while the loop is busy elsewhere.
    static constexpr int kListenBacklog = 128;

    CSocketServer();
    ~CSocketServer() override;

    // The connection check finds a server that failed to start (its port
    // held, its path blocked) disconnected: it tries again each time.
    int connectToHost() override;

    // Accepts one connection; the accepted descriptor, 0 when interrupted,
    // -1 on failure.
    int onReadAble() override;
    // Creates, binds and listens; the listening descriptor or -1.
    virtual int startServer() = 0;

    void setAcceptCallback(const AcceptCallback &callback) { acceptCallback = callback; }
    // Accepted descriptors at or above this are refused at once: the select
    // loop cannot watch them (FD_SETSIZE, the default); a loop that can
    // takes the limit off.
    void setDescriptorCeiling(int ceiling) { descriptorCeiling = ceiling; }

protected:
    // Called by startServer once listening: keeps one descriptor back for
    // refusing connections when the process runs out.
    static void takeReserveDescriptor();

    AcceptCallback acceptCallback;
    int addrType;
    int descriptorCeiling;

private:
    void shedPendingConnection();

    // One descriptor held back for refusing connections when the process
    // has run out; shared by all servers.
    static int reserveFd;
};
