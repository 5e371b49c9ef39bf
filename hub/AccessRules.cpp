#include "hub/AccessRules.h"

#include <fcntl.h>
#include <grp.h>
#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>

#include <json/json.h>

namespace {

// A rules file is a handful of levels deep; one far deeper is no rules file.
const int kMostDepth = 8;
const off_t kMostFileBytes = 1 << 20;

bool number(const std::string &text, long most, long &out)
{
    if (text.empty() || text.size() > 12) {
        return false;
    }
    const bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    const char *digits = text.c_str() + (hex ? 2 : 0);
    if (*digits == '\0' || *digits == '-' || *digits == '+' || *digits == ' ') {
        return false;
    }
    char *end = nullptr;
    errno = 0;
    const long value = strtol(digits, &end, hex ? 16 : 10);
    if (errno != 0 || *end != '\0' || value < 0 || value > most) {
        return false;
    }
    out = value;
    return true;
}

// A list of numbers and "from-to" ranges, each within [0, most].
bool ranges(const Json::Value &list, long most, std::vector<std::pair<int, int>> &out, std::string &why)
{
    if (!list.isArray()) {
        why = "is not a list";
        return false;
    }
    for (const Json::Value &item : list) {
        long from = -1;
        long to = -1;
        if (item.isIntegral() && item.isInt64() && item.asInt64() >= 0 && item.asInt64() <= most) {
            from = to = static_cast<long>(item.asInt64());
        } else if (item.isString()) {
            const std::string text = item.asString();
            const size_t dash = text.find('-');
            const bool ok = dash == std::string::npos
                                ? number(text, most, from) && (to = from) >= 0
                                : number(text.substr(0, dash), most, from) && number(text.substr(dash + 1), most, to);
            if (!ok || to < from) {
                from = to = -1;
            }
        }
        if (from < 0) {
            why = "holds something other than a number or range of 0 to " + std::to_string(most);
            return false;
        }
        out.emplace_back(static_cast<int>(from), static_cast<int>(to));
    }
    return true;
}

template <size_t N>
void setRanges(std::bitset<N> &bits, const std::vector<std::pair<int, int>> &list)
{
    for (const std::pair<int, int> &range : list) {
        for (int value = range.first; value <= range.second; ++value) {
            bits.set(static_cast<size_t>(value));
        }
    }
}

bool lookUpUser(const std::string &name, unsigned &uid)
{
    struct passwd entry;
    struct passwd *found = nullptr;
    char buffer[4096];
    if (getpwnam_r(name.c_str(), &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) {
        return false;
    }
    uid = found->pw_uid;
    return true;
}

bool lookUpGroup(const std::string &name, unsigned &gid)
{
    struct group entry;
    struct group *found = nullptr;
    char buffer[16384];
    if (getgrnam_r(name.c_str(), &entry, buffer, sizeof buffer, &found) != 0 || found == nullptr) {
        return false;
    }
    gid = found->gr_gid;
    return true;
}

} // namespace

AccessRules::AccessRules()
{
    // Root over the Unix socket: the one peer a broken file never shuts out.
    Rule root;
    root.subject = Rule::UnixRoot;
    root.all = true;
    rules.push_back(root);
}

bool AccessRules::parse(const std::string &text, std::string &why)
{
    Json::CharReaderBuilder builder;
    Json::CharReaderBuilder::strictMode(&builder.settings_);
    builder["allowComments"] = true;
    builder["stackLimit"] = kMostDepth;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    Json::Value root;
    std::string errors;
    bool parsed = false;
    try {
        parsed = reader->parse(text.data(), text.data() + text.size(), &root, &errors);
    } catch (const std::exception &) {
        errors = "nested deeper than a rules file is";
    }
    if (!parsed || !root.isObject()) {
        why = parsed ? "not a JSON object" : "not valid JSON: " + errors.substr(0, errors.find('\n'));
        return false;
    }
    for (const std::string &key : root.getMemberNames()) {
        if (key != "rules" && key != "limits") {
            why = "unknown key \"" + key.substr(0, 40) + "\"";
            return false;
        }
    }
    std::vector<Rule> read;
    std::vector<std::string> names;
    const Json::Value &list = root["rules"];
    if (!list.isArray()) {
        why = "\"rules\" is not a list";
        return false;
    }
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        const Json::Value &item = list[i];
        const std::string where = "rule " + std::to_string(i + 1);
        if (!item.isObject()) {
            why = where + " is not an object";
            return false;
        }
        Rule rule;
        int subjects = 0;
        for (const std::string &key : item.getMemberNames()) {
            const Json::Value &value = item[key];
            std::string problem;
            if (key == "uid" || key == "gid") {
                ++subjects;
                if (!value.isIntegral() || !value.isUInt()) {
                    problem = "is not a number";
                }
                rule.subject = key == "uid" ? Rule::Uid : Rule::Gid;
                rule.id = problem.empty() ? value.asUInt() : 0;
            } else if (key == "user" || key == "group") {
                ++subjects;
                if (!value.isString()) {
                    problem = "is not a name";
                } else if (key == "user" ? lookUpUser(value.asString(), rule.id) : lookUpGroup(value.asString(), rule.id)) {
                    rule.subject = key == "user" ? Rule::Uid : Rule::Gid;
                } else {
                    names.push_back(key + " " + value.asString().substr(0, 40));
                }
            } else if (key == "remote" || key == "datagram") {
                ++subjects;
                if (!value.isBool() || !value.asBool()) {
                    problem = "is not true";
                }
                rule.subject = key == "remote" ? Rule::Remote : Rule::Datagram;
            } else if (key == "allow") {
                if (!value.isString() || value.asString() != "all") {
                    problem = "is not \"all\"";
                }
                rule.all = true;
            } else if (key == "register" || key == "send") {
                ranges(value, 255, key == "register" ? rule.registerIds : rule.sendTo, problem);
            } else if (key == "publish" || key == "subscribe") {
                ranges(value, 65535, key == "publish" ? rule.publish : rule.subscribe, problem);
            } else if (key == "inspect" || key == "commands") {
                if (!value.isBool()) {
                    problem = "is not true or false";
                }
                (key == "inspect" ? rule.inspect : rule.commands) = value.isBool() && value.asBool();
            } else {
                problem = "is not a key of a rule";
            }
            if (!problem.empty()) {
                why = where + ": \"" + key.substr(0, 40) + "\" " + problem;
                return false;
            }
        }
        if (subjects != 1) {
            why = where + " names " + (subjects == 0 ? "no subject" : "more than one subject") +
                  " (uid, user, gid, group, remote or datagram)";
            return false;
        }
        read.push_back(rule);
    }
    Limits limits;
    const Json::Value &given = root["limits"];
    if (!given.isNull()) {
        if (!given.isObject()) {
            why = "\"limits\" is not an object";
            return false;
        }
        for (const std::string &key : given.getMemberNames()) {
            const Json::Value &value = given[key];
            size_t *slot = key == "connectionsPerUid"     ? &limits.connectionsPerUid
                           : key == "subscriptionsPerUid" ? &limits.subscriptionsPerUid
                           : key == "queuedBytesPerUid"   ? &limits.queuedBytesPerUid
                                                          : nullptr;
            if (slot == nullptr || !value.isIntegral() || !value.isUInt64() || value.asUInt64() > (1ull << 40)) {
                why = "limit \"" + key.substr(0, 40) + "\" is not a known limit with a whole number";
                return false;
            }
            *slot = static_cast<size_t>(value.asUInt64());
        }
    }
    rules.swap(read);
    bounds = limits;
    unknown.swap(names);
    return true;
}

bool AccessRules::load(const std::string &path, std::string &why)
{
    const int fd = open(path.c_str(), O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) {
        const int err = errno;
        why = std::string("cannot be opened: ") + (err == ELOOP ? "it is a link" : strerror(err));
        return false;
    }
    struct stat st;
    std::string text;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "is not a regular file";
    } else if (st.st_uid != 0 && st.st_uid != geteuid()) {
        why = "is owned by uid " + std::to_string(st.st_uid) + ", not by root or the hub's user";
    } else if ((st.st_mode & (S_IWGRP | S_IWOTH)) != 0) {
        why = "is writable by others than its owner";
    } else if (st.st_size > kMostFileBytes) {
        why = "is larger than a rules file is";
    } else {
        text.resize(static_cast<size_t>(st.st_size));
        size_t got = 0;
        while (got < text.size()) {
            const ssize_t n = read(fd, &text[got], text.size() - got);
            if (n <= 0) {
                break;
            }
            got += static_cast<size_t>(n);
        }
        if (got != text.size()) {
            why = "could not be read whole";
        }
    }
    close(fd);
    return why.empty() && parse(text, why);
}

bool AccessRules::matches(const Rule &rule, const PeerIdentity &who) const
{
    switch (rule.subject) {
    case Rule::Uid:
        return who.known && who.uid == rule.id;
    case Rule::Gid:
        return who.inGroup(static_cast<gid_t>(rule.id));
    case Rule::Remote:
        return who.kind == PeerIdentity::kRemoteTcp;
    case Rule::Datagram:
        return who.kind == PeerIdentity::kDatagram;
    case Rule::UnixRoot:
        return who.kind == PeerIdentity::kUnixSocket && who.known && who.uid == 0;
    default:
        return false;
    }
}

void AccessRules::grant(const PeerIdentity &who, AccessGrant &out) const
{
    out = AccessGrant();
    for (const Rule &rule : rules) {
        if (!matches(rule, who)) {
            continue;
        }
        if (rule.all) {
            out.allowAll();
            return;
        }
        setRanges(out.registerIds, rule.registerIds);
        setRanges(out.sendTo, rule.sendTo);
        setRanges(out.publish, rule.publish);
        setRanges(out.subscribe, rule.subscribe);
        out.inspect = out.inspect || rule.inspect;
        out.commands = out.commands || rule.commands;
    }
}
