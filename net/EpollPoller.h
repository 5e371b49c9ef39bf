#pragma once
// The epoll side of the loop: an interest set kept across passes, every
// watched descriptor for reading and, only while its endpoint has unsent
// bytes, for writing too. Level-triggered: a descriptor left with data (a
// read budget spent) is reported again at the next wait.

#include <cstdint>
#include <vector>

class EpollPoller {
public:
    struct Ready {
        int fd;
        bool readable;
        bool writable;
    };

    EpollPoller();
    ~EpollPoller();
    EpollPoller(const EpollPoller &) = delete;
    EpollPoller &operator=(const EpollPoller &) = delete;

    // False when the kernel gave no epoll descriptor.
    bool ok() const { return epfd >= 0; }
    // Watches fd for reading (and writing when asked); false, with errno,
    // when the kernel refused.
    bool watch(int fd, bool writing);
    bool unwatch(int fd);
    // Waits at most timeoutMs; the ready descriptors, ascending, in ready.
    // The count, or -1 (errno set) when the wait failed.
    int wait(int timeoutMs, std::vector<Ready> &ready);

private:
    int epfd;
};
