#pragma once

#include <cstdint>
#include <string>

#include "net/CSocketClient.h"

// A TCP connection. Accepted connections have no address, so their
// connectToHost refuses and the socket manager deletes them once dead;
// outgoing ones reconnect to ip:port at every check while disconnected.
class CTcpClient : public CSocketClient {
public:
    CTcpClient(const std::string &ip, int port);
    ~CTcpClient() override;

    // The new descriptor (also when connect() failed), 0 without an address.
    int connectToHost() override;
    virtual int setHost(const std::string &ip, int port);

private:
    std::string ip;
    uint16_t port;
};
