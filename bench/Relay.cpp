#include "bench/Relay.h"

#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/epoll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace bench {

namespace {

const char kMagic[] = "RLY";

bool watch(int epoll, int fd)
{
    struct epoll_event ev;
    memset(&ev, 0, sizeof ev);
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    return epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ev) == 0;
}

// Every byte to a blocking socket; false when the receiver is gone.
bool sendAll(int fd, const char *data, size_t size)
{
    while (size > 0) {
        const ssize_t n = send(fd, data, size, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        data += n;
        size -= static_cast<size_t>(n);
    }
    return true;
}

} // namespace

std::string Relay::hello(bool sender, uint32_t key)
{
    std::string out(kMagic, 3);
    out += sender ? 'S' : 'R';
    for (int shift = 0; shift < 32; shift += 8) {
        out += static_cast<char>((key >> shift) & 0xff);
    }
    return out;
}

Relay::Relay(int listenFd) : listener(listenFd), buffer(kReadBytes)
{
    epoll = epoll_create1(EPOLL_CLOEXEC);
    wake = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    const int flags = fcntl(listener, F_GETFL);
    if (epoll < 0 || wake < 0 || flags < 0 || fcntl(listener, F_SETFL, flags | O_NONBLOCK) != 0 ||
        !watch(epoll, listener) || !watch(epoll, wake)) {
        lastError = std::string("cannot set up the epoll set: ") + strerror(errno);
        if (epoll >= 0) {
            close(epoll);
        }
        epoll = -1;
    }
}

Relay::~Relay()
{
    for (const auto &entry : connections) {
        close(entry.first);
    }
    if (epoll >= 0) {
        close(epoll);
    }
    if (wake >= 0) {
        close(wake);
    }
    close(listener);
}

void Relay::stop()
{
    const uint64_t one = 1;
    if (wake >= 0) {
        const ssize_t ignored = write(wake, &one, sizeof one);
        (void)ignored; // a full counter already says stop
    }
}

bool Relay::run()
{
    if (epoll < 0) {
        return false;
    }
    struct epoll_event events[64];
    for (;;) {
        const int ready = epoll_wait(epoll, events, 64, -1);
        if (ready < 0) {
            if (errno == EINTR) {
                continue;
            }
            lastError = std::string("epoll_wait: ") + strerror(errno);
            return false;
        }
        for (int i = 0; i < ready; ++i) {
            const int fd = events[i].data.fd;
            if (fd == wake) {
                return true;
            }
            if (fd == listener) {
                acceptAll();
            } else if (connections.count(fd) != 0) {
                // An earlier event of this batch may have closed it.
                serve(fd);
            }
        }
    }
}

void Relay::acceptAll()
{
    for (;;) {
        const int fd = accept4(listener, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) {
            // EAGAIN: none left; anything else (out of descriptors, say)
            // leaves the waiting connection for the next round.
            return;
        }
        const int one = 1;
        setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        if (!watch(epoll, fd)) {
            close(fd);
            continue;
        }
        connections[fd] = Connection();
    }
}

void Relay::serve(int fd)
{
    Connection &connection = connections[fd];
    if (connection.peer < 0) {
        readHello(fd, connection);
        return;
    }
    const ssize_t n = read(fd, buffer.data(), buffer.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        return;
    }
    if (n <= 0) {
        closePair(fd);
        return;
    }
    // A receiver's own bytes are dropped; a sender's go out in one write.
    if (connection.sender && !sendAll(connection.peer, buffer.data(), static_cast<size_t>(n))) {
        closePair(fd);
    }
}

void Relay::readHello(int fd, Connection &connection)
{
    char part[kHelloSize];
    const ssize_t n = read(fd, part, kHelloSize - connection.hello.size());
    if (n < 0 && (errno == EINTR || errno == EAGAIN)) {
        return;
    }
    if (n <= 0) {
        closeConnection(fd);
        return;
    }
    connection.hello.append(part, static_cast<size_t>(n));
    if (connection.hello.size() < kHelloSize) {
        return;
    }
    const std::string &h = connection.hello;
    if (h.compare(0, 3, kMagic) != 0 || (h[3] != 'S' && h[3] != 'R')) {
        closeConnection(fd);
        return;
    }
    const bool sender = h[3] == 'S';
    uint32_t key = 0;
    for (int i = 0; i < 4; ++i) {
        key |= static_cast<uint32_t>(static_cast<unsigned char>(h[4 + static_cast<size_t>(i)])) << (8 * i);
    }
    connection.sender = sender;
    const auto partner = waiting.find(std::make_pair(!sender, key));
    if (partner == waiting.end()) {
        // A second connection under the same role and key replaces the first.
        const auto same = waiting.find(std::make_pair(sender, key));
        if (same != waiting.end()) {
            closeConnection(same->second);
        }
        // Not watched until its partner comes: what it sends early waits
        // in its socket instead of waking the loop again and again.
        epoll_ctl(epoll, EPOLL_CTL_DEL, fd, nullptr);
        waiting[std::make_pair(sender, key)] = fd;
        return;
    }
    const int other = partner->second;
    waiting.erase(partner);
    connection.peer = other;
    connections[other].peer = fd;
    if (!watch(epoll, other)) {
        closePair(fd);
    }
}

void Relay::closeConnection(int fd)
{
    const auto it = connections.find(fd);
    if (it == connections.end()) {
        return;
    }
    for (auto w = waiting.begin(); w != waiting.end(); ++w) {
        if (w->second == fd) {
            waiting.erase(w);
            break;
        }
    }
    epoll_ctl(epoll, EPOLL_CTL_DEL, fd, nullptr);
    close(fd);
    connections.erase(it);
}

void Relay::closePair(int fd)
{
    const auto it = connections.find(fd);
    const int peer = it == connections.end() ? -1 : it->second.peer;
    closeConnection(fd);
    if (peer >= 0) {
        closeConnection(peer);
    }
}

} // namespace bench
