#include "net/CObjectBase.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net/SocketOptions.h"
#include "trace/Trace.h"

namespace {

const int kMaxChunk = 16384;
// Capacity a drained queue keeps: a burst must not pin its memory for the
// rest of the connection's life.
const size_t kKeptQueueBytes = 16384;

bool writableNow(int fd)
{
    struct pollfd ready = {fd, POLLOUT, 0};
    return poll(&ready, 1, 0) > 0 && (ready.revents & POLLOUT) != 0;
}

} // namespace

CObjectBase::CObjectBase()
    : fd(-1), connected(false), connType(CONN_TYPE_NONE), name("not set"), fdOpen(false), sendStalled(false)
{
}

CObjectBase::~CObjectBase()
{
    closeDescriptor();
}

void CObjectBase::adoptDescriptor(int newFd)
{
    if (fdOpen && newFd != fd) {
        closeDescriptor();
    }
    fd = newFd;
    fdOpen = newFd >= 0;
    sendStalled = false;
    // A new descriptor starts out blocking.
    modeApplied = queueLimit == 0;
}

void CObjectBase::closeDescriptor()
{
    if (fdOpen) {
        close(fd);
        fdOpen = false;
    }
    clearUnsent(0);
}

void CObjectBase::clearUnsent(size_t keptBytes)
{
    if (unsent.capacity() > keptBytes) {
        std::string().swap(unsent);
    } else {
        unsent.clear();
    }
    unsentHead = 0;
    dropping = false;
    queueMoved = true;
}

void CObjectBase::enqueue(const char *bytes, size_t size)
{
    if (size == 0) {
        return; // a send that went out whole
    }
    // Written bytes stay in front until they make up half the buffer, so
    // that moving the rest down costs at most as much as writing it did.
    if (unsentHead > 0 && unsentHead >= unsentBytes()) {
        unsent.erase(0, unsentHead);
        unsentHead = 0;
    }
    unsent.append(bytes, size);
    peakQueued = std::max(peakQueued, unsentBytes());
}

bool CObjectBase::applyBlockingMode()
{
    // Tried once per descriptor: a failure is traced, not repeated per send.
    modeApplied = true;
    if (!fdOpen) {
        return true;
    }
    if (!setDescriptorNonBlocking(fd, queueLimit > 0)) {
        const int err = errno;
        tm_printf(TRACE_ERROR, "setSendQueueLimit", __LINE__, "blocking mode of fd %d not changed: %s\n", fd,
                  strerror(err));
        return false;
    }
    return true;
}

bool CObjectBase::setSendQueueLimit(size_t bytes)
{
    const bool modeChanges = (bytes > 0) != (queueLimit > 0);
    queueLimit = bytes;
    if (!modeChanges) {
        return true;
    }
    modeApplied = false;
    return applyBlockingMode();
}

int64_t CObjectBase::sendQueueStillMs(int64_t nowMs)
{
    if (queueLimit == 0 || !hasUnsentBytes()) {
        return 0;
    }
    // A clock set back restarts the count instead of making it negative.
    if (queueMoved || nowMs < stillSinceMs) {
        queueMoved = false;
        stillSinceMs = nowMs;
        return 0;
    }
    return nowMs - stillSinceMs;
}

void CObjectBase::dropDescriptor()
{
    closeDescriptor();
    fd = -1;
}

bool CObjectBase::flushUnsent()
{
    while (hasUnsentBytes()) {
        if (!fdOpen) {
            clearUnsent(0);
            return false;
        }
        const ssize_t n = send(fd, unsent.data() + unsentHead, unsentBytes(), MSG_DONTWAIT | MSG_NOSIGNAL);
        const int err = errno;
        if (n < 0 && err == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (err != EAGAIN && err != EWOULDBLOCK) {
                // A broken connection: the read side will report it.
                clearUnsent(0);
            }
            return !hasUnsentBytes();
        }
        unsentHead += static_cast<size_t>(n);
        queueMoved = true;
    }
    clearUnsent(kKeptQueueBytes);
    return true;
}

int CObjectBase::setSocket(int newFd)
{
    adoptDescriptor(newFd);
    connected = true;
    if (!modeApplied) {
        applyBlockingMode();
    }
    return 0;
}

int CObjectBase::onReadAble()
{
    return -1;
}

int CObjectBase::sendData(const void *data, int len)
{
    if (!connected) {
        return -1;
    }
    if (len <= 0) {
        return 0;
    }
    if (queueLimit > 0) {
        return queueSend(static_cast<const char *>(data), static_cast<size_t>(len));
    }
    // A peer that stopped reading has already cost one full send timeout,
    // and it does not get to cost another: from then on its data goes only
    // as far as its socket has room and the rest is dropped at once. Room
    // is no promise that it reads again (a socket polls writable with a few
    // kilobytes free), so this holds for the rest of the connection. A
    // frame begun is finished first: the peer must never see half a frame
    // glued to the next one.
    if (hasUnsentBytes() && !flushUnsent()) {
        return -1;
    }
    const char *bytes = static_cast<const char *>(data);
    if (sendStalled) {
        const ssize_t taken = sendWhatFits(bytes, static_cast<size_t>(len));
        if (taken <= 0) {
            return -1;
        }
        enqueue(bytes + taken, static_cast<size_t>(len - taken));
        return len;
    }
    int sent = 0;
    ssize_t n = 0;
    while (sent < len) {
        const int chunk = len - sent < kMaxChunk ? len - sent : kMaxChunk;
        n = write(fd, bytes + sent, static_cast<size_t>(chunk));
        const int err = errno;
        // On this blocking socket a write comes back short when the send
        // timeout ran out after taking part of the chunk. If the socket is
        // still full, the peer has stopped reading: writing the rest would
        // wait out a second timeout.
        const bool timedOut = (n < 0 && (err == EAGAIN || err == EWOULDBLOCK)) ||
                              (n > 0 && n < chunk && !writableNow(fd));
        if (timedOut) {
            sendStalled = true;
            if (n > 0) {
                sent += static_cast<int>(n);
            }
            if (sent > 0) {
                // Begun: what is left goes out once the socket drains.
                enqueue(bytes + sent, static_cast<size_t>(len - sent));
            }
            tm_printf(TRACE_WARM, "sendData", __LINE__, "send to fd %d timed out, sends to it no longer wait\n",
                      fd);
            return -1;
        }
        if (n <= 0) {
            return -1; // broken connections are discovered on the read side
        }
        sent += static_cast<int>(n);
    }
    return static_cast<int>(n);
}

int CObjectBase::queueSend(const char *bytes, size_t size)
{
    if (!modeApplied) {
        applyBlockingMode(); // a descriptor adopted since the limit was set
    }
    // Behind queued bytes a send may neither jump the queue nor be split:
    // it is queued whole or dropped whole.
    if (hasUnsentBytes()) {
        if (unsentBytes() + size > queueLimit) {
            ++dropped;
            if (!dropping) {
                dropping = true;
                tm_printf(TRACE_WARM, "sendData", __LINE__, "send queue of fd %d full (%zu bytes), dropping\n", fd,
                          unsentBytes());
            }
            return -1;
        }
        enqueue(bytes, size);
        return static_cast<int>(size);
    }
    const ssize_t sent = sendWhatFits(bytes, size);
    if (sent < 0) {
        return -1; // broken connections are discovered on the read side
    }
    // Whatever the limit: a begun send is finished before any later byte.
    enqueue(bytes + sent, size - static_cast<size_t>(sent));
    return static_cast<int>(size);
}

ssize_t CObjectBase::sendWhatFits(const char *bytes, size_t size)
{
    size_t sent = 0;
    while (sent < size) {
        const ssize_t n = send(fd, bytes + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
        const int err = errno;
        if (n > 0) {
            sent += static_cast<size_t>(n);
        } else if (n < 0 && err == EINTR) {
            continue;
        } else if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK)) {
            break;
        } else {
            return -1;
        }
    }
    return static_cast<ssize_t>(sent);
}

int CObjectBase::readData(void *buf, int size)
{
    if (!connected) {
        return -1;
    }
    const ssize_t n = read(fd, buf, static_cast<size_t>(size));
    if (n <= 0) {
        const int err = errno;
        tm_printf(TRACE_ERROR, "readData", __LINE__, "read error, errno %d, err: %s\n", err, strerror(err));
    }
    return static_cast<int>(n);
}

int CObjectBase::connectToHost()
{
    return -1;
}

int CObjectBase::getConnType()
{
    return connType;
}

int CObjectBase::setConnType(int type)
{
    connType = type;
    return 0;
}

int CObjectBase::closeSocket()
{
    closeDescriptor();
    connected = false;
    return 0;
}

void CObjectBase::loseConnection()
{
    closeDescriptor();
    connected = false;
}
