#pragma once
// Socket-option helpers shared by every endpoint.

#include <sys/socket.h>
#include <sys/un.h>

#include <cstdint>
#include <string>

// Applied to every socket the framework creates or accepts: TCP_NODELAY (fails
// quietly on non-TCP sockets), a 10 s send and a 5 s receive timeout, and
// SO_LINGER on with time 0. Results are ignored; returns 0.
int setSocketOpt(int fd);

// Adds O_NONBLOCK; returns the new flags. The daemon keeps its descriptors
// blocking, bounded by the timeouts above, unless a send queue is set.
int setNonBlocking(int fd);
// Sets or clears O_NONBLOCK; false (errno set) when fcntl failed.
bool setDescriptorNonBlocking(int fd, bool nonBlocking);

// Fills a Unix-domain address with path. False, with an ERROR trace under
// `caller`, when the path does not fit the address's path field.
bool makeUnixAddress(const std::string &path, struct sockaddr_un &addr, const char *caller);

// True when the peer of a connected socket is on this host: a Unix-domain
// socket, or an IPv4 peer on a loopback address, on the address the
// connection came in on, or on another address of this host. False when
// that cannot be told.
bool peerOnThisHost(int fd);
// The same for two IPv4 addresses in network order (the peer's and the
// local end's), without the look-up of this host's other addresses.
bool sameHostAddress(uint32_t peer, uint32_t local);

// True when the peer is a Unix-domain socket or on a loopback address: the
// narrower "this host" of hardened settings.
bool peerOnLoopback(int fd);
// True for an IPv4 socket address on a loopback address.
bool loopbackAddress(const void *sockaddrIn);
// "address:port" of an IPv4 peer; empty for other sockets or on failure.
std::string peerAddressText(int fd);

// True when a socket may be put at path: nothing is there, or a socket. A
// directory or any other file is never removed or replaced (ERROR trace
// under `caller`).
bool socketPathFree(const std::string &path, const char *caller);
