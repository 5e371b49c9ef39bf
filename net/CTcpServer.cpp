#include "net/CTcpServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include <csignal>
#include <cstdio>
#include <cstring>

#include "net/SocketOptions.h"

CTcpServer::CTcpServer(int listenPort) : port(static_cast<uint16_t>(listenPort)), bindAddress(htonl(INADDR_ANY))
{
    addrType = ADDR_TYPE_INET;
}

CTcpServer::~CTcpServer() = default;

int CTcpServer::startServer()
{
    signal(SIGPIPE, SIG_IGN);
    const int sock = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (sock < 0) {
        perror("socket error");
        return sock;
    }
    adoptDescriptor(sock);
    if (port == 0) {
        dropDescriptor();
        return -1;
    }
    int reuse = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &reuse, sizeof reuse);
    setSocketOpt(sock);

    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = bindAddress;
    addr.sin_port = htons(port);
    if (bind(sock, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) < 0) {
        perror("bind error");
        dropDescriptor();
        return -1;
    }
    if (listen(sock, kListenBacklog) < 0) {
        perror("listen error");
        dropDescriptor();
        return -1;
    }
    connected = true;
    takeReserveDescriptor();
    return sock;
}
