#include "hub/AccessControl.h"

#include "hub/HubLog.h"

void AccessControl::load(const std::string &file)
{
    path = file;
    grants.clear();
    datagrams.reset();
    if (path.empty()) {
        return;
    }
    AccessRules read;
    std::string why;
    trustedFile = read.load(path, why);
    if (!trustedFile) {
        HubLog::log(spdlog::level::err, "access file {} refused ({}): only root over the Unix socket is let in",
                    path, why);
        rules = AccessRules();
        return;
    }
    rules = read;
    HubLog::log(spdlog::level::warn, "access file {} read: {} rules", path, rules.size());
    for (const std::string &name : rules.unknownNames()) {
        HubLog::log(spdlog::level::warn, "access file {}: no {} here, its rule matches nobody", path, name);
    }
}

std::string AccessControl::keyOf(const PeerIdentity &who)
{
    std::string key = std::to_string(who.kind) + (who.known ? "+" : "-") + std::to_string(who.uid) + ":" +
                      std::to_string(who.gid);
    for (gid_t group : who.groups) {
        key += "," + std::to_string(group);
    }
    return key;
}

std::shared_ptr<const AccessGrant> AccessControl::grantFor(const PeerIdentity &who)
{
    std::shared_ptr<const AccessGrant> &slot = grants[keyOf(who)];
    if (!slot) {
        std::shared_ptr<AccessGrant> granted(new AccessGrant());
        rules.grant(who, *granted);
        slot = granted;
    }
    return slot;
}

const AccessGrant &AccessControl::datagramGrant()
{
    if (!datagrams) {
        datagrams = grantFor(PeerIdentity::ofDatagram());
    }
    return *datagrams;
}

bool AccessControl::admitConnection(const PeerIdentity &who)
{
    if (!who.known) {
        return true;
    }
    size_t &count = connectionsOf[who.uid];
    const size_t most = rules.limits().connectionsPerUid;
    if (most > 0 && count >= most) {
        return false;
    }
    ++count;
    return true;
}

void AccessControl::releaseConnection(const PeerIdentity &who)
{
    std::map<uid_t, size_t>::iterator it = who.known ? connectionsOf.find(who.uid) : connectionsOf.end();
    if (it != connectionsOf.end() && --it->second == 0) {
        connectionsOf.erase(it);
    }
}
