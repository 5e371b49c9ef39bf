#include "net/CSocketClient.h"

#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "net/SocketOptions.h"
#include "trace/Trace.h"

CSocketClient::CSocketClient()
{
    connType = kOutgoing;
}

CSocketClient::~CSocketClient() = default;

void CSocketClient::markConnected()
{
    connected = true;
    if (connectCallback) {
        connectCallback(this);
    }
}

void CSocketClient::descriptorChanged(bool open)
{
    // Whatever waited belongs to the old descriptor.
    sendQueue.reset();
    if (open && sendQueue.limit() > 0) {
        applyBlockingMode(); // a new descriptor starts out blocking
    }
}

bool CSocketClient::applyBlockingMode()
{
    if (!isDescriptorOpen()) {
        return true;
    }
    if (!setDescriptorNonBlocking(fd, sendQueue.limit() > 0)) {
        const int err = errno;
        tm_printf(TRACE_ERROR, "setSendQueueLimit", __LINE__, "blocking mode of fd %d not changed: %s\n", fd,
                  strerror(err));
        return false;
    }
    return true;
}

bool CSocketClient::setSendQueueLimit(size_t bytes)
{
    const bool modeChanges = (bytes > 0) != (sendQueue.limit() > 0);
    sendQueue.setLimit(bytes);
    return !modeChanges || applyBlockingMode();
}

namespace {

// The buffer of large reads, for every connection: one read at a time runs
// on the loop's thread, and its bytes live only during the read callback.
unsigned char largeReadBuffer[CSocketClient::kLargeReadSize];

} // namespace

void CSocketClient::setReadSize(int bytes)
{
    readSize = bytes > kReadSize ? kLargeReadSize : kReadSize;
}

int CSocketClient::sent(int result)
{
    if (!sendQueue.empty()) {
        noteUnsentBytes();
    }
    return result;
}

int CSocketClient::sendData(const void *data, int len)
{
    if (!connected) {
        return -1;
    }
    if (len <= 0) {
        return 0;
    }
    return sent(sendQueue.send(fd, data, static_cast<size_t>(len)));
}

int CSocketClient::sendWithoutWaiting(const void *data, size_t size)
{
    return connected ? sent(sendQueue.sendWithoutWaiting(fd, data, size)) : -1;
}

bool CSocketClient::flushUnsent()
{
    if (!isDescriptorOpen()) {
        sendQueue.reset();
        return false;
    }
    return sendQueue.flush(fd);
}

bool CSocketClient::queueShared(SharedFrame *frame, unsigned char destination, size_t bound)
{
    if (!connected || !sendQueue.pushShared(frame, destination, bound)) {
        return false;
    }
    noteUnsentBytes();
    return true;
}

int CSocketClient::onReadAble()
{
    // Never waits: the loop calls it when the socket is readable, or again
    // after a full read, when it may have been emptied.
    unsigned char *buffer = readSize > kReadSize ? largeReadBuffer : readBuffer;
    const ssize_t got = recv(fd, buffer, static_cast<size_t>(readSize), MSG_DONTWAIT);
    const int err = errno;
    const int n = static_cast<int>(got);
    if (n < 0 && (err == EAGAIN || err == EWOULDBLOCK || err == EINTR)) {
        return 0;
    }
    if (n < 0) {
        errno = err;
        perror("CSocketClient::onReadAble read error: ");
        tm_printf(TRACE_ERROR, "onReadAble", __LINE__, "errno: %d\n", err);
    } else if (n == 0) {
        errno = err;
        perror("CSocketClient::onReadAble read error: ");
    }
    if (n <= 0) {
        reportLoss(n);
    } else if (readCallback) {
        readCallback(this, buffer, n);
    }
    return n;
}

void CSocketClient::reportLoss(int len)
{
    // The descriptor goes back at once: a peer that connects and closes in a
    // loop must not pile up dead ones until the next check. The endpoint,
    // and the number it reports, stay until then.
    closeDescriptor();
    connected = false;
    if (readCallback) {
        readCallback(this, readBuffer, len);
    }
}

void CSocketClient::loseConnection()
{
    reportLoss(0);
}
