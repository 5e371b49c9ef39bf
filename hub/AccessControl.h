#pragma once
// The access rules in force (accessFile) and what they grant each identity.
// Without a file nothing is looked up and every check passes, as before.
// A file that cannot be trusted or read stands for rules that let only
// root over the Unix socket in: a broken policy never opens the hub.
//
// Grants are computed once per identity and shared by its connections; a
// reload computes them again. Connections are counted per uid for the
// connectionsPerUid limit.

#include <sys/types.h>

#include <map>
#include <memory>
#include <string>

#include "hub/AccessGrant.h"
#include "hub/AccessRules.h"
#include "net/PeerIdentity.h"

class AccessControl {
public:
    // The kinds of refusal, each traced once per episode.
    enum Right { kRegister, kSend, kPublish, kSubscribe, kInspect, kCommands, kRights };

    bool enabled() const { return !path.empty(); }
    // Reads the rules from file (at start, and when told to read them
    // again); an empty file name switches the rules off.
    void load(const std::string &file);
    // Reads the same file again.
    void reload() { load(path); }

    std::shared_ptr<const AccessGrant> grantFor(const PeerIdentity &who);
    const AccessGrant &datagramGrant();
    const AccessRules::Limits &limits() const { return rules.limits(); }

    // The connections of a uid: false when one more would pass the limit.
    bool admitConnection(const PeerIdentity &who);
    void releaseConnection(const PeerIdentity &who);

    const std::string &file() const { return path; }
    bool trusted() const { return trustedFile; }
    size_t ruleCount() const { return rules.size(); }

private:
    static std::string keyOf(const PeerIdentity &who);

    std::string path;
    AccessRules rules;
    bool trustedFile = false;
    std::map<std::string, std::shared_ptr<const AccessGrant>> grants;
    std::shared_ptr<const AccessGrant> datagrams;
    std::map<uid_t, size_t> connectionsOf;
};
