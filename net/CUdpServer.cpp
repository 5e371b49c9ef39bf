#include "net/CUdpServer.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/SocketOptions.h"
#include "trace/Trace.h"

CUdpServer::CUdpServer(int localPort)
    : addrType(ADDR_TYPE_INET), port(static_cast<uint16_t>(localPort)), bindAddress(htonl(INADDR_ANY)),
      multicastEnabled(false)
{
}

CUdpServer::CUdpServer(const char *path)
    : addrType(ADDR_TYPE_UNIX), port(0), bindAddress(htonl(INADDR_ANY)), unixSocketPath(path != nullptr ? path : ""),
      multicastEnabled(false)
{
}

CUdpServer::~CUdpServer() = default;

int CUdpServer::setMulticast(const std::string &group)
{
    multicastGroup = group;
    multicastEnabled = true;
    return 1;
}

int CUdpServer::startServer()
{
    struct sockaddr_un unixAddr;
    struct sockaddr_in inetAddr;
    struct sockaddr *local;
    socklen_t localLen;
    if (addrType == ADDR_TYPE_UNIX) {
        if (unixSocketPath.empty()) {
            tm_printf(TRACE_ERROR, "startServer", __LINE__, "not set unix path!\n");
            return -1;
        }
        if (!makeUnixAddress(unixSocketPath, unixAddr, "startServer")) {
            return -1;
        }
        local = reinterpret_cast<struct sockaddr *>(&unixAddr);
        localLen = sizeof unixAddr;
    } else {
        memset(&inetAddr, 0, sizeof inetAddr);
        inetAddr.sin_family = AF_INET;
        inetAddr.sin_addr.s_addr = bindAddress;
        inetAddr.sin_port = htons(port);
        local = reinterpret_cast<struct sockaddr *>(&inetAddr);
        localLen = sizeof inetAddr;
    }
    signal(SIGPIPE, SIG_IGN);
    const int sock = socket(addrType == ADDR_TYPE_UNIX ? AF_UNIX : AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        perror("socket error");
        return sock;
    }
    adoptDescriptor(sock);
    int reuse = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    setSocketOpt(sock);
    if (!unixSocketPath.empty()) {
        if (!socketPathFree(unixSocketPath, "startServer")) {
            dropDescriptor();
            return -1;
        }
        unlink(unixSocketPath.c_str());
    }
    if (bind(sock, local, localLen) < 0) {
        perror("bind error");
        tm_printf(TRACE_ERROR, "startServer", __LINE__, "bind error\n");
        dropDescriptor();
        return -1;
    }
    if (multicastEnabled) {
        initMulticast(sock);
    }
    connected = true;
    return sock;
}

int CUdpServer::connectToHost()
{
    tm_printf(TRACE_WARM, "connectToHost", __LINE__, "start server %s again\n", name.c_str());
    return startServer();
}

int CUdpServer::initMulticast(int sock)
{
    struct hostent *group = gethostbyname(multicastGroup.c_str());
    if (group == nullptr || group->h_addr_list[0] == nullptr) {
        const int err = errno;
        perror("in initMulticast, gethostbyname");
        exit(err);
    }
    struct ip_mreq request;
    memset(&request, 0, sizeof request);
    memcpy(&request.imr_multiaddr, group->h_addr_list[0], sizeof request.imr_multiaddr);
    request.imr_interface.s_addr = htonl(INADDR_ANY);
    const int result = setsockopt(sock, IPPROTO_IP, IP_ADD_MEMBERSHIP, &request, sizeof request);
    if (result == -1) {
        perror("in initMulticast setsockopt: ");
        exit(-1);
    }
    return result;
}

int CUdpServer::onReadAble()
{
    tm_printf(TRACE_INFO, "onReadAble", __LINE__, "recv new udp data\n");
    struct sockaddr_un unixFrom;
    struct sockaddr_in inetFrom;
    struct sockaddr *from;
    socklen_t fromLen;
    if (addrType == ADDR_TYPE_UNIX) {
        memset(&unixFrom, 0, sizeof unixFrom);
        from = reinterpret_cast<struct sockaddr *>(&unixFrom);
        fromLen = sizeof unixFrom;
    } else {
        memset(&inetFrom, 0, sizeof inetFrom);
        from = reinterpret_cast<struct sockaddr *>(&inetFrom);
        fromLen = sizeof inetFrom;
    }
    // MSG_TRUNC: the datagram's real length, so that one cut by the buffer
    // is dropped whole instead of passed on as a different frame.
    // MSG_DONTWAIT: a loop that reads until the socket is empty asks again.
    const ssize_t got = recvfrom(fd, readBuffer, sizeof readBuffer, MSG_TRUNC | MSG_DONTWAIT, from, &fromLen);
    const int err = errno;
    const int n = static_cast<int>(got);
    if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)) {
        return 0;
    }
    if (n < 0) {
        errno = err;
        perror("CSocketClient::onReadAble read error:");
        tm_printf(TRACE_ERROR, "onReadAble", __LINE__, "errno: %d\n", err);
    } else if (n > kReadSize) {
        tm_printf(TRACE_WARM, "onReadAble", __LINE__, "drop datagram of %d bytes, longer than %d\n", n, kReadSize);
        return 0;
    } else if (n > 0 && readCallback) {
        readCallback(fd, from, readBuffer, n);
    }
    return n;
}

int CUdpServer::sendData(const void *data, int len, const void *toAddr, int addrLen)
{
    const ssize_t n = sendto(fd, data, static_cast<size_t>(len < 0 ? 0 : len), 0,
                             static_cast<const struct sockaddr *>(toAddr), static_cast<socklen_t>(addrLen));
    if (n <= 0) {
        const int err = errno;
        tm_printf(TRACE_ERROR, "sendData", __LINE__, "send error, errno %d, err: %s\n", err, strerror(err));
    }
    return static_cast<int>(n);
}
