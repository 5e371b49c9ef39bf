#include "net/SendQueue.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "net/SharedFrame.h"
#include "trace/Trace.h"

namespace {

const size_t kMaxChunk = 16384;
// Pieces handed to one sendmsg: a shared frame takes three (its bytes
// before the patch, the patch, the rest).
const int kMaxPieces = 64;

bool writableNow(int fd)
{
    struct pollfd ready = {fd, POLLOUT, 0};
    return poll(&ready, 1, 0) > 0 && (ready.revents & POLLOUT) != 0;
}

void addPiece(struct iovec *pieces, int &count, const void *base, size_t from, size_t to)
{
    if (from < to) {
        pieces[count].iov_base = const_cast<char *>(static_cast<const char *>(base) + from);
        pieces[count].iov_len = to - from;
        ++count;
    }
}

} // namespace

SendQueue::~SendQueue()
{
    clear(0);
}

size_t SendQueue::memoryBytes() const
{
    return owned.capacity() + sharedMemory + segments.capacity() * sizeof(Segment);
}

int64_t SendQueue::stillMs(int64_t nowMs)
{
    if (empty()) {
        return 0;
    }
    // A clock set back restarts the count instead of making it negative.
    if (moved || nowMs < stillSinceMs) {
        moved = false;
        stillSinceMs = nowMs;
        return 0;
    }
    return nowMs - stillSinceMs;
}

void SendQueue::clear(size_t keptBytes)
{
    for (size_t i = head; i < segments.size(); ++i) {
        if (segments[i].shared != nullptr) {
            segments[i].shared->release();
        }
    }
    segments.clear();
    head = 0;
    headWritten = 0;
    if (owned.capacity() > keptBytes) {
        std::vector<char>().swap(owned);
    } else {
        owned.clear();
    }
    ownedHead = 0;
    waiting = 0;
    sharedMemory = 0;
    dropping = false;
    moved = true;
}

void SendQueue::reset()
{
    clear(0);
    stalledPeer = false;
}

void SendQueue::appendOwned(const char *bytes, size_t size)
{
    if (size == 0) {
        return;
    }
    if (owned.size() + size > owned.capacity()) {
        // Written bytes leave the front before the storage grows.
        owned.erase(owned.begin(), owned.begin() + static_cast<long>(ownedHead));
        ownedHead = 0;
        const size_t needed = owned.size() + size;
        if (needed > owned.capacity()) {
            owned.reserve((needed + SendQueue::kGrowStep - 1) / SendQueue::kGrowStep * SendQueue::kGrowStep);
        }
    }
    owned.insert(owned.end(), bytes, bytes + size);
    if (!empty() && segments.back().shared == nullptr) {
        segments.back().length += size;
    } else {
        segments.push_back(Segment{nullptr, size, 0});
    }
    waiting += size;
    peak = std::max(peak, waiting);
}

bool SendQueue::pushShared(SharedFrame *frame, unsigned char destination, size_t bound)
{
    if (frame == nullptr) {
        return false;
    }
    // A full vector doubles when it takes one more.
    const size_t grows = segments.size() < segments.capacity() ? 0 : std::max<size_t>(segments.capacity(), 1);
    if (memoryBytes() + frame->footprint() + grows * sizeof(Segment) > bound) {
        return false;
    }
    frame->retain();
    segments.push_back(Segment{frame, 0, destination});
    sharedMemory += frame->footprint();
    waiting += frame->size();
    peak = std::max(peak, waiting);
    return true;
}

size_t SendQueue::dropShared()
{
    // A frame begun stays: its rest must follow what went out.
    size_t kept = head + (headWritten > 0 ? 1 : 0);
    size_t droppedFrames = 0;
    for (size_t i = kept; i < segments.size(); ++i) {
        Segment &segment = segments[i];
        if (segment.shared == nullptr) {
            segments[kept++] = segment;
            continue;
        }
        waiting -= segment.shared->size();
        sharedMemory -= segment.shared->footprint();
        segment.shared->release();
        ++droppedFrames;
    }
    segments.resize(kept);
    if (empty()) {
        clear(kKeptBytes);
    }
    return droppedFrames;
}

void SendQueue::consume(size_t n)
{
    moved = moved || n > 0;
    while (n > 0 && !empty()) {
        Segment &segment = segments[head];
        size_t taken = 0;
        if (segment.shared == nullptr) {
            taken = std::min(n, segment.length);
            ownedHead += taken;
            segment.length -= taken;
            if (segment.length == 0) {
                ++head;
            }
        } else {
            taken = std::min(n, segment.shared->size() - headWritten);
            headWritten += taken;
            if (headWritten == segment.shared->size()) {
                sharedMemory -= segment.shared->footprint();
                segment.shared->release();
                headWritten = 0;
                ++head;
            }
        }
        n -= taken;
        waiting -= taken;
    }
    if (empty()) {
        clear(kKeptBytes);
    } else if (head >= 64 && head * 2 >= segments.size()) {
        segments.erase(segments.begin(), segments.begin() + static_cast<long>(head));
        head = 0;
    }
}

bool SendQueue::flush(int fd)
{
    while (!empty()) {
        struct iovec pieces[kMaxPieces];
        int count = 0;
        size_t ownedAt = ownedHead;
        for (size_t i = head; i < segments.size() && count + 3 <= kMaxPieces; ++i) {
            const Segment &segment = segments[i];
            if (segment.shared == nullptr) {
                addPiece(pieces, count, owned.data(), ownedAt, ownedAt + segment.length);
                ownedAt += segment.length;
                continue;
            }
            const size_t from = i == head ? headWritten : 0;
            const size_t patch = segment.shared->patchOffset();
            const unsigned char *bytes = segment.shared->data();
            addPiece(pieces, count, bytes, from, patch);
            addPiece(pieces, count, &segment.destination, from > patch ? 1 : 0, 1);
            addPiece(pieces, count, bytes, std::max(from, patch + 1), segment.shared->size());
        }
        struct msghdr message;
        memset(&message, 0, sizeof message);
        message.msg_iov = pieces;
        message.msg_iovlen = static_cast<size_t>(count);
        const ssize_t n = sendmsg(fd, &message, MSG_DONTWAIT | MSG_NOSIGNAL);
        const int err = errno;
        if (n < 0 && err == EINTR) {
            continue;
        }
        if (n <= 0) {
            if (err != EAGAIN && err != EWOULDBLOCK) {
                clear(0); // a broken connection: the read side will report it
            }
            return empty();
        }
        consume(static_cast<size_t>(n));
    }
    return true;
}

ssize_t SendQueue::writeWhatFits(int fd, const char *bytes, size_t size)
{
    size_t sent = 0;
    while (sent < size) {
        const ssize_t n = ::send(fd, bytes + sent, size - sent, MSG_DONTWAIT | MSG_NOSIGNAL);
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

void SendQueue::noteDrop(int fd)
{
    ++droppedSends;
    if (!dropping) {
        dropping = true;
        tm_printf(TRACE_WARM, "sendData", __LINE__, "send queue of fd %d full (%zu bytes), dropping\n", fd,
                  waiting);
    }
}

int SendQueue::send(int fd, const void *data, size_t size)
{
    if (size == 0) {
        return 0;
    }
    const char *bytes = static_cast<const char *>(data);
    return limitBytes > 0 ? sendQueued(fd, bytes, size) : sendBlocking(fd, bytes, size);
}

int SendQueue::sendWithoutWaiting(int fd, const void *data, size_t size)
{
    const char *bytes = static_cast<const char *>(data);
    if (!empty()) {
        appendOwned(bytes, size);
        return static_cast<int>(size);
    }
    const ssize_t sent = writeWhatFits(fd, bytes, size);
    if (sent < 0) {
        return -1;
    }
    moved = true;
    appendOwned(bytes + sent, size - static_cast<size_t>(sent));
    return static_cast<int>(size);
}

int SendQueue::sendQueued(int fd, const char *bytes, size_t size)
{
    // Behind waiting bytes a send may neither jump the queue nor be split:
    // it is queued whole or dropped whole.
    if (!empty()) {
        if (waiting + size > limitBytes) {
            noteDrop(fd);
            return -1;
        }
        appendOwned(bytes, size);
        return static_cast<int>(size);
    }
    // Whatever the limit: a begun send is finished before any later byte.
    return sendWithoutWaiting(fd, bytes, size);
}

int SendQueue::sendBlocking(int fd, const char *bytes, size_t size)
{
    // Bytes still waiting (a begun send, or what a queue held before the
    // limit went back to 0) go first; a send that cannot follow them at
    // once is dropped rather than waited for.
    if (!empty() && !flush(fd)) {
        noteDrop(fd);
        return -1;
    }
    // A peer that stopped reading has already cost one full send timeout,
    // and it does not get to cost another: from then on its data goes only
    // as far as its socket has room and the rest is dropped at once. Room
    // is no promise that it reads again (a socket polls writable with a few
    // kilobytes free), so this holds for the rest of the connection.
    if (stalledPeer) {
        const ssize_t taken = writeWhatFits(fd, bytes, size);
        if (taken <= 0) {
            if (taken == 0) {
                noteDrop(fd);
            }
            return -1;
        }
        appendOwned(bytes + taken, size - static_cast<size_t>(taken));
        return static_cast<int>(size);
    }
    size_t sent = 0;
    while (sent < size) {
        const size_t chunk = std::min(size - sent, kMaxChunk);
        const ssize_t n = write(fd, bytes + sent, chunk);
        const int err = errno;
        // On this blocking socket a write comes back short when the send
        // timeout ran out after taking part of the chunk. If the socket is
        // still full, the peer has stopped reading: writing the rest would
        // wait out a second timeout.
        const bool timedOut = (n < 0 && (err == EAGAIN || err == EWOULDBLOCK)) ||
                              (n > 0 && static_cast<size_t>(n) < chunk && !writableNow(fd));
        if (timedOut) {
            stalledPeer = true;
            if (n > 0) {
                sent += static_cast<size_t>(n);
            }
            // Begun: what is left goes out once the socket drains.
            if (sent > 0) {
                appendOwned(bytes + sent, size - sent);
            }
            tm_printf(TRACE_WARM, "sendData", __LINE__, "send to fd %d timed out, sends to it no longer wait\n",
                      fd);
            return -1;
        }
        if (n < 0 && err == EINTR) {
            continue;
        }
        if (n <= 0) {
            return -1; // broken connections are discovered on the read side
        }
        sent += static_cast<size_t>(n);
    }
    return static_cast<int>(size);
}
