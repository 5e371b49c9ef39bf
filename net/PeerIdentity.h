#pragma once
// Who is at the other end of a connection, taken once at accept, for rules
// that say who may do what:
// - a Unix-socket peer: the kernel's credentials (SO_PEERCRED) and groups
//   (SO_PEERGROUPS) of the process that connected;
// - a TCP peer on this host: the user that created its socket, as
//   /proc/net/tcp lists it, with that user's groups from the user database;
//   when that cannot be found it counts as remote;
// - any other TCP peer: remote, no user;
// - a datagram sender: no identity at all.

#include <sys/types.h>

#include <string>
#include <vector>

struct PeerIdentity {
    enum Kind { kUnixSocket, kLoopbackTcp, kRemoteTcp, kDatagram };

    Kind kind = kRemoteTcp;
    bool known = false; // uid, gid and groups are the peer's
    uid_t uid = static_cast<uid_t>(-1);
    gid_t gid = static_cast<gid_t>(-1);
    std::vector<gid_t> groups; // supplementary, the primary one included
    pid_t pid = -1;            // of a Unix-socket peer, as of connect
    std::string user;          // uid's name; empty when it has none

    // tcpOwner: look the owner of a TCP peer on this host up (a read of
    // /proc/net/tcp); without it such a peer counts as remote.
    static PeerIdentity ofConnection(int fd, bool tcpOwner);
    static PeerIdentity ofDatagram();
    // Whether gid is the peer's primary or one of its groups.
    bool inGroup(gid_t group) const;
    // "unix", "tcp" (this host), "remote" or "datagram".
    const char *kindName() const;
};
