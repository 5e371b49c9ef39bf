#pragma once
// The rules of an access file: who may do what. A file of this shape
//
//   { "rules": [ { "uid": 0, "allow": "all" },
//                { "user": "sensors", "register": ["0x10-0x1f"], "send": ["0x20"],
//                  "publish": ["100-199"], "subscribe": ["0", "100-299"],
//                  "inspect": false, "commands": false },
//                { "group": "ops", "inspect": true },
//                { "remote": true, "subscribe": ["100-199"] },
//                { "datagram": true, "publish": ["150"] } ],
//     "limits": { "connectionsPerUid": 64, "subscriptionsPerUid": 1024,
//                 "queuedBytesPerUid": 8388608 } }
//
// Each rule names one subject (uid, user, gid, group, remote, datagram) and
// grants rights; a peer gets what every rule that matches it grants, and
// nothing else. Ids and events are numbers or "from-to" ranges, decimal or
// 0x hex. The file is read strictly: an unknown key, a value of the wrong
// kind, a range out of bounds or nesting deeper than a rules file has, and
// the whole file is refused. A user or group that does not exist matches
// nobody.

#include <sys/types.h>

#include <cstddef>
#include <string>
#include <utility>
#include <vector>

#include "hub/AccessGrant.h"
#include "net/PeerIdentity.h"

class AccessRules {
public:
    // 0: no limit.
    struct Limits {
        size_t connectionsPerUid = 0;
        size_t subscriptionsPerUid = 0;
        size_t queuedBytesPerUid = 0;
    };

    // The rules that stand when a file is refused: everything for root over
    // the Unix socket, nothing for anyone else.
    AccessRules();

    // Takes the rules from text; false (the rules as they were) with why.
    bool parse(const std::string &text, std::string &why);
    // The same from a file that must be a regular file, not a link, owned by
    // root or this process's user and writable by nobody else.
    bool load(const std::string &path, std::string &why);

    // What who may do under these rules.
    void grant(const PeerIdentity &who, AccessGrant &out) const;
    const Limits &limits() const { return bounds; }
    size_t size() const { return rules.size(); }
    // Names that matched nobody when the rules were read, for the log.
    const std::vector<std::string> &unknownNames() const { return unknown; }

private:
    typedef std::vector<std::pair<int, int>> Ranges;
    struct Rule {
        enum Subject { Uid, Gid, Remote, Datagram, UnixRoot, Nobody } subject = Nobody;
        unsigned id = 0; // uid or gid
        bool all = false;
        Ranges registerIds, sendTo, publish, subscribe;
        bool inspect = false;
        bool commands = false;
    };

    bool matches(const Rule &rule, const PeerIdentity &who) const;

    std::vector<Rule> rules;
    Limits bounds;
    std::vector<std::string> unknown;
};
