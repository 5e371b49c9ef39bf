#pragma once

#include <cstdint>

#include "net/CSocketServer.h"

// Listening TCP server on 0.0.0.0 and a port.
class CTcpServer : public CSocketServer {
public:
    explicit CTcpServer(int port);
    ~CTcpServer() override;

    int startServer() override;

private:
    uint16_t port;
};
