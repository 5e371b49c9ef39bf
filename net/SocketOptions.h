#pragma once
// Socket-option helpers shared by every endpoint.

#include <sys/socket.h>
#include <sys/un.h>

#include <string>

// Applied to every socket the framework creates or accepts: TCP_NODELAY (fails
// quietly on non-TCP sockets), a 10 s send and a 5 s receive timeout, and
// SO_LINGER on with time 0. Results are ignored; returns 0.
int setSocketOpt(int fd);

// Adds O_NONBLOCK; returns the new flags. The daemon keeps its descriptors
// blocking, bounded by the timeouts above.
int setNonBlocking(int fd);

// Fills a Unix-domain address with path. False, with an ERROR trace under
// `caller`, when the path does not fit the address's path field.
bool makeUnixAddress(const std::string &path, struct sockaddr_un &addr, const char *caller);
