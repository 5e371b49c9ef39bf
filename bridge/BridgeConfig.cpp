#include "bridge/BridgeConfig.h"

#include <fcntl.h>
#include <iconv.h>
#include <sys/stat.h>
#include <unistd.h>

#include <json/json.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <set>
#include <sstream>

#include <pellix/PellixTypes.h>

#include "bridge/TopicRules.h"

namespace bridge {

namespace {

const size_t kMaxFileSize = 1024 * 1024;
// A valid file nests 4 deep (in[0].events[0]); the reader's recursion is not
// offered to anything deeper.
const int kMostDepth = 16;
const size_t kMostErrorBytes = 200;

// Where `text` stops being UTF-8: its size when it is all UTF-8 (glibc's
// decoder refuses overlong forms, surrogates and anything past U+10FFFF).
size_t utf8End(const std::string &text)
{
    const iconv_t decoder = iconv_open("UTF-32LE", "UTF-8");
    if (decoder == reinterpret_cast<iconv_t>(-1)) {
        return 0; // never expected: glibc has this decoder built in
    }
    char *in = const_cast<char *>(text.data());
    size_t left = text.size();
    bool valid = true;
    while (left > 0 && valid) {
        char out[4096];
        char *put = out;
        size_t room = sizeof out;
        valid = iconv(decoder, &in, &left, &put, &room) != static_cast<size_t>(-1) || errno == E2BIG;
    }
    iconv_close(decoder);
    return text.size() - left;
}

// One line of printable ASCII, at most `most` bytes of it: an error may
// quote the file (a duplicate key, a number) and goes to a console.
std::string printable(const std::string &text, size_t most = kMostErrorBytes)
{
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    for (const char ch : text) {
        const unsigned char c = static_cast<unsigned char>(ch);
        if (c >= 0x20 && c < 0x7f) {
            out += ch;
        } else {
            out += "\\x";
            out += kHex[c >> 4];
            out += kHex[c & 0xf];
        }
        if (out.size() >= most) {
            return out + "...";
        }
    }
    return out;
}

// jsoncpp's first error ("* Line 3, Column 5\n  Missing '}'\n", perhaps with
// "See Line ..." after it) on one line.
std::string firstJsonError(const std::string &why)
{
    std::string first = why.substr(0, std::min(why.find("\n* "), why.find("\nSee ")));
    if (first.compare(0, 2, "* ") == 0) {
        first.erase(0, 2);
    }
    for (size_t at = first.find("\n  "); at != std::string::npos; at = first.find("\n  ", at)) {
        first.replace(at, 3, ": ");
    }
    while (!first.empty() && first.back() == '\n') {
        first.pop_back();
    }
    return first;
}

// Walks one JSON object: every key read is noted, so that a key nobody reads
// (a typo) is refused too.
class Section {
public:
    Section(const Json::Value &value, std::string path, std::string &error)
        : object(value), where(std::move(path)), err(error)
    {
    }

    bool isObject(bool optional = false)
    {
        if ((optional && object.isNull()) || object.isObject()) {
            return true;
        }
        return fail(where, "must be an object");
    }
    bool has(const char *key) const { return object.isObject() && object.isMember(key); }
    const Json::Value &get(const char *key)
    {
        seen.insert(key);
        return object.isObject() ? object[key] : Json::Value::nullSingleton();
    }
    std::string name(const char *key) const { return where.empty() ? key : where + "." + key; }

    bool fail(const std::string &key, const std::string &why)
    {
        err = key + ": " + why;
        return false;
    }

    // An integer in [min, max]: a JSON number, or a string in decimal or
    // with 0x (module ids and commands read better in hex).
    bool integer(const char *key, long min, long max, int &out, bool required = false)
    {
        const Json::Value &v = get(key);
        if (v.isNull()) {
            return !required || fail(name(key), "is missing");
        }
        long value = 0;
        if (!toLong(v, value) || value < min || value > max) {
            return fail(name(key), "must be an integer from " + std::to_string(min) + " to " + std::to_string(max));
        }
        out = static_cast<int>(value);
        return true;
    }

    bool size(const char *key, size_t min, size_t max, size_t &out)
    {
        int value = 0;
        if (!integer(key, static_cast<long>(min), static_cast<long>(max), value)) {
            return false;
        }
        if (has(key)) {
            out = static_cast<size_t>(value);
        }
        return true;
    }

    bool text(const char *key, std::string &out, bool required = false, bool *present = nullptr)
    {
        const Json::Value &v = get(key);
        if (v.isNull()) {
            return !required || fail(name(key), "is missing");
        }
        if (!v.isString()) {
            return fail(name(key), "must be a string");
        }
        out = v.asString();
        if (out.find('\0') != std::string::npos) {
            return fail(name(key), "must not hold a NUL byte");
        }
        if (utf8End(out) != out.size()) {
            return fail(name(key), "must be UTF-8"); // an escaped lone surrogate
        }
        if (present != nullptr) {
            *present = true;
        }
        return true;
    }

    bool flag(const char *key, bool &out)
    {
        const Json::Value &v = get(key);
        if (v.isNull()) {
            return true;
        }
        if (!v.isBool()) {
            return fail(name(key), "must be true or false");
        }
        out = v.asBool();
        return true;
    }

    // Refuses the keys no one read.
    bool noOthers()
    {
        if (!object.isObject()) {
            return true;
        }
        for (const std::string &key : object.getMemberNames()) {
            if (seen.count(key) == 0) {
                return fail(name(key.c_str()), "is not a known key");
            }
        }
        return true;
    }

    static bool toLong(const Json::Value &v, long &out)
    {
        if (v.isInt()) {
            out = v.asInt();
            return true;
        }
        if (!v.isString() || v.asString().empty()) {
            return false;
        }
        const std::string s = v.asString();
        errno = 0;
        char *end = nullptr;
        out = strtol(s.c_str(), &end, 0);
        return errno == 0 && end != nullptr && *end == '\0' && (s[0] == '-' || isdigit(static_cast<unsigned char>(s[0])));
    }

private:
    const Json::Value &object;
    std::string where;
    std::string &err;
    std::set<std::string> seen;
};

bool withPrefix(Section &s, const std::string &key, const std::string &text, const std::string &prefix,
                bool allowEvent, std::string &out)
{
    std::string why;
    if (!TopicRules::applyPrefix(text, prefix, allowEvent, out, why)) {
        return s.fail(key, why);
    }
    return true;
}

// "event": N, or "events": N, "A-B" or a list of both.
bool readEvents(Section &s, std::vector<int> &events)
{
    const bool one = s.has("event");
    const bool many = s.has("events");
    if (one == many) {
        s.get("event");
        s.get("events");
        return s.fail(s.name("events"), "give either \"event\" or \"events\"");
    }
    const char *key = one ? "event" : "events";
    const Json::Value &v = s.get(key);
    const std::string what = "must be an event from 1 to 32767, a range \"A-B\" or a list of them";
    Json::Value list(Json::arrayValue);
    if (v.isArray()) {
        list = v;
    } else {
        list.append(v);
    }
    if (list.empty()) {
        return s.fail(s.name(key), what);
    }
    std::set<int> seen;
    for (const Json::Value &item : list) {
        long first = 0;
        long last = 0;
        const std::string text = item.isString() ? item.asString() : std::string();
        const size_t dash = text.find('-', 1);
        if (!one && item.isString() && dash != std::string::npos) {
            if (!Section::toLong(Json::Value(text.substr(0, dash)), first) ||
                !Section::toLong(Json::Value(text.substr(dash + 1)), last) || last < first) {
                return s.fail(s.name(key), what);
            }
        } else if (!Section::toLong(item, first)) {
            return s.fail(s.name(key), what);
        } else {
            last = first;
        }
        if (first < 1 || last > pellix::kMaxEvent) {
            return s.fail(s.name(key), what);
        }
        for (long e = first; e <= last; ++e) {
            seen.insert(static_cast<int>(e));
        }
    }
    events.assign(seen.begin(), seen.end());
    return true;
}

bool readBroker(const Json::Value &root, BridgeConfig &c, std::string &error)
{
    Section s(root["broker"], "broker", error);
    BrokerSettings &b = c.broker;
    bool tls = false;
    if (!s.isObject() || !s.text("host", b.host) || !s.integer("port", 1, 65535, b.port) ||
        !s.text("clientId", b.clientId, true) || !s.integer("keepalive", 5, 65535, b.keepalive) ||
        !s.integer("mqttVersion", 4, 5, b.mqttVersion) || !s.text("username", b.username) ||
        !s.text("password", b.password, false, &b.hasPassword) || !s.text("cafile", b.cafile, false, &tls) ||
        !s.text("certfile", b.certfile) || !s.text("keyfile", b.keyfile) || !s.flag("insecure", b.insecure) ||
        !s.noOthers()) {
        return false;
    }
    if (b.host.empty()) {
        return s.fail("broker.host", "must not be empty");
    }
    // An MQTT 3.1.1 client id is 1 to 23 bytes for every broker to take it.
    if (b.clientId.empty() || b.clientId.size() > 23) {
        return s.fail("broker.clientId", "must be 1 to 23 bytes");
    }
    if (b.hasPassword && b.username.empty()) {
        return s.fail("broker.password", "needs broker.username");
    }
    if (b.certfile.empty() != b.keyfile.empty()) {
        return s.fail(b.certfile.empty() ? "broker.certfile" : "broker.keyfile", "certfile and keyfile go together");
    }
    if (!tls && (!b.certfile.empty() || b.insecure)) {
        return s.fail("broker.cafile", "is needed for TLS");
    }
    return true;
}

bool readHub(const Json::Value &root, BridgeConfig &c, std::string &error)
{
    Section s(root["hub"], "hub", error);
    HubSettings &h = c.hub;
    h.host = pellix::kDefaultHost;
    h.port = pellix::kDefaultPort;
    h.name = "pellix-bridge";
    h.moduleId = -1;
    bool unix = false;
    if (!s.isObject(true) || !s.text("host", h.host) || !s.integer("port", 1, 65535, h.port) ||
        !s.text("unixPath", h.unixPath, false, &unix) || !s.integer("moduleId", 0, pellix::kMaxModuleId, h.moduleId, true) ||
        !s.text("name", h.name) || !s.noOthers()) {
        return false;
    }
    h.useUnix = unix;
    if (h.moduleId == pellix::kHubId) {
        return s.fail("hub.moduleId", "0x01 is the hub's own id");
    }
    if (unix && (s.has("host") || s.has("port"))) {
        return s.fail("hub.unixPath", "give either unixPath or host and port");
    }
    if (unix && (h.unixPath.empty() || h.unixPath.size() > 107)) {
        return s.fail("hub.unixPath", "must be 1 to 107 bytes");
    }
    if (h.name.empty() || h.name.size() > 64) {
        return s.fail("hub.name", "must be 1 to 64 bytes");
    }
    return true;
}

bool readQueue(const Json::Value &root, BridgeConfig &c, std::string &error)
{
    Section s(root["queue"], "queue", error);
    QueueSettings &q = c.queue;
    return s.isObject(true) && s.size("maxMessages", 1, 1000000, q.maxMessages) &&
           s.size("maxBytes", 1024, 1024L * 1024 * 1024, q.maxBytes) && s.text("file", q.file) && s.noOthers();
}

bool readOut(const Json::Value &list, BridgeConfig &c, std::string &error)
{
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        Section s(list[i], "out[" + std::to_string(i) + "]", error);
        OutMapping m;
        std::string topic;
        if (!s.isObject() || !readEvents(s, m.events) || !s.text("topic", topic, true) ||
            !s.integer("qos", 0, 1, m.qos) || !s.flag("retain", m.retain) || !s.noOthers() ||
            !withPrefix(s, s.name("topic"), topic, c.prefix, true, m.topic)) {
            return false;
        }
        if (!TopicRules::validTopic(TopicRules::expandEvent(m.topic, m.events.front()))) {
            return s.fail(s.name("topic"), "is not a valid MQTT topic");
        }
        if (m.topic.find("{event}") == std::string::npos && m.events.size() > 1) {
            return s.fail(s.name("topic"), "needs {event} to tell several events apart");
        }
        c.out.push_back(m);
    }
    return true;
}

bool readIn(const Json::Value &list, BridgeConfig &c, std::string &error)
{
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        Section s(list[i], "in[" + std::to_string(i) + "]", error);
        InMapping m;
        std::string filter;
        m.module = -1;
        m.command = -1;
        if (!s.isObject() || !s.text("filter", filter, true) || !s.integer("qos", 0, 1, m.qos) ||
            !s.integer("event", 1, pellix::kMaxEvent, m.event) ||
            !s.integer("module", 0, pellix::kMaxModuleId, m.module) || !s.integer("command", 0, 0xFFFF, m.command) ||
            !s.noOthers() || !withPrefix(s, s.name("filter"), filter, c.prefix, false, m.filter)) {
            return false;
        }
        if (!TopicRules::validFilter(m.filter)) {
            return s.fail(s.name("filter"), "is not a valid MQTT topic filter");
        }
        m.toEvent = m.event != 0;
        if (m.toEvent == (m.module >= 0 || m.command >= 0)) {
            return s.fail(s.name("event"), "give either \"event\" or \"module\" and \"command\"");
        }
        if (!m.toEvent && (m.module < 0 || m.command < 0)) {
            return s.fail(s.name(m.module < 0 ? "module" : "command"), "is missing");
        }
        if (!m.toEvent && (m.module == pellix::kHubId || m.module == c.hub.moduleId)) {
            return s.fail(s.name("module"), "must be another module than the hub and the bridge");
        }
        c.in.push_back(m);
    }
    return true;
}

// The whole walk, for parse() to catch what it throws.
bool parseText(const std::string &text, BridgeConfig &c, std::string &error)
{
    const size_t utf8 = utf8End(text);
    if (utf8 != text.size()) {
        error = "(file): not valid UTF-8 at byte " + std::to_string(utf8);
        return false;
    }
    Json::CharReaderBuilder builder;
    builder["allowComments"] = true;
    builder["rejectDupKeys"] = true;
    builder["failIfExtra"] = true;
    builder["stackLimit"] = kMostDepth;
    Json::Value root;
    std::string why;
    const std::unique_ptr<Json::CharReader> reader(builder.newCharReader());
    try {
        if (!reader->parse(text.data(), text.data() + text.size(), &root, &why)) {
            error = "(file): not valid JSON: " + firstJsonError(why);
            return false;
        }
    } catch (const Json::RuntimeError &) {
        // How the reader says the nesting passed stackLimit.
        error = "(file): not valid JSON: nested deeper than " + std::to_string(kMostDepth) + " levels";
        return false;
    }
    Section top(root, "", error);
    if (!top.isObject()) {
        error = "(file): must hold one JSON object";
        return false;
    }
    top.get("broker");
    top.get("hub");
    top.get("queue");
    const Json::Value &out = top.get("out");
    const Json::Value &in = top.get("in");
    if (!top.text("prefix", c.prefix, true) || !top.integer("stateEvent", 1, pellix::kMaxEvent, c.stateEvent) ||
        !top.noOthers()) {
        return false;
    }
    if (!TopicRules::validTopic(c.prefix) || c.prefix.find_first_of("{}") != std::string::npos) {
        return top.fail("prefix", "must be a valid MQTT topic without braces");
    }
    if (!out.isNull() && !out.isArray()) {
        return top.fail("out", "must be a list");
    }
    if (!in.isNull() && !in.isArray()) {
        return top.fail("in", "must be a list");
    }
    if (out.size() + in.size() == 0) {
        return top.fail("out", "out and in hold no mapping");
    }
    return readBroker(root, c, error) && readHub(root, c, error) && readQueue(root, c, error) &&
           readOut(out, c, error) && readIn(in, c, error);
}

} // namespace

bool BridgeConfig::parse(const std::string &text, BridgeConfig &c, std::string &error)
{
    c = BridgeConfig();
    bool parsed = false;
    try {
        parsed = parseText(text, c, error);
    } catch (const std::exception &e) {
        // The walk checks every type before it reads a value; should anything
        // still throw, it ends as a refusal like any other, not as an abort.
        error = std::string("(file): cannot be used: ") + e.what();
    }
    if (!parsed) {
        error = printable(error);
    }
    return parsed;
}

// A PUBLISH with a whole frame payload (the most an in mapping passes on) on
// the longest topic an in filter matches, and the rest of the packet: its
// fixed header (1 byte and at most 4 of remaining length), the topic's length
// (2), a packet id (2), and the MQTT 5 properties' length (at most 4) with an
// allowance for what a publisher may attach (a content type, correlation
// data, a few user properties). Anything larger the bridge would refuse.
uint32_t BridgeConfig::maxPacketSize() const
{
    const size_t kPacketHeaders = 1 + 4 + 2 + 2 + 4;
    const size_t kPropertyAllowance = 4096;
    size_t topic = 0;
    for (const InMapping &m : in) {
        topic = std::max(topic, TopicRules::longestMatch(m.filter));
    }
    return static_cast<uint32_t>(pellix::kMaxPayload + topic + kPacketHeaders + kPropertyAllowance);
}

bool BridgeConfig::load(const std::string &path, BridgeConfig &c, std::string &error)
{
    const std::string shown = printable(path, std::string::npos);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        error = "(file): cannot open " + shown + ": " + strerror(errno);
        return false;
    }
    std::string text;
    char chunk[8192];
    for (;;) {
        const ssize_t got = read(fd, chunk, sizeof chunk);
        if (got < 0 && errno == EINTR) {
            continue;
        }
        if (got < 0) {
            const int err = errno;
            close(fd);
            error = "(file): cannot read " + shown + ": " + strerror(err);
            return false;
        }
        if (got == 0) {
            break;
        }
        text.append(chunk, static_cast<size_t>(got));
        if (text.size() > kMaxFileSize) {
            close(fd);
            error = "(file): " + shown + " is larger than 1 MiB";
            return false;
        }
    }
    close(fd);
    if (parse(text, c, error)) {
        return true;
    }
    const std::string whole = "(file): ";
    if (error.compare(0, whole.size(), whole) == 0) {
        error.insert(whole.size(), shown + ": "); // which file, when it is the file as a whole
    }
    return false;
}

} // namespace bridge
