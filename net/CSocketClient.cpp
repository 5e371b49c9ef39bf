#include "net/CSocketClient.h"

#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "trace/Trace.h"

CSocketClient::CSocketClient()
{
    connType = CONN_TYPE_OUTGOING;
}

CSocketClient::~CSocketClient() = default;

void CSocketClient::markConnected()
{
    connected = true;
    if (connectCallback) {
        connectCallback(this);
    }
}

int CSocketClient::onReadAble()
{
    const ssize_t got = read(fd, readBuffer, sizeof readBuffer);
    const int err = errno;
    const int n = static_cast<int>(got);
    if (n < 0 && (err == EAGAIN || err == EINTR)) {
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
        readCallback(this, readBuffer, n);
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
