#pragma once
// A datagram server on a local port (or a Unix-domain datagram path): each
// datagram reaches the datagram callback whole, cut to 2048 bytes.

#include <cstdint>
#include <string>

#include "net/CObjectBase.h"
#include "net/CSocketServer.h"
#include "net/Callbacks.h"

class CUdpServer : public CObjectBase {
public:
    static const int kReadSize = 2048;

    explicit CUdpServer(int port);
    explicit CUdpServer(const char *path);
    ~CUdpServer() override;

    // Receives one datagram; its size, 0 when interrupted or empty.
    int onReadAble() override;
    // Another datagram may be waiting after one that was received.
    bool readsMore(int count) const override { return count > 0; }

    int startServer();
    // The IPv4 address the next startServer binds (all of them unless set).
    void setBindAddress(uint32_t addrNetworkOrder) { bindAddress = addrNetworkOrder; }
    // Tries startServer again, for the connection check.
    int connectToHost() override;
    int initMulticast(int sock);
    int setMulticast(const std::string &group);
    void setReadCallback(const DatagramCallback &callback) { readCallback = callback; }
    // Addressed send; the sendto() result.
    int sendData(const void *data, int len, const void *toAddr, int addrLen);
    using CObjectBase::sendData;

private:
    DatagramCallback readCallback;
    int addrType;
    uint16_t port;
    uint32_t bindAddress; // network order
    std::string unixSocketPath;
    bool multicastEnabled;
    std::string multicastGroup;
    unsigned char readBuffer[kReadSize];
};
