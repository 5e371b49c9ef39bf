#include "tests/support/StreamIo.h"
#include "tests/support/Clock.h"

#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

bool sendAll(int fd, const std::string &data)
{
    // A send timeout only bounds each wait; the peer gets this long in all
    // to make room.
    const int64_t deadline = nowMs() + 40000;
    bool isSocket = true;
    size_t done = 0;
    while (done < data.size()) {
        const char *from = data.data() + done;
        const size_t left = data.size() - done;
        const ssize_t n = isSocket ? send(fd, from, left, MSG_NOSIGNAL) : write(fd, from, left);
        const int error = n < 0 ? errno : 0;
        if (error == ENOTSOCK && isSocket) {
            isSocket = false;
            continue;
        }
        if (error == EINTR) {
            continue;
        }
        const int64_t wait = deadline - nowMs();
        if ((error == EAGAIN || error == EWOULDBLOCK) && wait > 0) {
            struct pollfd p = {fd, POLLOUT, 0};
            if (poll(&p, 1, static_cast<int>(wait)) < 0 && errno != EINTR) {
                return false;
            }
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

std::string readUpTo(int fd, size_t count, int timeoutMs)
{
    std::string got;
    const int64_t deadline = nowMs() + timeoutMs;
    char buffer[4096];
    while (got.size() < count) {
        const int64_t left = deadline - nowMs();
        if (left <= 0) {
            break;
        }
        struct pollfd p = {fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            break;
        }
        const ssize_t n = recv(fd, buffer, std::min(sizeof buffer, count - got.size()), 0);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            break;
        }
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}
