#include "net/PeerProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cctype>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/SocketOptions.h"

namespace {

// Bounds on one lookup: lines of /proc/net/tcp, and descriptor links read
// over all processes.
const long kMaxTcpLines = 262144;
const long kMaxLinks = 1000000;

bool allDigits(const char *text)
{
    if (*text == '\0') {
        return false;
    }
    for (; *text != '\0'; ++text) {
        if (!isdigit(static_cast<unsigned char>(*text))) {
            return false;
        }
    }
    return true;
}

int socketFamily(int fd)
{
    struct sockaddr_storage local;
    socklen_t len = sizeof local;
    if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&local), &len) != 0) {
        return -1;
    }
    return local.ss_family;
}

} // namespace

bool PeerProcess::peerCredentials(int fd, pid_t &pid, uid_t &uid)
{
    if (socketFamily(fd) != AF_UNIX) {
        return false;
    }
    struct ucred cred;
    socklen_t len = sizeof cred;
    if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.pid <= 0) {
        return false;
    }
    pid = cred.pid;
    uid = cred.uid;
    return true;
}

pid_t PeerProcess::peerPid(int fd)
{
    const int family = socketFamily(fd);
    if (family == AF_UNIX) {
        pid_t pid = -1;
        uid_t uid = 0;
        return peerCredentials(fd, pid, uid) ? pid : -1;
    }
    int type = 0;
    socklen_t len = sizeof type;
    if (family != AF_INET || getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) {
        return -1;
    }
    return tcpPeerPid(fd);
}

pid_t PeerProcess::tcpPeerPid(int fd)
{
    struct sockaddr_in local;
    struct sockaddr_in peer;
    socklen_t localLen = sizeof local;
    socklen_t peerLen = sizeof peer;
    if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&local), &localLen) != 0 ||
        getpeername(fd, reinterpret_cast<struct sockaddr *>(&peer), &peerLen) != 0 || peer.sin_family != AF_INET) {
        return -1;
    }
    // Only a peer on this host has its socket in our /proc/net/tcp.
    if (!sameHostAddress(peer.sin_addr.s_addr, local.sin_addr.s_addr)) {
        return -1;
    }
    const unsigned long inode =
        socketInode(peer.sin_addr.s_addr, ntohs(peer.sin_port), local.sin_addr.s_addr, ntohs(local.sin_port));
    return inode == 0 ? -1 : inodeOwner(inode);
}

unsigned long PeerProcess::socketInode(uint32_t peerAddr, unsigned peerPort, uint32_t localAddr,
                                       unsigned localPort)
{
    FILE *table = fopen("/proc/net/tcp", "re");
    if (table == nullptr) {
        return 0;
    }
    // Addresses are listed as the hex of their in-memory (network order)
    // value, ports as plain hex numbers.
    char line[512];
    unsigned long found = 0;
    for (long n = 0; n < kMaxTcpLines && found == 0 && fgets(line, sizeof line, table) != nullptr; ++n) {
        unsigned long fromAddr = 0;
        unsigned long toAddr = 0;
        unsigned fromPort = 0;
        unsigned toPort = 0;
        unsigned long inode = 0;
        if (sscanf(line, " %*u: %lx:%x %lx:%x %*x %*x:%*x %*x:%*x %*x %*u %*u %lu", &fromAddr, &fromPort, &toAddr,
                   &toPort, &inode) == 5 &&
            fromAddr == peerAddr && fromPort == peerPort && toAddr == localAddr && toPort == localPort) {
            found = inode;
        }
    }
    fclose(table);
    return found;
}

pid_t PeerProcess::inodeOwner(unsigned long inode)
{
    char target[48];
    snprintf(target, sizeof target, "socket:[%lu]", inode);
    DIR *proc = opendir("/proc");
    if (proc == nullptr) {
        return -1;
    }
    long budget = kMaxLinks;
    pid_t owner = -1;
    const struct dirent *entry;
    while (budget > 0 && (entry = readdir(proc)) != nullptr) {
        if (!allDigits(entry->d_name) || !processHolds(dirfd(proc), entry->d_name, target, budget)) {
            continue;
        }
        if (owner >= 0) {
            // Shared, say after a fork: no single process to name.
            owner = -1;
            break;
        }
        owner = static_cast<pid_t>(atol(entry->d_name));
    }
    closedir(proc);
    return budget > 0 ? owner : -1;
}

bool PeerProcess::processHolds(int procFd, const char *pid, const char *target, long &budget)
{
    char path[64];
    snprintf(path, sizeof path, "%s/fd", pid);
    // Processes of other users, and those gone meanwhile, cannot be opened.
    const int fdDir = openat(procFd, path, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
    if (fdDir < 0) {
        return false;
    }
    DIR *fds = fdopendir(fdDir);
    if (fds == nullptr) {
        close(fdDir);
        return false;
    }
    const size_t targetLen = strlen(target);
    bool holds = false;
    const struct dirent *entry;
    while (!holds && budget > 0 && (entry = readdir(fds)) != nullptr) {
        if (entry->d_name[0] == '.') {
            continue;
        }
        --budget;
        // The link's own text, never what it points to.
        char link[64];
        const ssize_t n = readlinkat(dirfd(fds), entry->d_name, link, sizeof link);
        holds = n == static_cast<ssize_t>(targetLen) && memcmp(link, target, targetLen) == 0;
    }
    closedir(fds);
    return holds;
}
