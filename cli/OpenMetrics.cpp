#include "cli/OpenMetrics.h"
#include "cli/StatusDocument.h"

#include <cmath>
#include <cstdio>
#include <utility>
#include <vector>


namespace cli {

namespace {

typedef std::vector<std::pair<std::string, std::string>> Labels;

const Json::Value &field(const Json::Value &object, const char *key)
{
    return memberOf(object, key);
}

// A JSON number as the format writes it: integers whole, others as %g.
bool number(const Json::Value &value, std::string &out, double scale = 1)
{
    if (!value.isNumeric() || value.isBool()) {
        return false;
    }
    if (scale == 1 && value.isUInt64()) {
        out = std::to_string(value.asUInt64());
        return true;
    }
    if (scale == 1 && value.isInt64()) {
        out = std::to_string(value.asInt64());
        return true;
    }
    const double v = value.asDouble() * scale;
    if (!std::isfinite(v)) {
        return false;
    }
    char text[64];
    snprintf(text, sizeof text, "%.15g", v);
    out = text;
    return true;
}

// Label values: printable ASCII, every other byte as '.' (the hub escapes
// names, but this text goes to other programs), with backslash and quote
// escaped.
std::string labelValue(const std::string &raw)
{
    std::string out;
    for (char c : raw) {
        c = c >= 0x20 && c < 0x7f ? c : '.';
        if (c == '\\' || c == '"') {
            out += '\\';
        }
        out += c;
    }
    return out;
}

std::string text(const Json::Value &value)
{
    if (value.isBool()) {
        return value.asBool() ? "true" : "false";
    }
    std::string n;
    if (number(value, n)) {
        return n;
    }
    return value.isString() ? value.asString() : "";
}

// "strictModules" -> "strict_modules".
std::string snake(const std::string &camel)
{
    std::string out;
    for (char c : camel) {
        if (c >= 'A' && c <= 'Z') {
            out += '_';
            out += static_cast<char>(c - 'A' + 'a');
        } else if ((c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '_') {
            out += c;
        }
    }
    return out;
}

class Writer {
public:
    // A family's metadata, once, before its samples.
    void family(const std::string &name, const char *type, const char *help, const char *unit = nullptr)
    {
        out += "# TYPE " + name + " " + type + "\n";
        if (unit != nullptr) {
            out += "# UNIT " + name + " " + unit + "\n";
        }
        out += "# HELP " + name + " " + help + "\n";
    }

    void sample(const std::string &name, const Labels &labels, const std::string &value)
    {
        out += name;
        if (!labels.empty()) {
            std::string list;
            for (const auto &label : labels) {
                list += (list.empty() ? "" : ",") + label.first + "=\"" + labelValue(label.second) + "\"";
            }
            out += "{" + list + "}";
        }
        out += " " + value + "\n";
    }

    void value(const std::string &name, const Labels &labels, const Json::Value &value, double scale = 1)
    {
        std::string n;
        if (number(value, n, scale)) {
            sample(name, labels, n);
        }
    }

    std::string out;
};

struct Counter {
    const char *family;
    const char *key;
    const char *help;
    const char *unit;
};

const Counter kTraffic[] = {
    {"received_frames", "framesIn", "Frames received.", nullptr},
    {"received_bytes", "bytesIn", "Bytes received.", "bytes"},
    {"sent_frames", "framesOut", "Frames sent.", nullptr},
    {"sent_bytes", "bytesOut", "Bytes sent.", "bytes"},
};

const std::pair<const char *, const char *> kDropReasons[] = {
    {"queueFull", "queue_full"}, {"short", "short"}, {"refused", "refused"}};

// The four traffic counters and the drops by reason of one counter set, for
// every (labels, counters) pair given.
void traffic(Writer &w, const std::string &prefix, const char *what,
             const std::vector<std::pair<Labels, const Json::Value *>> &sets)
{
    for (const Counter &c : kTraffic) {
        const std::string name = prefix + c.family;
        w.family(name, "counter", (std::string(c.help) + " " + what).c_str(), c.unit);
        for (const auto &set : sets) {
            w.value(name + "_total", set.first, field(*set.second, c.key));
        }
    }
    const std::string dropped = prefix + "dropped_frames";
    w.family(dropped, "counter", (std::string("Frames dropped, by reason. ") + what).c_str());
    for (const auto &set : sets) {
        for (const auto &reason : kDropReasons) {
            Labels labels = set.first;
            labels.emplace_back("reason", reason.second);
            w.value(dropped + "_total", labels, field(field(*set.second, "dropped"), reason.first));
        }
    }
}

std::string moduleIds(const Json::Value &ids)
{
    std::string list;
    for (const Json::Value &id : ids.isArray() ? ids : Json::Value(Json::arrayValue)) {
        if (id.isUInt() && id.asUInt() <= 0xFF) {
            char hex[8];
            snprintf(hex, sizeof hex, "0x%02x", id.asUInt());
            list += (list.empty() ? "" : ",") + std::string(hex);
        }
    }
    return list;
}

} // namespace

std::string renderOpenMetrics(const Json::Value &doc)
{
    Writer w;
    w.family("pellix", "info", "The hub's version.");
    w.sample("pellix_info", {{"version", text(field(doc, "version"))}}, "1");
    const Json::Value &settings = field(doc, "settings");
    if (settings.isObject()) {
        Labels labels;
        for (const std::string &key : settings.getMemberNames()) {
            const std::string name = snake(key);
            if (!name.empty() && name[0] != '_') {
                labels.emplace_back(name, text(settings[key]));
            }
        }
        w.family("pellix_settings", "info", "The settings in force.");
        w.sample("pellix_settings_info", labels, "1");
    }
    w.family("pellix_uptime_seconds", "gauge", "How long the hub has run.", "seconds");
    w.value("pellix_uptime_seconds", {}, field(doc, "uptimeMs"), 0.001);

    const Json::Value &connections = field(doc, "connections");
    const Json::Value none(Json::arrayValue);
    const Json::Value &list = connections.isArray() ? connections : none;
    const std::pair<const char *, Json::Value> gauges[] = {
        {"connections", list.size()},
        {"monitors", field(doc, "monitors")},
        {"subscription_pairs", field(doc, "subscriptionPairs")},
        {"descriptors_in_use", field(field(doc, "descriptors"), "inUse")},
        {"descriptors_limit", field(field(doc, "descriptors"), "limit")},
        {"datagram_senders", field(field(doc, "datagrams"), "senders").isArray()
                                 ? Json::Value(field(field(doc, "datagrams"), "senders").size())
                                 : field(field(doc, "datagrams"), "senders")},
    };
    const char *const gaugeHelp[] = {"Stream connections.", "Connections with the monitor on.",
                                     "(event, module) pairs in the subscription record.", "Descriptors in use.",
                                     "Most descriptors the hub may use.", "Datagram senders with a partial frame held."};
    for (size_t i = 0; i < sizeof gauges / sizeof gauges[0]; ++i) {
        w.family(std::string("pellix_") + gauges[i].first, "gauge", gaugeHelp[i]);
        w.value(std::string("pellix_") + gauges[i].first, {}, gauges[i].second);
    }
    w.family("pellix_resident_bytes", "gauge", "The hub's resident memory.", "bytes");
    w.value("pellix_resident_bytes", {}, field(field(doc, "memory"), "residentBytes"));
    w.family("pellix_private_bytes", "gauge", "The hub's private memory.", "bytes");
    w.value("pellix_private_bytes", {}, field(field(doc, "memory"), "privateBytes"));

    traffic(w, "pellix_", "Every connection and datagram since the start.", {{{}, &field(doc, "totals")}});
    traffic(w, "pellix_datagram_", "The UDP port.", {{{}, &field(doc, "datagrams")}});

    std::vector<std::pair<Labels, const Json::Value *>> perConnection;
    for (const Json::Value &c : list) {
        perConnection.push_back({{{"fd", text(field(c, "fd"))},
                                  {"module", moduleIds(field(c, "ids"))},
                                  {"name", text(field(c, "name"))},
                                  {"transport", text(field(c, "transport"))}},
                                 &c});
    }
    traffic(w, "pellix_connection_", "One stream connection.", perConnection);
    const Counter levels[] = {
        {"pellix_connection_queued_bytes", "queuedBytes", "Bytes waiting in the connection's send queue.", "bytes"},
        {"pellix_connection_idle_seconds", "idleMs", "Time since the connection's last byte.", "seconds"},
        {"pellix_connection_connected_seconds", "connectedMs", "Time since the connection was made.", "seconds"},
    };
    for (const Counter &g : levels) {
        const bool ms = std::string(g.key).find("Ms") != std::string::npos;
        w.family(g.family, "gauge", g.help, g.unit);
        for (const auto &set : perConnection) {
            w.value(g.family, set.first, field(*set.second, g.key), ms ? 0.001 : 1);
        }
    }

    w.family("pellix_event_subscribers", "gauge", "Modules subscribed to the event.");
    const Json::Value &events = field(doc, "events");
    for (const Json::Value &e : events.isArray() ? events : none) {
        const Json::Value &subscribers = field(e, "subscribers");
        if (field(e, "event").isNumeric() && subscribers.isArray()) {
            w.sample("pellix_event_subscribers", {{"event", text(field(e, "event"))}},
                     std::to_string(subscribers.size()));
        }
    }
    return w.out + "# EOF\n";
}

} // namespace cli
