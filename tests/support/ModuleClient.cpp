#include "tests/support/ModuleClient.h"
#include "tests/support/Clock.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <grp.h>
#include <sys/un.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "tests/support/Frames.h"
#include "tests/support/StreamIo.h"

namespace e2e {

namespace {

// A command code the hub has no meaning for: frames with it are only ever
// forwarded.
const uint16_t kPingCmd = 0x0070;


struct sockaddr_in loopbackAddress(uint16_t port)
{
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    return addr;
}

std::string errnoText(const char *what)
{
    return std::string(what) + ": " + strerror(errno);
}

} // namespace

ModuleClient::ModuleClient(Transport transport, int descriptor, const std::string &why)
    : kind(transport), fd(descriptor), openError(why)
{
}

ModuleClient ModuleClient::tcp(uint16_t port)
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return ModuleClient(TCP, -1, errnoText("socket"));
    }
    struct sockaddr_in addr = loopbackAddress(port);
    if (connect(s, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
        const std::string why = errnoText("connect");
        ::close(s);
        return ModuleClient(TCP, -1, why);
    }
    // Pieces of a frame written one by one must leave one by one.
    int noDelay = 1;
    setsockopt(s, IPPROTO_TCP, TCP_NODELAY, &noDelay, sizeof noDelay);
    return ModuleClient(TCP, s, "");
}

ModuleClient ModuleClient::unixStream(const std::string &path)
{
    const int s = socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return ModuleClient(UNIX, -1, errnoText("socket"));
    }
    struct sockaddr_un addr;
    memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        ::close(s);
        return ModuleClient(UNIX, -1, "socket path too long: " + path);
    }
    memcpy(addr.sun_path, path.data(), path.size());
    if (connect(s, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
        const std::string why = errnoText("connect");
        ::close(s);
        return ModuleClient(UNIX, -1, why);
    }
    return ModuleClient(UNIX, s, "");
}

ModuleClient ModuleClient::udp(uint16_t port)
{
    const int s = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return ModuleClient(UDP, -1, errnoText("socket"));
    }
    struct sockaddr_in addr = loopbackAddress(port);
    if (connect(s, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
        const std::string why = errnoText("connect");
        ::close(s);
        return ModuleClient(UDP, -1, why);
    }
    return ModuleClient(UDP, s, "");
}

ModuleClient ModuleClient::connectAs(Transport transport, uint16_t port, const std::string &path, uid_t uid,
                                     gid_t gid, const std::vector<gid_t> &groups)
{
    int pair[2];
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair) != 0) {
        return ModuleClient(transport, -1, errnoText("socketpair"));
    }
    const pid_t child = fork();
    if (child == 0) {
        // The socket is made and connected as the user; the fd passes back.
        if (setgroups(groups.size(), groups.data()) != 0 || setresgid(gid, gid, gid) != 0 ||
            setresuid(uid, uid, uid) != 0) {
            _exit(1);
        }
        ModuleClient made = transport == TCP    ? tcp(port)
                            : transport == UDP  ? udp(port)
                                                : unixStream(path);
        if (!made.isOpen()) {
            _exit(2);
        }
        char byte = 'f';
        struct iovec data = {&byte, 1};
        char control[CMSG_SPACE(sizeof(int))] = {};
        struct msghdr message = {};
        message.msg_iov = &data;
        message.msg_iovlen = 1;
        message.msg_control = control;
        message.msg_controllen = sizeof control;
        struct cmsghdr *header = CMSG_FIRSTHDR(&message);
        header->cmsg_level = SOL_SOCKET;
        header->cmsg_type = SCM_RIGHTS;
        header->cmsg_len = CMSG_LEN(sizeof(int));
        memcpy(CMSG_DATA(header), &made.fd, sizeof(int));
        _exit(sendmsg(pair[1], &message, 0) == 1 ? 0 : 3);
    }
    ::close(pair[1]);
    int received = -1;
    char byte = 0;
    struct iovec data = {&byte, 1};
    char control[CMSG_SPACE(sizeof(int))] = {};
    struct msghdr message = {};
    message.msg_iov = &data;
    message.msg_iovlen = 1;
    message.msg_control = control;
    message.msg_controllen = sizeof control;
    if (child > 0 && recvmsg(pair[0], &message, MSG_CMSG_CLOEXEC) == 1) {
        struct cmsghdr *header = CMSG_FIRSTHDR(&message);
        if (header != nullptr && header->cmsg_type == SCM_RIGHTS) {
            memcpy(&received, CMSG_DATA(header), sizeof(int));
        }
    }
    ::close(pair[0]);
    int status = 0;
    if (child > 0) {
        waitpid(child, &status, 0);
    }
    return ModuleClient(transport, received,
                        received >= 0 ? std::string() : "no connection as uid " + std::to_string(uid) + ", child " +
                                                           std::to_string(WEXITSTATUS(status)));
}

ModuleClient::ModuleClient(ModuleClient &&other) noexcept
    : kind(other.kind), fd(other.fd), openError(std::move(other.openError)), moduleId(other.moduleId),
      pingSerial(other.pingSerial)
{
    other.fd = -1;
}

ModuleClient &ModuleClient::operator=(ModuleClient &&other) noexcept
{
    if (this != &other) {
        close();
        kind = other.kind;
        fd = other.fd;
        openError = std::move(other.openError);
        moduleId = other.moduleId;
        pingSerial = other.pingSerial;
        other.fd = -1;
    }
    return *this;
}

ModuleClient::~ModuleClient()
{
    close();
}

void ModuleClient::close()
{
    if (fd >= 0) {
        ::close(fd);
        fd = -1;
    }
}

void ModuleClient::reset()
{
    if (fd < 0) {
        return;
    }
    struct linger abortive = {1, 0};
    setsockopt(fd, SOL_SOCKET, SO_LINGER, &abortive, sizeof abortive);
    close();
}

bool ModuleClient::send(const std::string &data)
{
    if (fd < 0) {
        return false;
    }
    if (kind == UDP) {
        return ::send(fd, data.data(), data.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(data.size());
    }
    return sendAll(fd, data);
}

std::string ModuleClient::readExactly(size_t count, int timeoutMs)
{
    return fd < 0 ? std::string() : readUpTo(fd, count, timeoutMs);
}

std::string ModuleClient::readFor(int ms)
{
    std::string got;
    if (fd < 0) {
        return got;
    }
    const int64_t deadline = nowMs() + ms;
    char buffer[4096];
    for (;;) {
        const int64_t left = deadline - nowMs();
        struct pollfd p = {fd, POLLIN, 0};
        const int ready = poll(&p, 1, left > 0 ? static_cast<int>(left) : 0);
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            break;
        }
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n <= 0) {
            break;
        }
        got.append(buffer, static_cast<size_t>(n));
    }
    return got;
}

bool ModuleClient::waitClosedByPeer(int timeoutMs)
{
    if (fd < 0) {
        return false;
    }
    const int64_t deadline = nowMs() + timeoutMs;
    char buffer[4096];
    for (;;) {
        const int64_t left = deadline - nowMs();
        if (left <= 0) {
            return false;
        }
        struct pollfd p = {fd, POLLIN, 0};
        const int ready = poll(&p, 1, static_cast<int>(left));
        if (ready < 0 && errno == EINTR) {
            continue;
        }
        if (ready <= 0) {
            return false;
        }
        const ssize_t n = recv(fd, buffer, sizeof buffer, 0);
        if (n == 0) {
            return true;
        }
        if (n < 0 && errno != EINTR && errno != EAGAIN) {
            return true; // a reset counts as closed
        }
    }
}

std::string ModuleClient::registerAs(uint8_t id, const std::string &name)
{
    moduleId = id;
    if (!send(makeFrame(kHubId, id, kCmdReg, name))) {
        return std::string();
    }
    return readExactly(18);
}

bool ModuleClient::ping(std::string *unexpected)
{
    ++pingSerial;
    const std::string payload = bytes({'p', 'i', 'n', 'g', pingSerial & 0xff, pingSerial >> 8});
    const std::string frame = makeFrame(moduleId, moduleId, kPingCmd, payload);
    if (!send(frame)) {
        if (unexpected != nullptr) {
            *unexpected = "(send failed)";
        }
        return false;
    }
    const std::string echo = readExactly(frame.size());
    if (echo != frame) {
        if (unexpected != nullptr) {
            *unexpected = echo;
        }
        return false;
    }
    return true;
}

bool ModuleClient::subscribe(std::initializer_list<uint16_t> events, uint16_t cmd)
{
    std::string payload(1, static_cast<char>(events.size()));
    for (uint16_t event : events) {
        payload += static_cast<char>(event & 0xff);
        payload += static_cast<char>(event >> 8);
    }
    return send(makeFrame(kEventMgrId, moduleId, cmd, payload)) && ping();
}

} // namespace e2e
