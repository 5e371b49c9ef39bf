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
// A hostile file could have a refusal for every key: the first ones tell.
const size_t kMostErrors = 20;

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
    Section(const Json::Value &value, std::string path, std::vector<std::string> &errors)
        : object(value), where(std::move(path)), errs(errors)
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

    // Notes one refusal; the walk goes on, so that one run names them all.
    bool fail(const std::string &key, const std::string &why)
    {
        errs.push_back(key + ": " + why);
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
        bool ok = true;
        if (object.isObject()) {
            for (const std::string &key : object.getMemberNames()) {
                ok = (seen.count(key) != 0 || fail(name(key.c_str()), "is not a known key")) && ok;
            }
        }
        return ok;
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
    std::vector<std::string> &errs;
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

typedef std::vector<std::string> Errors;

// Each reader notes every refusal of its section and reads on; a check that
// needs a value is made only once the value could be read.
void readBroker(const Json::Value &root, BridgeConfig &c, Errors &errors)
{
    Section s(root["broker"], "broker", errors);
    BrokerSettings &b = c.broker;
    bool tls = false;
    if (!s.isObject()) {
        return;
    }
    const bool host = s.text("host", b.host);
    s.integer("port", 1, 65535, b.port);
    const bool clientId = s.text("clientId", b.clientId, true);
    s.integer("keepalive", 5, 65535, b.keepalive);
    s.integer("mqttVersion", 4, 5, b.mqttVersion);
    // Every key is read (and each fault reported) before the checks below.
    const bool user = s.text("username", b.username);
    const bool password = s.text("password", b.password, false, &b.hasPassword);
    const bool credentials = user && password;
    const bool cafile = s.text("cafile", b.cafile, false, &tls);
    const bool certfile = s.text("certfile", b.certfile);
    const bool keyfile = s.text("keyfile", b.keyfile);
    const bool insecure = s.flag("insecure", b.insecure);
    const bool files = cafile && certfile && keyfile && insecure;
    s.noOthers();
    if (host && b.host.empty()) {
        s.fail("broker.host", "must not be empty");
    }
    // An MQTT 3.1.1 client id is 1 to 23 bytes for every broker to take it.
    if (clientId && (b.clientId.empty() || b.clientId.size() > 23)) {
        s.fail("broker.clientId", "must be 1 to 23 bytes");
    }
    if (credentials && b.hasPassword && b.username.empty()) {
        s.fail("broker.password", "needs broker.username");
    }
    if (files && b.certfile.empty() != b.keyfile.empty()) {
        s.fail(b.certfile.empty() ? "broker.certfile" : "broker.keyfile", "certfile and keyfile go together");
    }
    if (files && !tls && (!b.certfile.empty() || b.insecure)) {
        s.fail("broker.cafile", "is needed for TLS");
    }
}

void readHub(const Json::Value &root, BridgeConfig &c, Errors &errors)
{
    Section s(root["hub"], "hub", errors);
    HubSettings &h = c.hub;
    h.host = pellix::kDefaultHost;
    h.port = pellix::kDefaultPort;
    h.name = "pellix-bridge";
    h.moduleId = -1;
    bool unix = false;
    if (!s.isObject(true)) {
        return;
    }
    s.text("host", h.host);
    s.integer("port", 1, 65535, h.port);
    const bool path = s.text("unixPath", h.unixPath, false, &unix);
    if (s.integer("moduleId", 0, pellix::kMaxModuleId, h.moduleId, true) && h.moduleId == pellix::kHubId) {
        s.fail("hub.moduleId", "0x01 is the hub's own id");
    }
    const bool name = s.text("name", h.name);
    s.noOthers();
    h.useUnix = unix;
    if (unix && (s.has("host") || s.has("port"))) {
        s.fail("hub.unixPath", "give either unixPath or host and port");
    } else if (path && unix && (h.unixPath.empty() || h.unixPath.size() > 107)) {
        s.fail("hub.unixPath", "must be 1 to 107 bytes");
    }
    if (name && (h.name.empty() || h.name.size() > 64)) {
        s.fail("hub.name", "must be 1 to 64 bytes");
    }
}

void readQueue(const Json::Value &root, BridgeConfig &c, Errors &errors)
{
    Section s(root["queue"], "queue", errors);
    QueueSettings &q = c.queue;
    if (s.isObject(true)) {
        s.size("maxMessages", 1, 1000000, q.maxMessages);
        s.size("maxBytes", 1024, 1024L * 1024 * 1024, q.maxBytes);
        s.text("file", q.file);
        s.noOthers();
    }
}

void readMetrics(const Json::Value &root, BridgeConfig &c, Errors &errors)
{
    Section s(root["metrics"], "metrics", errors);
    MetricsSettings &m = c.metrics;
    if (root["metrics"].isNull() || !s.isObject()) {
        return;
    }
    std::string topic = "{prefix}/metrics";
    const bool read = s.text("topic", topic);
    s.integer("interval", 1, 86400, m.intervalSeconds);
    s.integer("qos", 0, 1, m.qos);
    s.flag("retain", m.retain);
    s.noOthers();
    if (read && withPrefix(s, "metrics.topic", topic, c.prefix, false, m.topic) && !TopicRules::validTopic(m.topic)) {
        s.fail("metrics.topic", "is not a valid MQTT topic");
    }
    m.enabled = true;
}

void readOut(const Json::Value &list, BridgeConfig &c, Errors &errors)
{
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        Section s(list[i], "out[" + std::to_string(i) + "]", errors);
        OutMapping m;
        std::string topic;
        if (!s.isObject()) {
            continue;
        }
        const bool events = readEvents(s, m.events);
        const bool read = s.text("topic", topic, true);
        s.integer("qos", 0, 1, m.qos);
        s.flag("retain", m.retain);
        s.noOthers();
        if (!read || !withPrefix(s, s.name("topic"), topic, c.prefix, true, m.topic) || !events) {
            continue;
        }
        if (!TopicRules::validTopic(TopicRules::expandEvent(m.topic, m.events.front()))) {
            s.fail(s.name("topic"), "is not a valid MQTT topic");
        } else if (m.topic.find("{event}") == std::string::npos && m.events.size() > 1) {
            s.fail(s.name("topic"), "needs {event} to tell several events apart");
        }
        c.out.push_back(m);
    }
}

void readIn(const Json::Value &list, BridgeConfig &c, Errors &errors)
{
    for (Json::ArrayIndex i = 0; i < list.size(); ++i) {
        Section s(list[i], "in[" + std::to_string(i) + "]", errors);
        InMapping m;
        std::string filter;
        m.module = -1;
        m.command = -1;
        if (!s.isObject()) {
            continue;
        }
        const bool read = s.text("filter", filter, true);
        s.integer("qos", 0, 1, m.qos);
        const bool event = s.integer("event", 1, pellix::kMaxEvent, m.event);
        const bool module = s.integer("module", 0, pellix::kMaxModuleId, m.module);
        const bool command = s.integer("command", 0, 0xFFFF, m.command);
        const bool target = event && module && command;
        s.noOthers();
        if (read && withPrefix(s, s.name("filter"), filter, c.prefix, false, m.filter) &&
            !TopicRules::validFilter(m.filter)) {
            s.fail(s.name("filter"), "is not a valid MQTT topic filter");
        }
        m.toEvent = m.event != 0;
        if (!target) {
            continue;
        }
        if (m.toEvent == (m.module >= 0 || m.command >= 0)) {
            s.fail(s.name("event"), "give either \"event\" or \"module\" and \"command\"");
        } else if (!m.toEvent && (m.module < 0 || m.command < 0)) {
            s.fail(s.name(m.module < 0 ? "module" : "command"), "is missing");
        } else if (!m.toEvent && (m.module == pellix::kHubId || m.module == c.hub.moduleId)) {
            s.fail(s.name("module"), "must be another module than the hub and the bridge");
        }
        c.in.push_back(m);
    }
}

// The whole walk, for parse() to catch what it throws.
void parseText(const std::string &text, BridgeConfig &c, Errors &errors)
{
    const size_t utf8 = utf8End(text);
    if (utf8 != text.size()) {
        errors.push_back("(file): not valid UTF-8 at byte " + std::to_string(utf8));
        return;
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
            errors.push_back("(file): not valid JSON: " + firstJsonError(why));
            return;
        }
    } catch (const Json::RuntimeError &) {
        // How the reader says the nesting passed stackLimit.
        errors.push_back("(file): not valid JSON: nested deeper than " + std::to_string(kMostDepth) + " levels");
        return;
    }
    Section top(root, "", errors);
    if (!root.isObject()) {
        errors.push_back("(file): must hold one JSON object");
        return;
    }
    top.get("broker");
    top.get("hub");
    top.get("queue");
    top.get("metrics");
    const Json::Value &out = top.get("out");
    const Json::Value &in = top.get("in");
    const bool prefix = top.text("prefix", c.prefix, true);
    top.integer("stateEvent", 1, pellix::kMaxEvent, c.stateEvent);
    top.noOthers();
    if (prefix && (!TopicRules::validTopic(c.prefix) || c.prefix.find_first_of("{}") != std::string::npos)) {
        top.fail("prefix", "must be a valid MQTT topic without braces");
    }
    const bool outList = out.isNull() || out.isArray() || top.fail("out", "must be a list");
    const bool inList = in.isNull() || in.isArray() || top.fail("in", "must be a list");
    if (outList && inList && out.size() + in.size() == 0) {
        top.fail("out", "out and in hold no mapping");
    }
    readBroker(root, c, errors);
    readHub(root, c, errors);
    readQueue(root, c, errors);
    readMetrics(root, c, errors);
    if (outList) {
        readOut(out, c, errors);
    }
    if (inList) {
        readIn(in, c, errors);
    }
}

} // namespace

bool BridgeConfig::parse(const std::string &text, BridgeConfig &c, std::vector<std::string> &errors)
{
    c = BridgeConfig();
    errors.clear();
    try {
        parseText(text, c, errors);
    } catch (const std::exception &e) {
        // The walk checks every type before it reads a value; should anything
        // still throw, it ends as a refusal like any other, not as an abort.
        errors.push_back(std::string("(file): cannot be used: ") + e.what());
    }
    if (errors.size() > kMostErrors) {
        const size_t more = errors.size() - kMostErrors;
        errors.resize(kMostErrors);
        errors.push_back("(file): " + std::to_string(more) + " more not shown");
    }
    for (std::string &error : errors) {
        error = printable(error);
    }
    return errors.empty();
}

bool BridgeConfig::parse(const std::string &text, BridgeConfig &c, std::string &error)
{
    std::vector<std::string> errors;
    if (parse(text, c, errors)) {
        return true;
    }
    error = errors.front();
    return false;
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

bool BridgeConfig::load(const std::string &path, BridgeConfig &c, std::vector<std::string> &errors)
{
    errors.clear();
    const std::string shown = printable(path, std::string::npos);
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        errors.push_back("(file): cannot open " + shown + ": " + strerror(errno));
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
            errors.push_back("(file): cannot read " + shown + ": " + strerror(err));
            return false;
        }
        if (got == 0) {
            break;
        }
        text.append(chunk, static_cast<size_t>(got));
        if (text.size() > kMaxFileSize) {
            close(fd);
            errors.push_back("(file): " + shown + " is larger than 1 MiB");
            return false;
        }
    }
    close(fd);
    if (parse(text, c, errors)) {
        return true;
    }
    const std::string whole = "(file): ";
    for (std::string &error : errors) {
        if (error.compare(0, whole.size(), whole) == 0) {
            error.insert(whole.size(), shown + ": "); // which file, when it is the file as a whole
        }
    }
    return false;
}

bool BridgeConfig::load(const std::string &path, BridgeConfig &c, std::string &error)
{
    std::vector<std::string> errors;
    if (load(path, c, errors)) {
        return true;
    }
    error = errors.front();
    return false;
}

namespace {

// A file the bridge must read: a regular file it can open.
void checkReadable(const char *key, const std::string &path, std::vector<std::string> &errors)
{
    if (path.empty()) {
        return;
    }
    const int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    struct stat st;
    if (fd < 0 || fstat(fd, &st) != 0 || !S_ISREG(st.st_mode)) {
        const std::string why = fd < 0 ? strerror(errno) : "not a regular file";
        errors.push_back(printable(std::string(key) + ": cannot read " + path + ": " + why));
    }
    if (fd >= 0) {
        close(fd);
    }
}

} // namespace

bool BridgeConfig::checkFiles(std::vector<std::string> &errors) const
{
    errors.clear();
    checkReadable("broker.cafile", broker.cafile, errors);
    checkReadable("broker.certfile", broker.certfile, errors);
    checkReadable("broker.keyfile", broker.keyfile, errors);
    if (!queue.file.empty()) {
        // The file itself may be missing (an empty queue); its directory must
        // take the temporary file and the rename.
        const size_t slash = queue.file.rfind('/');
        const std::string dir = slash == std::string::npos ? "." : slash == 0 ? "/" : queue.file.substr(0, slash);
        struct stat st;
        if (stat(dir.c_str(), &st) != 0) {
            errors.push_back(printable("queue.file: its directory " + dir + " cannot be used: " + strerror(errno)));
        } else if (!S_ISDIR(st.st_mode)) {
            errors.push_back(printable("queue.file: " + dir + " is not a directory"));
        } else if (access(dir.c_str(), W_OK | X_OK) != 0) {
            errors.push_back(printable("queue.file: its directory " + dir + " cannot be written: " + strerror(errno)));
        }
    }
    return errors.empty();
}

} // namespace bridge
