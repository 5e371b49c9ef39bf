#include "app/PellixPara.h"

#include <arpa/inet.h>

#include <cstdint>
#include <cstdio>
#include <exception>
#include <fstream>
#include <iterator>
#include <sstream>

#include <json/json.h>

#include "hub/CMonitor.h"

namespace {

// The library's conversions throw on a string or an out-of-range number for
// the port and on an array or object for either key; a bad key falls back to
// its default instead of stopping the daemon.
template <typename T, typename Convert>
T convertMember(const Json::Value &root, const char *key, const T &fallback, Convert convert)
{
    const Json::Value &member = root[key];
    if (member.isNull() && !root.isMember(key)) {
        return fallback;
    }
    try {
        return convert(member);
    } catch (const Json::Exception &) {
        fprintf(stderr, "pellixPara: cannot convert \"%s\", using its default\n", key);
        return fallback;
    }
}

void unusable(const char *key)
{
    fprintf(stderr, "pellixPara: cannot use \"%s\", using its default\n", key);
}

// One optional key: `accept` takes the member and fills the setting, false
// when the value cannot be used. Absent, the setting stays as it is.
template <typename Accept>
void optionalMember(const Json::Value &root, const char *key, Accept accept)
{
    if (!root.isMember(key)) {
        return;
    }
    bool used = false;
    try {
        used = accept(root[key]);
    } catch (const Json::Exception &) {
        used = false;
    }
    if (!used) {
        unusable(key);
    }
}

// A whole number in [0, most], neither a string nor a fraction.
bool wholeNumber(const Json::Value &v, uint64_t most, uint64_t &out)
{
    if (!v.isIntegral() || (v.isInt64() && v.asInt64() < 0) || v.asUInt64() > most) {
        return false;
    }
    out = v.asUInt64();
    return true;
}

void readSettings(const Json::Value &root, HubSettings &settings)
{
    settings = HubSettings();
    optionalMember(root, "tcpBindAddress", [&](const Json::Value &v) {
        struct in_addr addr;
        if (!v.isString() || inet_pton(AF_INET, v.asCString(), &addr) != 1) {
            return false;
        }
        settings.bindAddress = addr.s_addr;
        return true;
    });
    optionalMember(root, "servePauseUs", [&](const Json::Value &v) {
        uint64_t us = 0;
        if (!wholeNumber(v, 1000000, us)) {
            return false;
        }
        settings.servePauseUs = static_cast<long>(us);
        return true;
    });
    optionalMember(root, "sendQueueBytes", [&](const Json::Value &v) {
        uint64_t bytes = 0;
        if (!wholeNumber(v, 1u << 30, bytes)) {
            return false;
        }
        settings.sendQueueBytes = static_cast<size_t>(bytes);
        return true;
    });
    optionalMember(root, "strictModules", [&](const Json::Value &v) {
        if (!v.isBool()) {
            return false;
        }
        settings.strictModules = v.asBool();
        return true;
    });
    optionalMember(root, "hubCommandsFrom", [&](const Json::Value &v) {
        const std::string from = v.isString() ? v.asString() : std::string();
        if (from != "any" && from != "local") {
            return false;
        }
        settings.localHubCommands = from == "local";
        return true;
    });
    optionalMember(root, "killPolicy", [&](const Json::Value &v) {
        const std::string policy = v.isString() ? v.asString() : std::string();
        if (policy == "name") {
            settings.killPolicy = HubSettings::KILL_BY_NAME;
        } else if (policy == "peer") {
            settings.killPolicy = HubSettings::KILL_PEER;
        } else if (policy == "none") {
            settings.killPolicy = HubSettings::KILL_NONE;
        } else {
            return false;
        }
        return true;
    });
    optionalMember(root, "eventLoop", [&](const Json::Value &v) {
        const std::string loop = v.isString() ? v.asString() : std::string();
        if (loop == "select") {
            settings.eventLoop = HubSettings::LOOP_SELECT;
        } else if (loop == "epoll") {
            settings.eventLoop = HubSettings::LOOP_EPOLL;
        } else {
            return false;
        }
        return true;
    });
    optionalMember(root, "maxMonitors", [&](const Json::Value &v) {
        uint64_t most = 0;
        if (!wholeNumber(v, CMonitor::kMostMonitors, most)) {
            return false;
        }
        settings.maxMonitors = static_cast<size_t>(most);
        return true;
    });
    optionalMember(root, "accessFile", [&](const Json::Value &v) {
        const std::string path = v.isString() ? v.asString() : std::string();
        if (path.empty() || path[0] != '/' || path.find('\0') != std::string::npos || path.size() > 4096) {
            return false;
        }
        settings.accessFile = path;
        return true;
    });
    optionalMember(root, "recordUnsubscriptions", [&](const Json::Value &v) {
        if (!v.isBool()) {
            return false;
        }
        settings.recordUnsubscriptions = v.asBool();
        return true;
    });
}

} // namespace

int readParaFile(PellixPara &para, const std::string &path)
{
    std::string text;
    try {
        std::ifstream in(path.c_str(), std::ios::in | std::ios::binary);
        text.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    } catch (const std::exception &) {
        // A read error (a directory in place of the file, an I/O error)
        // throws out of the stream buffer; such a file reads as empty.
        text.clear();
    }

    // The old reader takes comments, which the file may hold; it throws when
    // the nesting passes its limit, and such a file is one it cannot parse.
    Json::Reader reader;
    Json::Value root;
    try {
        if (!reader.parse(text, root, true)) {
            return 2;
        }
    } catch (const std::exception &) {
        return 2;
    }
    if (!root.isObject()) {
        return 1;
    }
    para.tcpListenPort = convertMember(root, "tcpListenPort", PellixPaths::kTcpListenPort,
                                       [](const Json::Value &v) { return v.asInt(); });
    para.unixSocketPath = convertMember(root, "unixSocketPath", PellixPaths::unixSocketPath(),
                                        [](const Json::Value &v) { return v.asString(); });
    readSettings(root, para.settings);
    return 0;
}

int writeParaFile(const PellixPara &para, const std::string &path)
{
    Json::Value root(Json::objectValue);
    root["tcpListenPort"] = para.tcpListenPort;
    root["unixSocketPath"] = para.unixSocketPath;
    Json::StyledWriter writer;
    const std::string text = writer.write(root);
    try {
        std::ofstream out;
        out.exceptions(std::ios::badbit);
        out.open(path.c_str(), std::ios::out | std::ios::trunc | std::ios::binary);
        if (out.is_open()) {
            out << text;
            out.close();
        }
    } catch (const std::exception &) {
        return 1;
    }
    return 0;
}
