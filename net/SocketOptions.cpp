#include "net/SocketOptions.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>

#include <cstdio>
#include <cstring>

#include "trace/Trace.h"

int setSocketOpt(int fd)
{
    int noDelay = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    struct timeval sendTimeout = {10, 0};
    setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &sendTimeout, sizeof sendTimeout);
    struct timeval recvTimeout = {5, 0};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &recvTimeout, sizeof recvTimeout);
    struct linger lingerOpt = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &lingerOpt, sizeof lingerOpt);
    return 0;
}

int setNonBlocking(int fd)
{
    int opts = fcntl(fd, F_GETFL);
    if (opts < 0) {
        perror("fcntl(sock,GETFL)");
    }
    opts |= O_NONBLOCK;
    if (fcntl(fd, F_SETFL, opts) < 0) {
        perror("fcntl(sock,SETFL,opts)");
    }
    return opts;
}

bool makeUnixAddress(const std::string &path, struct sockaddr_un &addr, const char *caller)
{
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    // A path cut short would bind or reach some other socket: refuse it.
    if (path.size() >= sizeof addr.sun_path || path.find('\0') != std::string::npos) {
        tm_printf(TRACE_ERROR, caller, __LINE__, "unix socket path does not fit (%zu bytes, at most %zu): %s\n",
                  path.size(), sizeof addr.sun_path - 1, path.c_str());
        return false;
    }
    memcpy(addr.sun_path, path.data(), path.size());
    return true;
}
