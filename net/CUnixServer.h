#pragma once

#include <sys/un.h>

#include <string>

#include "net/CSocketServer.h"

// Listening Unix-domain stream server on a path. A stale socket file at the
// path is replaced in one step; anything else there (a directory, a file)
// is left alone and the start fails. Destruction leaves the file in place.
class CUnixServer : public CSocketServer {
public:
    explicit CUnixServer(const char *path);
    ~CUnixServer() override;

    int startServer() override;
    int setUnixSocketPath(const char *path);

private:
    int listenInPlace(int sock, const struct sockaddr_un &addr);

    std::string unixSocketPath;
};
