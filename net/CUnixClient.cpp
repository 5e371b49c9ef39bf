#include "net/CUnixClient.h"

#include <sys/socket.h>
#include <sys/un.h>

#include <cerrno>
#include <cstdio>

#include "net/SocketOptions.h"
#include "trace/Trace.h"

CUnixClient::CUnixClient(const char *path) : unixSocketPath(path != nullptr ? path : "")
{
}

CUnixClient::~CUnixClient() = default;

int CUnixClient::setUnixSocketPath(const char *path)
{
    unixSocketPath = path != nullptr ? path : "";
    return 0;
}

int CUnixClient::connectToHost()
{
    if (unixSocketPath.empty()) {
        tm_printf(TRACE_ERROR, "connectToHost", __LINE__, "unixSocketPath.size=0\n");
        return 0;
    }
    struct sockaddr_un addr;
    if (!makeUnixAddress(unixSocketPath, addr, "connectToHost")) {
        connected = false;
        return -1;
    }
    const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        perror("socket error");
        connected = false;
        return sock;
    }
    adoptDescriptor(sock);
    setSocketOpt(sock);
    if (connect(sock, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0) {
        tm_printf(TRACE_ALERT, "connectToHost", __LINE__, "connect path: = %s, connect svr ok!\n",
                  unixSocketPath.c_str());
        markConnected();
    } else {
        const int err = errno;
        tm_printf(TRACE_ERROR, "connectToHost", __LINE__, "connect path: %s\n", unixSocketPath.c_str());
        errno = err;
        perror(" connect svr fault ");
        errno = err; // perror may change it; the caller may want the reason
        connected = false;
    }
    return sock;
}
