#include "net/EpollLoop.h"

#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>

#include "net/CObjectBase.h"
#include "net/CSocketManager.h"
#include "trace/Trace.h"

void EpollLoop::watch(int fd, CObjectBase *endpoint)
{
    endpoint->setWriteInterest(this);
    if (!poller.watch(fd, endpoint->writeArmed)) {
        const int err = errno;
        tm_printf(TRACE_ERROR, "add", __LINE__, "fd %d cannot be watched: %s\n", fd, strerror(err));
    }
}

void EpollLoop::writePending(CObjectBase *endpoint)
{
    pendingWrites.push_back(endpoint);
}

void EpollLoop::endpointGone(CObjectBase *endpoint)
{
    pendingWrites.erase(std::remove(pendingWrites.begin(), pendingWrites.end(), endpoint), pendingWrites.end());
}

void EpollLoop::checkPendingWrites(int64_t nowMs, int stallTimeoutMs)
{
    for (size_t i = 0; i < pendingWrites.size();) {
        CObjectBase *endpoint = pendingWrites[i];
        const int fd = endpoint->getFd();
        if (endpoint->isConnected() && endpoint->hasUnsentBytes()) {
            const int64_t still = endpoint->sendQueueStillMs(nowMs);
            if (stallTimeoutMs > 0 && still >= stallTimeoutMs) {
                tm_printf(TRACE_WARM, "collectFds", __LINE__, "send queue of fd %d stuck for %lld ms, closing\n", fd,
                          static_cast<long long>(still));
                // Its owner may send elsewhere meanwhile: this list may grow.
                endpoint->loseConnection();
            } else if (!endpoint->writeArmed && poller.watch(fd, true)) {
                endpoint->writeArmed = true;
            }
            ++i;
            continue;
        }
        if (endpoint->writeArmed && endpoint->isDescriptorOpen()) {
            poller.watch(fd, false);
        }
        endpoint->writeArmed = false;
        endpoint->writeListed = false;
        pendingWrites[i] = pendingWrites.back();
        pendingWrites.pop_back();
    }
}

void EpollLoop::serveReadable(CObjectBase *endpoint)
{
    // What the socket holds now, within a budget so that every connection
    // gets its turn: a level-triggered wait reports the rest next pass.
    for (int reads = 0; reads < kReadsPerPass && endpoint->isConnected(); ++reads) {
        if (!endpoint->readsMore(endpoint->onReadAble())) {
            break;
        }
    }
}

int EpollLoop::pass(int timeoutMs, int64_t nowMs, int stallTimeoutMs, unsigned servePauseUs)
{
    checkPendingWrites(nowMs, stallTimeoutMs);
    const int count = poller.wait(timeoutMs, ready);
    if (count == 0) {
        return 1;
    }
    if (count < 0) {
        const int err = errno;
        perror("epoll_wait");
        tm_printf(TRACE_ERROR, "startSelect", __LINE__, "epoll_wait ret %d , errno: %d:%s \n", count, err,
                  strerror(err));
        return -1;
    }
    for (const EpollPoller::Ready &r : ready) {
        CObjectBase *endpoint = nullptr;
        if (r.writable && owner.find(r.fd, endpoint) == 0 && endpoint != nullptr) {
            endpoint->flushUnsent();
        }
    }
    for (const EpollPoller::Ready &r : ready) {
        if (!r.readable) {
            continue;
        }
        // Looked up again, as in the select pass: an earlier handler may
        // have replaced the entry, and endpoints are deleted only by the
        // connection check at the top of a pass.
        CObjectBase *endpoint = nullptr;
        if (owner.find(r.fd, endpoint) != 0 || endpoint == nullptr || !endpoint->isConnected()) {
            // Nobody reads it: it must not wake every wait until the check.
            poller.unwatch(r.fd);
            continue;
        }
        serveReadable(endpoint);
        if (servePauseUs > 0) {
            usleep(servePauseUs);
        }
    }
    return 1;
}
