#pragma once

#include <string>

#include "net/CSocketClient.h"

// A Unix-domain stream connection; accepted ones have no path and so never
// reconnect.
class CUnixClient : public CSocketClient {
public:
    explicit CUnixClient(const char *path);
    ~CUnixClient() override;

    // The new descriptor (also when connect() failed), 0 without a path,
    // -1 when the path does not fit a Unix-domain address.
    int connectToHost() override;
    virtual int setUnixSocketPath(const char *path);

private:
    std::string unixSocketPath;
};
