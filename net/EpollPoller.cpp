#include "net/EpollPoller.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>

namespace {

const int kMaxEvents = 256;

} // namespace

EpollPoller::EpollPoller() : epfd(epoll_create1(EPOLL_CLOEXEC)) {}

EpollPoller::~EpollPoller()
{
    if (epfd >= 0) {
        close(epfd);
    }
}

bool EpollPoller::watch(int fd, bool writing)
{
    struct epoll_event event = {};
    event.events = EPOLLIN | (writing ? EPOLLOUT : 0u);
    event.data.fd = fd;
    if (epoll_ctl(epfd, EPOLL_CTL_MOD, fd, &event) == 0) {
        return true;
    }
    // Not there yet, or gone with a close: a descriptor number comes and goes
    // with its connections.
    return errno == ENOENT && epoll_ctl(epfd, EPOLL_CTL_ADD, fd, &event) == 0;
}

bool EpollPoller::unwatch(int fd)
{
    return epoll_ctl(epfd, EPOLL_CTL_DEL, fd, nullptr) == 0;
}

int EpollPoller::wait(int timeoutMs, std::vector<Ready> &ready)
{
    ready.clear();
    struct epoll_event got[kMaxEvents];
    const int n = epoll_wait(epfd, got, kMaxEvents, timeoutMs);
    if (n <= 0) {
        return n;
    }
    for (int i = 0; i < n; ++i) {
        // Errors and hang-ups are for the read to find.
        const bool readable = (got[i].events & (EPOLLIN | EPOLLERR | EPOLLHUP | EPOLLRDHUP)) != 0;
        ready.push_back(Ready{got[i].data.fd, readable, (got[i].events & EPOLLOUT) != 0});
    }
    // Served in ascending order, as the select loop serves them.
    std::sort(ready.begin(), ready.end(), [](const Ready &a, const Ready &b) { return a.fd < b.fd; });
    return n;
}
