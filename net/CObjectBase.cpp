#include "net/CObjectBase.h"

#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "net/WriteInterest.h"
#include "trace/Trace.h"

namespace {

const int kMaxChunk = 16384;

} // namespace

CObjectBase::CObjectBase() : fd(-1), connected(false), connType(kNoConnection), name("not set"), fdOpen(false) {}

CObjectBase::~CObjectBase()
{
    if (writeListed && writeInterest != nullptr) {
        writeInterest->endpointGone(this);
    }
    // The base close: a derived part is gone by now.
    if (fdOpen) {
        close(fd);
        fdOpen = false;
    }
}

void CObjectBase::adoptDescriptor(int newFd)
{
    if (fdOpen && newFd != fd) {
        closeDescriptor();
    }
    fd = newFd;
    fdOpen = newFd >= 0;
    if (fdOpen) {
        descriptorChanged(true);
    }
}

void CObjectBase::closeDescriptor()
{
    if (fdOpen) {
        close(fd);
        fdOpen = false;
        descriptorChanged(false);
    }
}

void CObjectBase::noteUnsentBytes()
{
    if (writeInterest != nullptr && !writeListed) {
        writeListed = true;
        writeInterest->writePending(this);
    }
}

void CObjectBase::dropDescriptor()
{
    closeDescriptor();
    fd = -1;
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
    const char *bytes = static_cast<const char *>(data);
    int sent = 0;
    ssize_t n = 0;
    while (sent < len) {
        const int chunk = len - sent < kMaxChunk ? len - sent : kMaxChunk;
        n = write(fd, bytes + sent, static_cast<size_t>(chunk));
        if (n < 0) {
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

void CObjectBase::loseConnection()
{
    closeDescriptor();
    connected = false;
}
