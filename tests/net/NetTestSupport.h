#pragma once
// Small socket helpers for the endpoint, server and loop tests: plain peers
// on loopback, descriptor checks, and a probe endpoint that records what the
// socket manager does with it.

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <functional>
#include <string>

#include "net/CObjectBase.h"

inline bool fdIsOpen(int fd)
{
    return fd >= 0 && fcntl(fd, F_GETFD) != -1;
}

inline void setReceiveTimeout(int fd, int ms)
{
    struct timeval tv = {ms / 1000, (ms % 1000) * 1000};
    setsockopt(fd, SOL_SOCKET, SO_RCVTIMEO, &tv, sizeof tv);
}

// The local port a socket is bound to.
inline int boundPort(int fd)
{
    struct sockaddr_in addr;
    socklen_t len = sizeof addr;
    memset(&addr, 0, sizeof addr);
    if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&addr), &len) != 0) {
        return -1;
    }
    return ntohs(addr.sin_port);
}

// The local IPv4 address a socket is bound to, in network order.
inline uint32_t boundAddress(int fd)
{
    struct sockaddr_in addr;
    socklen_t len = sizeof addr;
    memset(&addr, 0, sizeof addr);
    getsockname(fd, reinterpret_cast<struct sockaddr *>(&addr), &len);
    return addr.sin_addr.s_addr;
}

// A TCP port that was free a moment ago (the system's choice for port 0).
inline int freeTcpPort()
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = 0;
    bind(s, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr);
    const int port = boundPort(s);
    close(s);
    return port;
}

inline struct sockaddr_in loopback(int port)
{
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(static_cast<uint16_t>(port));
    return addr;
}

// A plain blocking TCP peer connected to 127.0.0.1:port, or -1.
inline int connectTcp(int port)
{
    const int s = socket(AF_INET, SOCK_STREAM, 0);
    struct sockaddr_in addr = loopback(port);
    if (connect(s, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
        close(s);
        return -1;
    }
    setReceiveTimeout(s, 2000);
    return s;
}

inline int connectUnix(const std::string &path)
{
    const int s = socket(AF_UNIX, SOCK_STREAM, 0);
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    strncpy(addr.sun_path, path.c_str(), sizeof addr.sun_path - 1);
    if (connect(s, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
        close(s);
        return -1;
    }
    setReceiveTimeout(s, 2000);
    return s;
}

// Reads exactly n bytes (or until the peer ends or the receive timeout).
inline std::string readExactly(int fd, size_t n)
{
    std::string out;
    char buf[4096];
    while (out.size() < n) {
        const size_t want = n - out.size() < sizeof buf ? n - out.size() : sizeof buf;
        const ssize_t got = read(fd, buf, want);
        if (got <= 0) {
            break;
        }
        out.append(buf, static_cast<size_t>(got));
    }
    return out;
}

// True when the next read on a peer reports the end of the connection
// (orderly close or reset), false when data arrives or the read times out.
inline bool peerSeesEnd(int fd)
{
    setReceiveTimeout(fd, 2000);
    char c;
    const ssize_t got = read(fd, &c, 1);
    return got == 0 || (got < 0 && errno == ECONNRESET);
}

// A bare endpoint for loop and map tests. It can show any descriptor number
// without owning it, records its onReadAble and closeSocket calls, and
// reports its own destruction.
class ProbeEndpoint : public CObjectBase {
public:
    ProbeEndpoint(int shownFd, bool isConnectedNow, int type, bool *destroyedFlag = nullptr)
        : destroyed(destroyedFlag)
    {
        fd = shownFd;
        connected = isConnectedNow;
        connType = type;
        if (destroyed != nullptr) {
            *destroyed = false;
        }
    }
    ~ProbeEndpoint() override
    {
        if (destroyed != nullptr) {
            *destroyed = true;
        }
    }

    // Takes ownership of a real descriptor (the socket manager will watch it).
    void own(int realFd) { setSocket(realFd); }

    int onReadAble() override
    {
        ++reads;
        if (isDescriptorOpen()) {
            char buf[64];
            const ssize_t got = read(fd, buf, sizeof buf);
            (void)got;
        }
        if (onRead) {
            onRead(this);
        }
        return 1;
    }
    int closeSocket() override
    {
        ++closes;
        return CObjectBase::closeSocket();
    }
    int connectToHost() override
    {
        ++connects;
        return connectResult;
    }

    int reads = 0;
    int closes = 0;
    int connects = 0;
    int connectResult = -1;
    std::function<void(ProbeEndpoint *)> onRead;

private:
    bool *destroyed;
};
