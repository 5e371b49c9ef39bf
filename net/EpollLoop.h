#pragma once
// The socket manager's passes with epoll (its eventLoop "epoll"): the
// interest set kept across passes, writability watched only for endpoints
// that have told it of unsent bytes, and a readable endpoint read until it
// is empty within a budget. The pass steps around the wait are the select
// loop's: stalled queues closed first, writable ones flushed, readable ones
// served in ascending order with the pause after each.

#include <cstdint>
#include <vector>

#include "net/EpollPoller.h"
#include "net/WriteInterest.h"

class CObjectBase;
class CSocketManager;

class EpollLoop final : private WriteInterest {
public:
    static const int kReadsPerPass = 4;

    explicit EpollLoop(CSocketManager &manager) : owner(manager) {}

    bool ok() const { return poller.ok(); }
    // Watches an endpoint stored under fd; removes a key that goes.
    void watch(int fd, CObjectBase *endpoint);
    void unwatch(int fd) { poller.unwatch(fd); }
    // One pass after the timers: at most timeoutMs of waiting. 1 to go on,
    // -1 when the wait failed.
    int pass(int timeoutMs, int64_t nowMs, int stallTimeoutMs, unsigned servePauseUs);

private:
    void writePending(CObjectBase *endpoint) override;
    void endpointGone(CObjectBase *endpoint) override;
    // The endpoints with unsent bytes: watched for writing while they have
    // them, closed when they have stopped moving, let go once they are sent.
    void checkPendingWrites(int64_t nowMs, int stallTimeoutMs);
    void serveReadable(CObjectBase *endpoint);

    CSocketManager &owner;
    EpollPoller poller;
    std::vector<CObjectBase *> pendingWrites;
    std::vector<EpollPoller::Ready> ready; // reused every pass
};
