#include "tests/support/NotifySocket.h"
#include "tests/support/Clock.h"

#include <poll.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <cstring>

NotifySocket::NotifySocket(const std::string &path) : socketPath(path)
{
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        return;
    }
    memcpy(addr.sun_path, path.c_str(), path.size());
    fd = socket(AF_UNIX, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (fd >= 0 && bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        fd = -1;
    }
}

NotifySocket::~NotifySocket()
{
    if (fd >= 0) {
        close(fd);
        unlink(socketPath.c_str());
    }
}

bool NotifySocket::next(Message &message, int timeoutMs)
{
    if (fd < 0) {
        return false;
    }
    const int64_t deadline = nowMs() + timeoutMs;
    for (;;) {
        const int64_t left = deadline - nowMs();
        struct pollfd p = {fd, POLLIN, 0};
        const int ready = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready > 0) {
            char buffer[4096];
            const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
            if (n >= 0) {
                message.text.assign(buffer, static_cast<size_t>(n));
                message.atMs = nowMs();
                return true;
            }
        }
        if (left <= 0) {
            return false;
        }
    }
}

bool NotifySocket::waitFor(const std::string &text, int timeoutMs, std::vector<Message> *seen)
{
    const int64_t deadline = nowMs() + timeoutMs;
    Message m;
    while (next(m, static_cast<int>(deadline - nowMs() > 0 ? deadline - nowMs() : 0))) {
        if (seen != nullptr) {
            seen->push_back(m);
        }
        if (m.text == text) {
            return true;
        }
    }
    return false;
}
