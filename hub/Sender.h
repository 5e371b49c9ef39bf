#pragma once
// Who sent the frames being routed: a stream connection's session, or a
// datagram's address. Handlers answer and check through it instead of
// asking where the frame came from.

#include <cstddef>

#include "hub/Session.h"
#include "hub/TrafficCounters.h"
#include "net/CSocketClient.h"

struct Sender {
    Session *session = nullptr;  // null for a datagram
    const void *from = nullptr;  // a datagram's sender address, as recvfrom() gave it
    bool loopback = false;       // a datagram from loopback
    size_t datagramBytes = 0;    // that datagram's size
    size_t answeredBytes = 0;    // bytes sent in answer to it so far
    TrafficCounters *traffic = nullptr; // where its frames count

    CSocketClient *endpoint() const { return session != nullptr ? session->endpoint : nullptr; }
    bool isStream() const { return session != nullptr; }
};
