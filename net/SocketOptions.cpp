#include "net/SocketOptions.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <ifaddrs.h>
#include <sys/stat.h>
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

bool setDescriptorNonBlocking(int fd, bool nonBlocking)
{
    const int flags = fcntl(fd, F_GETFL);
    if (flags < 0) {
        return false;
    }
    const int wanted = nonBlocking ? (flags | O_NONBLOCK) : (flags & ~O_NONBLOCK);
    return wanted == flags || fcntl(fd, F_SETFL, wanted) == 0;
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

bool socketPathFree(const std::string &path, const char *caller)
{
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || S_ISSOCK(st.st_mode)) {
        return true;
    }
    tm_printf(TRACE_ERROR, caller, __LINE__, "%s is not a socket, left alone\n", path.c_str());
    return false;
}

bool sameHostAddress(uint32_t peer, uint32_t local)
{
    return (ntohl(peer) >> 24) == 127 || peer == local;
}

bool peerOnThisHost(int fd)
{
    struct sockaddr_storage local;
    socklen_t localLen = sizeof local;
    if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&local), &localLen) != 0) {
        return false;
    }
    if (local.ss_family == AF_UNIX) {
        return true;
    }
    struct sockaddr_storage peer;
    socklen_t peerLen = sizeof peer;
    if (local.ss_family != AF_INET ||
        getpeername(fd, reinterpret_cast<struct sockaddr *>(&peer), &peerLen) != 0 || peer.ss_family != AF_INET) {
        return false;
    }
    const uint32_t peerAddr = reinterpret_cast<const struct sockaddr_in *>(&peer)->sin_addr.s_addr;
    if (sameHostAddress(peerAddr, reinterpret_cast<const struct sockaddr_in *>(&local)->sin_addr.s_addr)) {
        return true;
    }
    struct ifaddrs *interfaces = nullptr;
    if (getifaddrs(&interfaces) != 0) {
        return false;
    }
    bool found = false;
    for (struct ifaddrs *i = interfaces; i != nullptr && !found; i = i->ifa_next) {
        found = i->ifa_addr != nullptr && i->ifa_addr->sa_family == AF_INET &&
                reinterpret_cast<const struct sockaddr_in *>(i->ifa_addr)->sin_addr.s_addr == peerAddr;
    }
    freeifaddrs(interfaces);
    return found;
}

bool loopbackAddress(const void *sockaddrIn)
{
    if (sockaddrIn == nullptr) {
        return false;
    }
    const struct sockaddr_in *in = static_cast<const struct sockaddr_in *>(sockaddrIn);
    return in->sin_family == AF_INET && (ntohl(in->sin_addr.s_addr) >> 24) == 127;
}

bool peerOnLoopback(int fd)
{
    struct sockaddr_storage peer;
    socklen_t peerLen = sizeof peer;
    if (getpeername(fd, reinterpret_cast<struct sockaddr *>(&peer), &peerLen) != 0) {
        return false;
    }
    return peer.ss_family == AF_UNIX || loopbackAddress(&peer);
}

std::string peerAddressText(int fd)
{
    struct sockaddr_storage peer;
    socklen_t peerLen = sizeof peer;
    if (getpeername(fd, reinterpret_cast<struct sockaddr *>(&peer), &peerLen) != 0 || peer.ss_family != AF_INET) {
        return std::string();
    }
    const struct sockaddr_in *in = reinterpret_cast<const struct sockaddr_in *>(&peer);
    char address[INET_ADDRSTRLEN];
    if (inet_ntop(AF_INET, &in->sin_addr, address, sizeof address) == nullptr) {
        return std::string();
    }
    return std::string(address) + ":" + std::to_string(ntohs(in->sin_port));
}
