#include "net/PeerIdentity.h"

#include <grp.h>
#include <netinet/in.h>
#include <pwd.h>
#include <sys/socket.h>

#include <algorithm>
#include <cerrno>

#include "net/PeerProcess.h"
#include "net/SocketOptions.h"

namespace {

// The most supplementary groups taken of a peer.
const int kMaxGroups = 1024;

std::string userName(uid_t uid)
{
    struct passwd entry;
    struct passwd *found = nullptr;
    char buffer[4096];
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) {
        return std::string();
    }
    return found->pw_name;
}

// A user's primary group and groups from the user database.
bool userGroups(uid_t uid, gid_t &gid, std::vector<gid_t> &groups)
{
    struct passwd entry;
    struct passwd *found = nullptr;
    char buffer[4096];
    if (getpwuid_r(uid, &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) {
        return false;
    }
    gid = found->pw_gid;
    int count = 64;
    groups.resize(static_cast<size_t>(count));
    if (getgrouplist(found->pw_name, gid, groups.data(), &count) < 0) {
        if (count <= 0 || count > kMaxGroups) {
            groups.assign(1, gid);
            return true;
        }
        groups.resize(static_cast<size_t>(count));
        getgrouplist(found->pw_name, gid, groups.data(), &count);
    }
    groups.resize(static_cast<size_t>(std::max(count, 0)));
    return true;
}

bool socketGroups(int fd, std::vector<gid_t> &groups)
{
    groups.resize(64);
    for (int tries = 0; tries < 2; ++tries) {
        socklen_t len = static_cast<socklen_t>(groups.size() * sizeof(gid_t));
        if (getsockopt(fd, SOL_SOCKET, SO_PEERGROUPS, groups.data(), &len) == 0) {
            groups.resize(len / sizeof(gid_t));
            return true;
        }
        // ERANGE: len says how much is needed.
        if (errno != ERANGE || len / sizeof(gid_t) > static_cast<size_t>(kMaxGroups)) {
            break;
        }
        groups.resize(len / sizeof(gid_t));
    }
    groups.clear();
    return false;
}

} // namespace

PeerIdentity PeerIdentity::ofDatagram()
{
    PeerIdentity who;
    who.kind = kDatagram;
    return who;
}

PeerIdentity PeerIdentity::ofConnection(int fd, bool tcpOwner)
{
    PeerIdentity who;
    struct ucred cred;
    socklen_t len = sizeof cred;
    struct sockaddr_storage local;
    socklen_t localLen = sizeof local;
    if (getsockname(fd, reinterpret_cast<struct sockaddr *>(&local), &localLen) == 0 && local.ss_family == AF_UNIX) {
        who.kind = kUnixSocket;
        if (getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) == 0) {
            who.known = true;
            who.pid = cred.pid;
            who.uid = cred.uid;
            who.gid = cred.gid;
            socketGroups(fd, who.groups);
        }
    } else if (tcpOwner && peerOnThisHost(fd)) {
        uid_t uid = 0;
        gid_t gid = 0;
        std::vector<gid_t> groups;
        if (PeerProcess::tcpPeerUid(fd, uid)) {
            who.kind = kLoopbackTcp;
            who.known = true;
            who.uid = uid;
            if (userGroups(uid, gid, groups)) {
                who.gid = gid;
                who.groups.swap(groups);
            }
        }
    }
    if (who.known) {
        who.user = userName(who.uid);
    }
    return who;
}

bool PeerIdentity::inGroup(gid_t group) const
{
    return known && (gid == group || std::find(groups.begin(), groups.end(), group) != groups.end());
}

const char *PeerIdentity::kindName() const
{
    static const char *const names[] = {"unix", "tcp", "remote", "datagram"};
    return names[kind];
}
