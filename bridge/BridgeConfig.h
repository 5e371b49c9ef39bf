#pragma once
// The bridge's configuration: one JSON file, read once at start.
//
// parse() checks every value before anything connects; each value that
// cannot be used gives one sentence that starts with its key
// ("out[1].qos: must be 0 or 1"), all of them in one run. Topics are checked as MQTT requires
// (UTF-8, no wildcard in a topic, wildcards only as whole levels in a filter)
// after {prefix} has been put in.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace bridge {

struct BrokerSettings {
    std::string host = "127.0.0.1";
    int port = 1883;
    std::string clientId;
    int keepalive = 30;
    int mqttVersion = 5; // 5, or 4 for 3.1.1
    std::string username;
    std::string password;
    bool hasPassword = false;
    // TLS, when cafile is given.
    std::string cafile;
    std::string certfile;
    std::string keyfile;
    bool insecure = false; // accept a certificate for another host name
};

struct HubSettings {
    bool useUnix = false;
    std::string host;    // defaults to the SDK's
    int port = 0;        // defaults to the SDK's
    std::string unixPath;
    int moduleId = 0;
    std::string name;
};

// Hub events to one topic template ({prefix}, {event}).
struct OutMapping {
    std::vector<int> events; // ascending, no repeats
    std::string topic;       // {prefix} already put in; {event} left
    int qos = 0;
    bool retain = false;
};

// A topic filter to a hub event, or to a frame for a module.
struct InMapping {
    std::string filter; // {prefix} already put in
    int qos = 0;
    bool toEvent = true;
    int event = 0;
    int module = 0;
    int command = 0;
};

struct QueueSettings {
    size_t maxMessages = 1000;
    size_t maxBytes = 1024 * 1024;
    std::string file; // empty: the queue lives in memory only
};

// The hub's status as OpenMetrics text, published on a topic at an interval.
struct MetricsSettings {
    bool enabled = false;
    std::string topic; // {prefix} already put in
    int intervalSeconds = 60;
    int qos = 0;
    bool retain = false;
};

struct BridgeConfig {
    BrokerSettings broker;
    HubSettings hub;
    std::string prefix;
    int stateEvent = 0; // 0: no hub event for the broker link
    QueueSettings queue;
    std::vector<OutMapping> out;
    std::vector<InMapping> in;
    MetricsSettings metrics;

    // {prefix}/bridge/state
    std::string stateTopic() const { return prefix + "/bridge/state"; }
    // The largest MQTT packet the bridge can use from the broker (its MQTT 5
    // Maximum Packet Size).
    uint32_t maxPacketSize() const;

    // False with every refusal in `errors` ("key: why", at most 20 and a
    // line saying how many more) when the text cannot be used.
    static bool parse(const std::string &text, BridgeConfig &config, std::vector<std::string> &errors);
    // The same with the first refusal only.
    static bool parse(const std::string &text, BridgeConfig &config, std::string &error);
    // Reads at most 1 MiB from `path`, then parse(); a refusal of the file
    // as a whole names it.
    static bool load(const std::string &path, BridgeConfig &config, std::vector<std::string> &errors);
    static bool load(const std::string &path, BridgeConfig &config, std::string &error);
    // What the bridge will need of the file system, checked before anything
    // connects: the TLS files readable, the queue file's directory writable.
    bool checkFiles(std::vector<std::string> &errors) const;
};

} // namespace bridge
