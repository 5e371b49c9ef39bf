#pragma once
// Whole writes and reads with a deadline on a descriptor, for tests that
// play a peer.

#include <cstddef>
#include <string>

// Writes every byte of `data`, across partial writes and EINTR. Sockets get
// MSG_NOSIGNAL (a reset peer is a failure, not a signal); other descriptors
// a plain write(). A write that times out (SO_SNDTIMEO, or a non-blocking
// descriptor) is tried again once there is room, for up to 40 s in all.
bool sendAll(int fd, const std::string &data);
// Up to `count` bytes within `timeoutMs`; less when the peer closed.
std::string readUpTo(int fd, size_t count, int timeoutMs);
