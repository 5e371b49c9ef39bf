#include "hub/HubStatus.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <sys/resource.h>
#include <sys/select.h>

#include <cstdio>
#include <cstring>
#include <map>
#include <memory>
#include <vector>

#include <json/json.h>

#include "hub/CPellix.h"
#include "hub/ModuleName.h"

#ifndef PELLIX_VERSION
#define PELLIX_VERSION "unknown"
#endif

namespace {

Json::Value counters(const TrafficCounters &traffic)
{
    Json::Value out(Json::objectValue);
    out["framesIn"] = Json::UInt64(traffic.framesIn);
    out["bytesIn"] = Json::UInt64(traffic.bytesIn);
    out["framesOut"] = Json::UInt64(traffic.framesOut);
    out["bytesOut"] = Json::UInt64(traffic.bytesOut);
    Json::Value dropped(Json::objectValue);
    dropped["queueFull"] = Json::UInt64(traffic.droppedQueueFull);
    dropped["short"] = Json::UInt64(traffic.droppedShort);
    dropped["refused"] = Json::UInt64(traffic.droppedRefused);
    out["dropped"] = dropped;
    return out;
}

Json::Value settings(const HubSettings &hub, long servePauseUs)
{
    static const char *const kPolicies[] = {"name", "peer", "none"};
    Json::Value out(Json::objectValue);
    char address[INET_ADDRSTRLEN] = "";
    struct in_addr bind;
    bind.s_addr = hub.bindAddress;
    inet_ntop(AF_INET, &bind, address, sizeof address);
    out["tcpBindAddress"] = address;
    out["servePauseUs"] = Json::Int64(servePauseUs);
    out["sendQueueBytes"] = Json::UInt64(hub.sendQueueBytes);
    out["strictModules"] = hub.strictModules;
    out["hubCommandsFrom"] = hub.localHubCommands ? "local" : "any";
    out["killPolicy"] = kPolicies[hub.killPolicy];
    return out;
}

// The "Key:   1234 kB" lines of a /proc file named by keys, in bytes; false
// unless every key was found.
bool readProcKb(const char *path, const std::vector<std::pair<const char *, uint64_t *>> &keys)
{
    FILE *file = fopen(path, "re");
    if (file == nullptr) {
        return false;
    }
    char line[256];
    size_t found = 0;
    while (fgets(line, sizeof line, file) != nullptr) {
        for (const auto &key : keys) {
            const size_t n = strlen(key.first);
            unsigned long long kb = 0;
            if (strncmp(line, key.first, n) == 0 && line[n] == ':' && sscanf(line + n + 1, "%llu", &kb) == 1) {
                *key.second = kb * 1024;
                ++found;
            }
        }
    }
    fclose(file);
    return found == keys.size();
}

} // namespace

int HubStatus::descriptorsInUse()
{
    DIR *dir = opendir("/proc/self/fd");
    if (dir == nullptr) {
        return -1;
    }
    int count = 0;
    while (struct dirent *entry = readdir(dir)) {
        if (entry->d_name[0] != '.') {
            ++count;
        }
    }
    closedir(dir);
    return count - 1; // the directory's own
}

bool HubStatus::memoryBytes(uint64_t &resident, uint64_t &privateBytes)
{
    // The anonymous resident pages stand for the private ones: smaps_rollup
    // would tell exactly, but walks every page table of the process.
    return readProcKb("/proc/self/status", {{"VmRSS", &resident}, {"RssAnon", &privateBytes}});
}

std::string HubStatus::build(const CPellix &hub, int64_t nowMs)
{
    Json::Value doc(Json::objectValue);
    doc["version"] = PELLIX_VERSION;
    doc["uptimeMs"] = Json::Int64(nowMs - hub.getStartMs());
    doc["settings"] = settings(hub.getSettings(), hub.servePauseUs());
    doc["totals"] = counters(hub.totalTraffic());
    Json::Value datagrams = counters(hub.getDatagramTraffic());
    datagrams["senders"] = Json::UInt64(hub.datagramSenders());
    doc["datagrams"] = datagrams;
    doc["subscriptionPairs"] = Json::UInt64(hub.getRegMap().pairCount());

    Json::Value descriptors(Json::objectValue);
    descriptors["inUse"] = descriptorsInUse();
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        descriptors["limit"] = Json::UInt64(limit.rlim_cur);
    } else {
        descriptors["limit"] = Json::Value();
    }
    descriptors["selectLimit"] = FD_SETSIZE;
    doc["descriptors"] = descriptors;
    Json::Value memory(Json::objectValue);
    uint64_t resident = 0;
    uint64_t privateBytes = 0;
    if (memoryBytes(resident, privateBytes)) {
        memory["residentBytes"] = Json::UInt64(resident);
        memory["privateBytes"] = Json::UInt64(privateBytes);
    }
    doc["memory"] = memory;
    doc["monitors"] = Json::UInt64(hub.monitorCount());

    // Ids and subscription counts per connection, from the id table.
    const CEventManager::EventTable &table = hub.getEventManager()->getTable();
    std::map<int, int> subscriptionsOf;
    Json::Value events(Json::arrayValue);
    for (const auto &entry : table) {
        if (entry.second.empty()) {
            continue;
        }
        Json::Value event(Json::objectValue);
        event["event"] = entry.first;
        Json::Value subscribers(Json::arrayValue);
        for (int id : entry.second) {
            subscribers.append(id);
            ++subscriptionsOf[id];
        }
        event["subscribers"] = subscribers;
        events.append(event);
    }
    std::map<const CSocketClient *, std::vector<int>> idsOf;
    for (const auto &entry : hub.getDevMap()) {
        idsOf[entry.second].push_back(entry.first);
    }

    const std::unique_ptr<Json::CharReader> reader(Json::CharReaderBuilder().newCharReader());
    Json::Value connections(Json::arrayValue);
    for (const auto &entry : hub.getConnections()) {
        const CSocketClient *client = entry.first;
        const HeartInfo &info = *entry.second;
        Json::Value connection = counters(hub.trafficOf(client, info));
        connection["fd"] = client->getFd();
        connection["transport"] = info.unixSocket ? "unix" : "tcp";
        if (info.unixSocket) {
            connection["peer"] = info.pid > 0 ? "pid " + std::to_string(info.pid) + " uid " + std::to_string(info.uid)
                                              : std::string();
            connection["pid"] = static_cast<int>(info.pid);
            connection["uid"] = Json::UInt64(info.uid);
        } else {
            connection["peer"] = info.peer;
        }
        Json::Value ids(Json::arrayValue);
        int subscriptions = 0;
        for (int id : idsOf[client]) {
            ids.append(id);
            subscriptions += subscriptionsOf[id];
        }
        connection["ids"] = ids;
        connection["name"] = ModuleName::printable(client->getName());
        connection["subscriptions"] = subscriptions;
        connection["monitor"] = hub.isMonitor(client);
        connection["connectedMs"] = Json::Int64(nowMs - info.connectedAtMs);
        connection["idleMs"] = Json::Int64(nowMs - info.lastInputMs);
        connection["queuedBytes"] = Json::UInt64(client->queuedBytes());
        connection["queuedPeakBytes"] = Json::UInt64(client->peakQueuedBytes());
        Json::Value report;
        if (!info.report.empty() && reader->parse(info.report.data(), info.report.data() + info.report.size(),
                                                  &report, nullptr)) {
            connection["report"] = report;
        }
        connections.append(connection);
    }
    doc["connections"] = connections;
    doc["events"] = events;

    Json::StreamWriterBuilder writer;
    writer["indentation"] = "";
    writer["emitUTF8"] = true;
    return Json::writeString(writer, doc);
}
