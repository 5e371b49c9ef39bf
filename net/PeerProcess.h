#pragma once
// Which process holds the other end of a connected socket on this host.
//
// The peer's socket is found by its inode: for a Unix-domain socket the
// kernel names it (sock_diag), for a TCP connection from loopback it is
// looked up in /proc/net/tcp by its two addresses. The process is the one
// that holds that inode among its open descriptors now, not the one that
// connected (SO_PEERCRED's pid is frozen at connect: that process may have
// handed the socket on and exited, and its pid gone to a bystander). Lookups
// read /proc and are bounded; they are meant for rare decisions, not for
// every frame.

#include <sys/types.h>

#include <cstdint>

class PeerProcess {
public:
    // The peer's process id, or -1 when unknown, not on this host, or held
    // by more than one process.
    static pid_t peerPid(int fd);
    // The same, pinned for a signal: pidfd (-1 where the kernel has none)
    // refers to that very process, checked to hold the peer socket after it
    // was opened, so that a pid reused meanwhile is never signalled. why
    // says what was missing when the result is -1.
    static pid_t pinPeer(int fd, int &pidfd, const char *&why);
    // The user that created the peer socket of a TCP connection from this
    // host, as /proc/net/tcp lists it; false for other peers.
    static bool tcpPeerUid(int fd, uid_t &uid);
    // Sends sig through pidfd when there is one, else by pid.
    static int signal(pid_t pid, int pidfd, int sig);
    // Process and user id of a Unix-domain socket's peer as of connect;
    // false for other sockets or when the kernel does not tell.
    static bool peerCredentials(int fd, pid_t &pid, uid_t &uid);

private:
    // The inode of the peer's socket; 0 when unknown or not on this host.
    static unsigned long peerInode(int fd);
    static unsigned long unixPeerInode(int fd);
    static unsigned long tcpPeerInode(int fd);
    static unsigned long tcpPeerSocket(int fd, uid_t &uid);
    // The inode of the socket in /proc/net/tcp whose local end is
    // peerAddr:peerPort and whose remote end is ours; 0 when not listed.
    static unsigned long socketInode(uint32_t peerAddr, unsigned peerPort, uint32_t localAddr, unsigned localPort,
                                     uid_t &uid);
    static pid_t inodeOwner(unsigned long inode);
    // True when process pid holds a descriptor whose link reads target;
    // each link read costs one of budget.
    static bool processHolds(int procFd, const char *pid, const char *target, long &budget);
    static bool holds(pid_t pid, unsigned long inode);
};
