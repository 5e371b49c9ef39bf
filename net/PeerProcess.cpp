#include "net/PeerProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/rtnetlink.h>
#include <linux/sock_diag.h>
#include <linux/unix_diag.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/syscall.h>
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

unsigned long PeerProcess::peerInode(int fd)
{
    const int family = socketFamily(fd);
    if (family == AF_UNIX) {
        return unixPeerInode(fd);
    }
    int type = 0;
    socklen_t len = sizeof type;
    if (family != AF_INET || getsockopt(fd, SOL_SOCKET, SO_TYPE, &type, &len) != 0 || type != SOCK_STREAM) {
        return 0;
    }
    return tcpPeerInode(fd);
}

pid_t PeerProcess::peerPid(int fd)
{
    const unsigned long inode = peerInode(fd);
    return inode == 0 ? -1 : inodeOwner(inode);
}

pid_t PeerProcess::pinPeer(int fd, int &pidfd, const char *&why)
{
    pidfd = -1;
    const unsigned long inode = peerInode(fd);
    if (inode == 0) {
        why = "its peer socket cannot be found";
        return -1;
    }
    const pid_t owner = inodeOwner(inode);
    if (owner <= 0) {
        why = "no single process that can be seen holds its peer socket";
        return -1;
    }
    pidfd = static_cast<int>(syscall(SYS_pidfd_open, owner, 0));
    // Asked again with the process pinned: the one found may have gone and
    // its pid been reused before the pidfd was taken.
    if (!holds(owner, inode)) {
        if (pidfd >= 0) {
            close(pidfd);
            pidfd = -1;
        }
        why = "its holder went away";
        return -1;
    }
    return owner;
}

int PeerProcess::signal(pid_t pid, int pidfd, int sig)
{
    if (pidfd >= 0) {
        return static_cast<int>(syscall(SYS_pidfd_send_signal, pidfd, sig, nullptr, 0));
    }
    return ::kill(pid, sig);
}

bool PeerProcess::holds(pid_t pid, unsigned long inode)
{
    char target[48];
    snprintf(target, sizeof target, "socket:[%lu]", inode);
    char name[24];
    snprintf(name, sizeof name, "%d", static_cast<int>(pid));
    const int proc = open("/proc", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (proc < 0) {
        return false;
    }
    long budget = kMaxLinks;
    const bool found = processHolds(proc, name, target, budget);
    close(proc);
    return found;
}

unsigned long PeerProcess::unixPeerInode(int fd)
{
    struct stat own;
    if (fstat(fd, &own) != 0) {
        return 0;
    }
    const int link = socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC, NETLINK_SOCK_DIAG);
    if (link < 0) {
        return 0;
    }
    struct {
        struct nlmsghdr header;
        struct unix_diag_req request;
    } query;
    memset(&query, 0, sizeof query);
    query.header.nlmsg_len = sizeof query;
    query.header.nlmsg_type = SOCK_DIAG_BY_FAMILY;
    query.header.nlmsg_flags = NLM_F_REQUEST;
    query.request.sdiag_family = AF_UNIX;
    query.request.udiag_states = ~0u;
    query.request.udiag_ino = static_cast<unsigned>(own.st_ino);
    query.request.udiag_show = UDIAG_SHOW_PEER;
    query.request.udiag_cookie[0] = query.request.udiag_cookie[1] = ~0u;
    alignas(struct nlmsghdr) char answer[1024];
    ssize_t got = -1;
    if (send(link, &query, sizeof query, 0) == static_cast<ssize_t>(sizeof query)) {
        got = recv(link, answer, sizeof answer, 0);
    }
    close(link);
    unsigned long peer = 0;
    const struct nlmsghdr *header = reinterpret_cast<const struct nlmsghdr *>(answer);
    if (got < static_cast<ssize_t>(NLMSG_LENGTH(sizeof(struct unix_diag_msg))) ||
        !NLMSG_OK(header, static_cast<unsigned>(got)) || header->nlmsg_type != SOCK_DIAG_BY_FAMILY) {
        return 0;
    }
    const struct unix_diag_msg *message = static_cast<const struct unix_diag_msg *>(NLMSG_DATA(header));
    int left = static_cast<int>(header->nlmsg_len - NLMSG_LENGTH(sizeof *message));
    for (const struct rtattr *attr = reinterpret_cast<const struct rtattr *>(message + 1); RTA_OK(attr, left);
         attr = RTA_NEXT(attr, left)) {
        if (attr->rta_type == UNIX_DIAG_PEER && RTA_PAYLOAD(attr) >= sizeof(uint32_t)) {
            uint32_t inode = 0;
            memcpy(&inode, RTA_DATA(attr), sizeof inode);
            peer = inode;
        }
    }
    return message->udiag_ino == own.st_ino ? peer : 0;
}

unsigned long PeerProcess::tcpPeerInode(int fd)
{
    uid_t uid = 0;
    return tcpPeerSocket(fd, uid);
}

bool PeerProcess::tcpPeerUid(int fd, uid_t &uid)
{
    return tcpPeerSocket(fd, uid) != 0;
}

unsigned long PeerProcess::tcpPeerSocket(int fd, uid_t &uid)
{
    struct sockaddr_in local;
    struct sockaddr_in peer;
    socklen_t localLen = sizeof local;
    socklen_t peerLen = sizeof peer;
    if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&local), &localLen) != 0 ||
        getpeername(fd, reinterpret_cast<struct sockaddr *>(&peer), &peerLen) != 0 || peer.sin_family != AF_INET) {
        return 0;
    }
    // Only a peer on this host has its socket in our /proc/net/tcp.
    if (!sameHostAddress(peer.sin_addr.s_addr, local.sin_addr.s_addr)) {
        return 0;
    }
    return socketInode(peer.sin_addr.s_addr, ntohs(peer.sin_port), local.sin_addr.s_addr, ntohs(local.sin_port),
                       uid);
}

unsigned long PeerProcess::socketInode(uint32_t peerAddr, unsigned peerPort, uint32_t localAddr,
                                       unsigned localPort, uid_t &uid)
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
        unsigned long owner = 0;
        if (sscanf(line, " %*u: %lx:%x %lx:%x %*x %*x:%*x %*x:%*x %*x %lu %*u %lu", &fromAddr, &fromPort, &toAddr,
                   &toPort, &owner, &inode) == 6 &&
            fromAddr == peerAddr && fromPort == peerPort && toAddr == localAddr && toPort == localPort) {
            uid = static_cast<uid_t>(owner);
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
