#pragma once
// The callback types through which endpoints reach their owner. Each holds a
// member function of the owner bound to its object.

#include <boost/function.hpp>

class CSocketClient;
class CSocketServer;

// After each read: len > 0 bytes of data, or len <= 0 when the connection is
// lost (the endpoint is already marked disconnected). data lives only during
// the call, and the callback must not destroy the endpoint that calls it.
typedef boost::function<void(CSocketClient *client, const void *data, int len)> ReadCallback;

// After connectToHost has connected.
typedef boost::function<void(CSocketClient *client)> ConnectCallback;

// A listening server hands over each accepted connection. The owner adds it
// to the socket manager, which deletes it once it is found disconnected; the
// owner keeps a plain pointer until it learns of the loss. extra is always
// null.
typedef boost::function<void(CSocketClient *client, CSocketServer *server, const void *extra)> AcceptCallback;

// One whole datagram (len > 0) with the sender's address as recvfrom() gave it.
typedef boost::function<void(int fd, const void *fromAddr, const void *data, int len)> DatagramCallback;
