#include "net/CTcpClient.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "net/SocketOptions.h"
#include "trace/Trace.h"

CTcpClient::CTcpClient(const std::string &hostIp, int hostPort) : ip(hostIp), port(static_cast<uint16_t>(hostPort))
{
}

CTcpClient::~CTcpClient() = default;

int CTcpClient::setHost(const std::string &hostIp, int hostPort)
{
    ip = hostIp;
    port = static_cast<uint16_t>(hostPort);
    return 0;
}

int CTcpClient::connectToHost()
{
    if (ip.empty() || port == 0) {
        tm_printf(TRACE_ERROR, "connectToHost", __LINE__, "ip.size = %d, port = %d\n", static_cast<int>(ip.size()),
                  port);
        return 0;
    }
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        perror("socket error");
        connected = false;
        return sock;
    }
    adoptDescriptor(sock);
    setSocketOpt(sock);

    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = inet_addr(ip.c_str());
    addr.sin_port = htons(port);
    if (connect(sock, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0) {
        tm_printf(TRACE_ALERT, "connectToHost", __LINE__, "connect ip = %s, port = %d,connect svr ok!\n", ip.c_str(),
                  port);
        markConnected();
    } else {
        const int err = errno;
        tm_printf(TRACE_ERROR, "connectToHost", __LINE__, "connect ip = %s, port = %d\n", ip.c_str(), port);
        errno = err;
        perror(" connect svr fault ");
        errno = err; // perror may change it; the caller may want the reason
        connected = false;
    }
    return sock;
}
