#pragma once

#include <cstdint>

#include "net/CSocketServer.h"

// Listening TCP server on an IPv4 address (all of them unless set) and a port.
class CTcpServer : public CSocketServer {
public:
    explicit CTcpServer(int port);
    ~CTcpServer() override;

    int startServer() override;
    // Used from the next startServer on.
    void setBindAddress(uint32_t addrNetworkOrder) { bindAddress = addrNetworkOrder; }

private:
    uint16_t port;
    uint32_t bindAddress; // network order
};
