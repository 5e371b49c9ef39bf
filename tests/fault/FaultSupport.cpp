#include "tests/fault/FaultFixture.h"
#include "tests/support/Clock.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace fault {

int64_t monotonicMs()
{
    return nowMs();
}

void OwnedFd::reset(int descriptor)
{
    if (fd >= 0) {
        close(fd);
    }
    fd = descriptor;
}

int connectTcp(uint16_t port)
{
    const int s = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (s < 0) {
        return -1;
    }
    struct sockaddr_in addr;
    memset(&addr, 0, sizeof addr);
    addr.sin_family = AF_INET;
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    addr.sin_port = htons(port);
    if (connect(s, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) != 0) {
        close(s);
        return -1;
    }
    return s;
}

bool closedByPeer(int fd, int timeoutMs)
{
    struct pollfd p = {fd, POLLIN, 0};
    int ready;
    do {
        ready = poll(&p, 1, timeoutMs);
    } while (ready < 0 && errno == EINTR);
    if (ready <= 0) {
        return false;
    }
    char byte;
    const ssize_t n = recv(fd, &byte, 1, MSG_DONTWAIT);
    return n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR);
}

long cpuTicks(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/stat");
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // The command name in parentheses may hold spaces; the fields after it
    // start with the state (field 3); utime and stime are fields 14 and 15.
    const size_t close = text.rfind(')');
    if (close == std::string::npos) {
        return -1;
    }
    std::istringstream fields(text.substr(close + 1));
    std::string field;
    long utime = -1;
    long stime = -1;
    for (int number = 3; number <= 15 && (fields >> field); ++number) {
        if (number == 14) {
            utime = strtol(field.c_str(), nullptr, 10);
        } else if (number == 15) {
            stime = strtol(field.c_str(), nullptr, 10);
        }
    }
    return utime < 0 || stime < 0 ? -1 : utime + stime;
}

int openDescriptors(pid_t pid)
{
    DIR *dir = opendir(("/proc/" + std::to_string(pid) + "/fd").c_str());
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (struct dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(dir);
    return count;
}

long tcpReceiveQueues(uint16_t port, const char *state)
{
    // "tx_queue:rx_queue": for a listening socket (state 0A) the rx half is
    // the connections waiting to be accepted; for an established one (01),
    // the bytes that arrived and were not read yet.
    std::ifstream in("/proc/net/tcp");
    std::string line;
    std::getline(in, line);
    long total = -1;
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local, remote, socketState, queues;
        fields >> slot >> local >> remote >> socketState >> queues;
        const size_t colon = local.find(':');
        const size_t queueColon = queues.find(':');
        if (colon != std::string::npos && queueColon != std::string::npos && socketState == state &&
            strtoul(local.c_str() + colon + 1, nullptr, 16) == port) {
            total = (total < 0 ? 0 : total) + strtol(queues.c_str() + queueColon + 1, nullptr, 16);
        }
    }
    return total;
}

int acceptQueueLength(uint16_t port)
{
    return static_cast<int>(tcpReceiveQueues(port, "0A"));
}

} // namespace fault
