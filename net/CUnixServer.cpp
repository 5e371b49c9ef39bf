#include "net/CUnixServer.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>

#include "net/SocketOptions.h"
#include "trace/Trace.h"

CUnixServer::CUnixServer(const char *path) : unixSocketPath(path != nullptr ? path : "")
{
    addrType = ADDR_TYPE_UNIX;
}

CUnixServer::~CUnixServer() = default;

int CUnixServer::setUnixSocketPath(const char *path)
{
    unixSocketPath = path != nullptr ? path : "";
    return 0;
}

int CUnixServer::startServer()
{
    signal(SIGPIPE, SIG_IGN);
    const int sock = socket(AF_UNIX, SOCK_STREAM, 0);
    if (sock < 0) {
        perror("socket error");
        return sock;
    }
    adoptDescriptor(sock);
    if (unixSocketPath.empty()) {
        tm_printf(TRACE_ERROR, "startServer", __LINE__, "not set unix path!\n");
        closeDescriptor();
        return -1;
    }
    struct sockaddr_un addr;
    if (!makeUnixAddress(unixSocketPath, addr, "startServer")) {
        closeDescriptor();
        return -1;
    }
    setSocketOpt(sock);
    unlink(unixSocketPath.c_str());
    if (bind(sock, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) < 0) {
        perror("bind error");
        tm_printf(TRACE_ERROR, "startServer", __LINE__, "bind error\n");
        closeDescriptor();
        return -1;
    }
    if (listen(sock, 10) < 0) {
        perror("listen error");
        tm_printf(TRACE_ERROR, "startServer", __LINE__, "listen error\n");
        closeDescriptor();
        return -1;
    }
    connected = true;
    takeReserveDescriptor();
    return sock;
}
