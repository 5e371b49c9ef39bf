#include "cli/StatusView.h"
#include "cli/StatusDocument.h"


#include <algorithm>
#include <cstdio>
#include <vector>

#include "cli/CliPrinter.h"

namespace cli {

namespace {

const Json::Value &field(const Json::Value &object, const char *key)
{
    return memberOf(object, key);
}

const Json::Value &field(const Json::Value &object, const char *key, const char *inner)
{
    return field(field(object, key), inner);
}

bool number(const Json::Value &value, double &out)
{
    if (!value.isNumeric() || value.isBool()) {
        return false;
    }
    out = value.asDouble();
    return true;
}

std::string count(const Json::Value &value)
{
    if (value.isUInt64()) {
        return std::to_string(value.asUInt64());
    }
    if (value.isInt64()) {
        return std::to_string(value.asInt64());
    }
    double v = 0;
    char text[32];
    return number(value, v) ? (snprintf(text, sizeof text, "%.0f", v), text) : "-";
}

std::string bytes(const Json::Value &value)
{
    double v = 0;
    if (!number(value, v)) {
        return "-";
    }
    static const char *const units[] = {"B", "KiB", "MiB", "GiB", "TiB"};
    int unit = 0;
    while (v >= 1024 && unit < 4) {
        v /= 1024;
        ++unit;
    }
    char text[32];
    snprintf(text, sizeof text, unit == 0 ? "%.0f %s" : "%.1f %s", v, units[unit]);
    return text;
}

std::string duration(const Json::Value &ms)
{
    double v = 0;
    if (!number(ms, v) || v < 0 || v > 1e15) {
        return "-";
    }
    char text[48];
    const long long s = static_cast<long long>(v / 1000);
    if (s < 60) {
        snprintf(text, sizeof text, "%.1fs", v / 1000);
    } else if (s < 3600) {
        snprintf(text, sizeof text, "%lldm%02llds", s / 60, s % 60);
    } else if (s < 86400) {
        snprintf(text, sizeof text, "%lldh%02lldm%02llds", s / 3600, s / 60 % 60, s % 60);
    } else {
        snprintf(text, sizeof text, "%lldd%02lldh%02lldm", s / 86400, s / 3600 % 24, s / 60 % 60);
    }
    return text;
}

// Strings as they may reach a terminal, cut to `most` characters.
std::string text(const Json::Value &value, size_t most = 40)
{
    if (value.isBool()) {
        return value.asBool() ? "yes" : "no";
    }
    if (!value.isString()) {
        return value.isNumeric() ? count(value) : "-";
    }
    std::string shown = printable(value.asString());
    return shown.size() > most ? shown.substr(0, most - 3) + "..." : shown;
}

// Who a connection's peer is: its user's name, else its uid (over TCP from
// elsewhere the hub cannot tell).
std::string userOf(const Json::Value &connection)
{
    const std::string user = text(field(connection, "user"), 16);
    return user != "-" && !user.empty() ? user : text(field(connection, "uid"));
}

std::string idList(const Json::Value &ids)
{
    if (!ids.isArray()) {
        return "-";
    }
    std::string list;
    char id[16];
    for (const Json::Value &v : ids) {
        double n = 0;
        const bool valid = number(v, n) && n >= 0 && n <= 0xFF;
        snprintf(id, sizeof id, valid ? "0x%02x" : "?", valid ? static_cast<int>(n) : 0);
        list += (list.empty() ? "" : " ") + std::string(id);
    }
    return list.empty() ? "-" : list;
}

// "12 / 1.5 KiB": frames and bytes one way.
std::string traffic(const Json::Value &counters, const char *frames, const char *byteCount)
{
    return count(field(counters, frames)) + " / " + bytes(field(counters, byteCount));
}

std::string dropped(const Json::Value &counters)
{
    const Json::Value &d = field(counters, "dropped");
    if (!d.isObject()) {
        return count(d);
    }
    double total = 0;
    for (const char *key : {"queueFull", "short", "refused"}) {
        double v = 0;
        total += number(field(d, key), v) ? v : 0;
    }
    return count(Json::Value(total));
}

// Columns as wide as their widest cell, two blanks apart.
std::string table(const std::vector<std::vector<std::string>> &rows)
{
    std::vector<size_t> width;
    for (const auto &row : rows) {
        width.resize(std::max(width.size(), row.size()), 0);
        for (size_t i = 0; i < row.size(); ++i) {
            width[i] = std::max(width[i], row[i].size());
        }
    }
    std::string out;
    for (const auto &row : rows) {
        std::string line;
        for (size_t i = 0; i < row.size(); ++i) {
            line += row[i];
            if (i + 1 < row.size()) {
                line += std::string(width[i] - row[i].size() + 2, ' ');
            }
        }
        out += line.substr(0, line.find_last_not_of(' ') + 1) + "\n";
    }
    return rows.size() > 1 ? out : out + "(none)\n";
}

// "key=value" pairs of a module's report, nested keys joined with dots.
void flatten(const Json::Value &value, const std::string &prefix, int depth, std::string &out)
{
    if (value.isObject() && depth < 4) {
        for (const std::string &key : value.getMemberNames()) {
            flatten(value[key], prefix.empty() ? printable(key) : prefix + "." + printable(key), depth + 1, out);
        }
        return;
    }
    out += (out.empty() ? "" : " ") + prefix + "=" + (value.isObject() || value.isArray() ? "..." : text(value));
}

} // namespace

std::string renderStatus(const Json::Value &doc)
{
    const Json::Value &settings = field(doc, "settings");
    const Json::Value &totals = field(doc, "totals");
    const Json::Value &datagrams = field(doc, "datagrams");
    const Json::Value &connections = field(doc, "connections");
    const Json::Value &events = field(doc, "events");
    std::string out;
    out += "pellix " + text(field(doc, "version")) + "  up " + duration(field(doc, "uptimeMs")) + "  connections " +
           (connections.isArray() ? std::to_string(connections.size()) : "-") + "  monitors " +
           count(field(doc, "monitors")) + "  subscription pairs " + count(field(doc, "subscriptionPairs")) + "\n";
    out += "settings: bind " + text(field(settings, "tcpBindAddress")) + "  pause " +
           count(field(settings, "servePauseUs")) + " us  send queue " +
           (count(field(settings, "sendQueueBytes")) == "0" ? "off" : bytes(field(settings, "sendQueueBytes"))) +
           "  strict " + text(field(settings, "strictModules")) + "  hub commands " +
           text(field(settings, "hubCommandsFrom")) + "  kill " + text(field(settings, "killPolicy")) + "\n";
    out += "totals: in " + traffic(totals, "framesIn", "bytesIn") + "  out " +
           traffic(totals, "framesOut", "bytesOut") + "  dropped " + dropped(totals) + " (queue full " +
           count(field(totals, "dropped", "queueFull")) + ", short " + count(field(totals, "dropped", "short")) +
           ", refused " + count(field(totals, "dropped", "refused")) + ")\n";
    const Json::Value &senders = field(datagrams, "senders");
    out += "datagrams: in " + traffic(datagrams, "framesIn", "bytesIn") + "  out " +
           traffic(datagrams, "framesOut", "bytesOut") + "  dropped " + dropped(datagrams) + "  senders " +
           (senders.isArray() ? std::to_string(senders.size()) : count(senders)) + "\n";
    out += "descriptors " + count(field(doc, "descriptors", "inUse")) + " of " +
           count(field(doc, "descriptors", "limit")) + "  memory " + bytes(field(doc, "memory", "residentBytes")) +
           " resident, " + bytes(field(doc, "memory", "privateBytes")) + " private\n";

    std::vector<std::vector<std::string>> rows = {
        {"FD", "TRANSPORT", "IDS", "NAME", "PEER", "USER", "IN (frames / bytes)", "OUT (frames / bytes)", "DROPPED", "REFUSED", "QUEUED",
         "IDLE", "MONITOR"}};
    for (const Json::Value &c : connections.isArray() ? connections : Json::Value(Json::arrayValue)) {
        const std::string name = text(field(c, "name"));
        rows.push_back({count(field(c, "fd")), text(field(c, "transport")), idList(field(c, "ids")),
                        name.empty() ? "-" : name, text(field(c, "peer")), userOf(c), traffic(c, "framesIn", "bytesIn"),
                        traffic(c, "framesOut", "bytesOut"), dropped(c),
                        count(field(field(c, "dropped"), "refused")), bytes(field(c, "queuedBytes")),
                        duration(field(c, "idleMs")), field(c, "monitor").isBool() && field(c, "monitor").asBool() ? "yes" : ""});
    }
    out += "\n" + table(rows);

    // What modules report about themselves, under their descriptor and name.
    for (const Json::Value &c : connections.isArray() ? connections : Json::Value(Json::arrayValue)) {
        std::string pairs;
        if (field(c, "report").isObject()) {
            flatten(field(c, "report"), "", 0, pairs);
            out += "report of fd " + count(field(c, "fd")) + " " + text(field(c, "name")) + ": " + pairs + "\n";
        }
    }

    rows = {{"EVENT", "SUBSCRIBERS"}};
    for (const Json::Value &e : events.isArray() ? events : Json::Value(Json::arrayValue)) {
        rows.push_back({count(field(e, "event")), idList(field(e, "subscribers"))});
    }
    out += "\n" + table(rows);
    return out;
}

} // namespace cli
