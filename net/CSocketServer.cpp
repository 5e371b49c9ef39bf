#include "net/CSocketServer.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/select.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "net/CTcpClient.h"
#include "net/CUnixClient.h"
#include "net/SocketOptions.h"
#include "trace/Trace.h"

int CSocketServer::reserveFd = -1;

CSocketServer::CSocketServer() : addrType(ADDR_TYPE_INET), descriptorCeiling(FD_SETSIZE) {}

void CSocketServer::takeReserveDescriptor()
{
    if (reserveFd < 0) {
        reserveFd = open("/dev/null", O_RDONLY | O_CLOEXEC);
    }
}

// Out of descriptors, the waiting connection would keep the listening socket
// readable and the loop would spin on failing accepts. One descriptor kept
// in reserve lets it be accepted and closed at once, so the peer learns it
// was refused; the reserve is taken again afterwards.
void CSocketServer::shedPendingConnection()
{
    if (reserveFd < 0) {
        return;
    }
    // The listening socket blocks for up to its receive timeout. When the
    // failed accept has already used up the connection (a memory checker
    // that keeps the top descriptors for itself closes it and reports
    // EMFILE) or the connection has gone, there is nothing to shed, and an
    // accept would stall the loop for those seconds.
    struct pollfd waiting = {fd, POLLIN, 0};
    if (poll(&waiting, 1, 0) <= 0 || (waiting.revents & POLLIN) == 0) {
        return;
    }
    close(reserveFd);
    reserveFd = -1;
    const int refused = accept4(fd, nullptr, nullptr, SOCK_CLOEXEC);
    if (refused >= 0) {
        tm_printf(TRACE_ERROR, "onReadAble", __LINE__, "out of descriptors, connection refused\n");
        close(refused);
    }
    takeReserveDescriptor();
}

CSocketServer::~CSocketServer() = default;

int CSocketServer::connectToHost()
{
    tm_printf(TRACE_WARM, "connectToHost", __LINE__, "start server %s again\n", name.c_str());
    return startServer();
}

int CSocketServer::onReadAble()
{
    tm_printf(TRACE_INFO, "onReadAble", __LINE__, "recv new connection\n");
    int client = -1;
    int err = EINVAL;
    if (addrType == ADDR_TYPE_INET) {
        struct sockaddr_in addr;
        socklen_t len = sizeof addr;
        client = accept4(fd, reinterpret_cast<struct sockaddr *>(&addr), &len, SOCK_CLOEXEC);
        err = errno;
    } else if (addrType == ADDR_TYPE_UNIX) {
        struct sockaddr_un addr;
        socklen_t len = sizeof addr;
        client = accept4(fd, reinterpret_cast<struct sockaddr *>(&addr), &len, SOCK_CLOEXEC);
        err = errno;
    }
    if (client < 0) {
        if (err == EAGAIN || err == EINTR) {
            return 0;
        }
        errno = err;
        perror("CSocketClient::onReadAble read error:");
        tm_printf(TRACE_ERROR, "onReadAble", __LINE__, "errno: %d\n", err);
        if (err == EMFILE || err == ENFILE) {
            shedPendingConnection();
        }
        return -1;
    }
    // select() cannot watch a descriptor this high: serving it would write
    // past the fd_set, so the connection is refused at once.
    if (client >= descriptorCeiling) {
        tm_printf(TRACE_ERROR, "onReadAble", __LINE__, "accepted fd %d is beyond the select limit %d, closed\n",
                  client, descriptorCeiling);
        close(client);
        return -1;
    }
    setSocketOpt(client);
    if (!acceptCallback) {
        close(client); // nobody would own it
        return client;
    }
    CSocketClient *endpoint;
    if (addrType == ADDR_TYPE_INET) {
        endpoint = new CTcpClient("", 0);
    } else {
        endpoint = new CUnixClient("");
    }
    endpoint->setConnType(CObjectBase::kAccepted);
    endpoint->setSocket(client);
    acceptCallback(endpoint, this, nullptr);
    return client;
}
