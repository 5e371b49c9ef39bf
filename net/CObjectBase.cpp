#include "net/CObjectBase.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "trace/Trace.h"

namespace {

const int kMaxChunk = 16384;

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
}

void CObjectBase::closeDescriptor()
{
    if (fdOpen) {
        close(fd);
        fdOpen = false;
    }
    std::string().swap(unsent);
}

void CObjectBase::dropDescriptor()
{
    closeDescriptor();
    fd = -1;
}

bool CObjectBase::flushUnsent()
{
    while (!unsent.empty()) {
        if (!fdOpen) {
            std::string().swap(unsent);
            return false;
        }
        const ssize_t n = send(fd, unsent.data(), unsent.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
        const int err = errno;
        if (n < 0 && err == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (err != EAGAIN && err != EWOULDBLOCK) {
                // A broken connection: the read side will report it.
                std::string().swap(unsent);
            }
            return unsent.empty();
        }
        unsent.erase(0, static_cast<size_t>(n));
    }
    std::string().swap(unsent);
    sendStalled = false;
    return true;
}

int CObjectBase::setSocket(int newFd)
{
    adoptDescriptor(newFd);
    connected = true;
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
    // A peer that stopped reading has already cost one full send timeout;
    // until its socket drains, further data for it is dropped at once
    // instead of stalling the loop for another timeout each time. A frame
    // the timeout cut in two is finished first: the peer must never see
    // half a frame glued to the next one.
    if (!unsent.empty() && !flushUnsent()) {
        return -1;
    }
    if (sendStalled) {
        if (!writableNow(fd)) {
            return -1;
        }
        sendStalled = false;
    }
    const char *bytes = static_cast<const char *>(data);
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
                unsent.assign(bytes + sent, static_cast<size_t>(len - sent));
            }
            tm_printf(TRACE_WARM, "sendData", __LINE__, "send to fd %d timed out, dropping data until it drains\n",
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
