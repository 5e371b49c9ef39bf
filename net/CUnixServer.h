#pragma once

#include <string>

#include "net/CSocketServer.h"

// Listening Unix-domain stream server on a path; a stale socket file at the
// path is removed before binding. Destruction leaves the file in place.
class CUnixServer : public CSocketServer {
public:
    explicit CUnixServer(const char *path);
    ~CUnixServer() override;

    int startServer() override;
    int setUnixSocketPath(const char *path);

private:
    std::string unixSocketPath;
};
