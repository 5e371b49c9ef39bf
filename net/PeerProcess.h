#pragma once
// Which process holds the other end of a connected socket on this host.
//
// For a Unix-domain socket the kernel says so (SO_PEERCRED). For a TCP
// connection from loopback the peer's socket is looked up in /proc/net/tcp
// by its two addresses, and its inode among the open descriptors of the
// processes this one may inspect. Lookups read /proc and are bounded; they
// are meant for rare decisions, not for every frame.

#include <sys/types.h>

#include <cstdint>

class PeerProcess {
public:
    // The peer's process id, or -1 when unknown, not on this host, or held
    // by more than one process.
    static pid_t peerPid(int fd);
    // Process and user id of a Unix-domain socket's peer as of connect;
    // false for other sockets or when the kernel does not tell.
    static bool peerCredentials(int fd, pid_t &pid, uid_t &uid);

private:
    static pid_t tcpPeerPid(int fd);
    // The inode of the socket in /proc/net/tcp whose local end is
    // peerAddr:peerPort and whose remote end is ours; 0 when not listed.
    static unsigned long socketInode(uint32_t peerAddr, unsigned peerPort, uint32_t localAddr, unsigned localPort);
    static pid_t inodeOwner(unsigned long inode);
    // True when process pid holds a descriptor whose link reads target;
    // each link read costs one of budget.
    static bool processHolds(int procFd, const char *pid, const char *target, long &budget);
};
