#include "net/CUnixServer.h"

#include <sys/socket.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>

#include "net/SocketOptions.h"
#include "trace/Trace.h"

namespace {

// A name beside path that nobody is likely to hold: bind() refuses one that
// exists, so a name taken by someone else only costs another try.
std::string temporaryName(const std::string &path, unsigned attempt)
{
    struct timespec now;
    clock_gettime(CLOCK_MONOTONIC, &now);
    char suffix[48];
    snprintf(suffix, sizeof suffix, ".%d.%lx%u~", static_cast<int>(getpid()),
             static_cast<unsigned long>(now.tv_nsec) & 0xfffffUL, attempt);
    return path + suffix;
}

} // namespace

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

// Bound and listening under a temporary name, then renamed over the path,
// so that the path never stands free for someone else to bind and answers
// as soon as it appears. 0, or -1 when binding failed, -2 when listening did.
int CUnixServer::listenInPlace(int sock, const struct sockaddr_un &addr)
{
    const unsigned kAttempts = 8;
    for (unsigned attempt = 0; attempt < kAttempts; ++attempt) {
        const std::string temporary = temporaryName(unixSocketPath, attempt);
        struct sockaddr_un tempAddr;
        if (temporary.size() >= sizeof tempAddr.sun_path) {
            // No room for a temporary name: the stale socket goes first.
            unlink(unixSocketPath.c_str());
            if (bind(sock, reinterpret_cast<const struct sockaddr *>(&addr), sizeof addr) < 0) {
                return -1;
            }
            return listen(sock, kListenBacklog) < 0 ? -2 : 0;
        }
        makeUnixAddress(temporary, tempAddr, "startServer");
        if (bind(sock, reinterpret_cast<struct sockaddr *>(&tempAddr), sizeof tempAddr) < 0) {
            if (errno == EADDRINUSE) {
                continue;
            }
            return -1;
        }
        int result = 0;
        if (listen(sock, kListenBacklog) < 0) {
            result = -2;
        } else if (rename(temporary.c_str(), unixSocketPath.c_str()) < 0) {
            result = -1;
        }
        if (result < 0) {
            const int err = errno;
            unlink(temporary.c_str());
            errno = err;
        }
        return result;
    }
    errno = EADDRINUSE;
    return -1;
}

int CUnixServer::startServer()
{
    signal(SIGPIPE, SIG_IGN);
    const int sock = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        perror("socket error");
        return sock;
    }
    adoptDescriptor(sock);
    if (unixSocketPath.empty()) {
        tm_printf(TRACE_ERROR, "startServer", __LINE__, "not set unix path!\n");
        dropDescriptor();
        return -1;
    }
    struct sockaddr_un addr;
    if (!makeUnixAddress(unixSocketPath, addr, "startServer") || !socketPathFree(unixSocketPath, "startServer")) {
        dropDescriptor();
        return -1;
    }
    setSocketOpt(sock);
    const int result = listenInPlace(sock, addr);
    if (result == -1) {
        perror("bind error");
        tm_printf(TRACE_ERROR, "startServer", __LINE__, "bind error\n");
        dropDescriptor();
        return -1;
    }
    if (result == -2) {
        perror("listen error");
        tm_printf(TRACE_ERROR, "startServer", __LINE__, "listen error\n");
        dropDescriptor();
        return -1;
    }
    connected = true;
    takeReserveDescriptor();
    return sock;
}
