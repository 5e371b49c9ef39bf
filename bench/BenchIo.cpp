#include "bench/BenchIo.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <fstream>
#include <sstream>
#include <vector>

namespace bench {

int64_t nowNs()
{
    struct timespec ts;
    clock_gettime(CLOCK_MONOTONIC, &ts);
    return static_cast<int64_t>(ts.tv_sec) * 1000000000LL + ts.tv_nsec;
}

void sleepUntilNs(int64_t deadlineNs)
{
    struct timespec ts;
    ts.tv_sec = static_cast<time_t>(deadlineNs / 1000000000LL);
    ts.tv_nsec = static_cast<long>(deadlineNs % 1000000000LL);
    while (clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &ts, nullptr) == EINTR) {
    }
}

namespace {

struct sockaddr_in loopback(uint16_t port)
{
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    return addr;
}

void setNoDelay(int fd)
{
    const int one = 1;
    setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
}

} // namespace

int connectLoopback(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    struct sockaddr_in addr = loopback(port);
    if (connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
        close(fd);
        return -1;
    }
    setNoDelay(fd);
    return fd;
}

int listenLoopback(uint16_t &port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return -1;
    }
    struct sockaddr_in addr = loopback(0);
    socklen_t size = sizeof addr;
    if (bind(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0 || listen(fd, 512) != 0 ||
        getsockname(fd, reinterpret_cast<struct sockaddr *>(&addr), &size) != 0) {
        close(fd);
        return -1;
    }
    port = ntohs(addr.sin_port);
    return fd;
}

uint16_t freePort()
{
    for (int attempt = 0; attempt < 50; ++attempt) {
        const int tcp = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
        const int udp = socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        uint16_t port = 0;
        if (tcp >= 0 && udp >= 0) {
            struct sockaddr_in addr = loopback(0);
            socklen_t size = sizeof addr;
            if (bind(tcp, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0 &&
                getsockname(tcp, reinterpret_cast<struct sockaddr *>(&addr), &size) == 0) {
                // The hub listens on TCP and UDP under the same number.
                if (bind(udp, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0) {
                    port = ntohs(addr.sin_port);
                }
            }
        }
        if (tcp >= 0) {
            close(tcp);
        }
        if (udp >= 0) {
            close(udp);
        }
        if (port != 0) {
            return port;
        }
    }
    return 0;
}

bool watchReadable(int epoll, int fd)
{
    struct epoll_event ev;
    memset(&ev, 0, sizeof ev);
    ev.events = EPOLLIN;
    ev.data.fd = fd;
    return epoll >= 0 && epoll_ctl(epoll, EPOLL_CTL_ADD, fd, &ev) == 0;
}

bool writeAll(int fd, const void *data, size_t size)
{
    const char *bytes = static_cast<const char *>(data);
    size_t done = 0;
    while (done < size) {
        const ssize_t n = write(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool readExact(int fd, void *data, size_t size, int timeoutMs)
{
    char *bytes = static_cast<char *>(data);
    size_t done = 0;
    const int64_t deadline = nowNs() + static_cast<int64_t>(timeoutMs) * 1000000LL;
    while (done < size) {
        const int64_t left = (deadline - nowNs()) / 1000000LL;
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
        const ssize_t n = read(fd, bytes + done, size - done);
        if (n < 0 && errno == EINTR) {
            continue;
        }
        if (n <= 0) {
            return false;
        }
        done += static_cast<size_t>(n);
    }
    return true;
}

bool processCpuSeconds(pid_t pid, double &seconds)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name may hold spaces and parentheses: fields are counted
    // from the last ')'.
    const size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return false;
    }
    std::istringstream fields(text.substr(close + 1));
    std::vector<std::string> values;
    std::string value;
    while (fields >> value) {
        values.push_back(value);
    }
    // values[0] is field 3 (state); utime and stime are fields 14 and 15.
    if (values.size() < 13) {
        return false;
    }
    const double ticks = static_cast<double>(sysconf(_SC_CLK_TCK));
    seconds = (std::stod(values[11]) + std::stod(values[12])) / ticks;
    return true;
}

bool processMemoryKb(pid_t pid, long &rssKb, long &hwmKb)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    bool rss = false;
    bool hwm = false;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "VmRSS:") == 0) {
            rssKb = std::stol(line.substr(6));
            rss = true;
        } else if (line.compare(0, 6, "VmHWM:") == 0) {
            hwmKb = std::stol(line.substr(6));
            hwm = true;
        }
    }
    return rss && hwm;
}

bool processStatmKb(pid_t pid, long &residentKb, long &privateKb)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/statm");
    long size = 0;
    long resident = 0;
    long shared = 0;
    if (!(in >> size >> resident >> shared) || resident < shared) {
        return false;
    }
    const long pageKb = sysconf(_SC_PAGESIZE) / 1024;
    residentKb = resident * pageKb;
    privateKb = (resident - shared) * pageKb;
    return true;
}

} // namespace bench
