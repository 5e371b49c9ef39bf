#include "hub/HubStatus.h"

#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/resource.h>
#include <sys/select.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <cstddef>
#include <cstdio>
#include <cstring>
#include <map>
#include <vector>

#include "hub/CPellix.h"
#include "hub/JsonWriter.h"
#include "hub/ModuleName.h"

#ifndef PELLIX_VERSION
#define PELLIX_VERSION "unknown"
#endif

namespace {

void counters(JsonWriter &json, const TrafficCounters &traffic)
{
    json.unsignedNumber("framesIn", traffic.framesIn);
    json.unsignedNumber("bytesIn", traffic.bytesIn);
    json.unsignedNumber("framesOut", traffic.framesOut);
    json.unsignedNumber("bytesOut", traffic.bytesOut);
    json.beginObject("dropped");
    json.unsignedNumber("queueFull", traffic.droppedQueueFull);
    json.unsignedNumber("short", traffic.droppedShort);
    json.unsignedNumber("refused", traffic.droppedRefused);
    json.endObject();
}

void settings(JsonWriter &json, const HubSettings &hub, long servePauseUs, const AccessControl &access)
{
    static const char *const kPolicies[] = {"name", "peer", "none"};
    char address[INET_ADDRSTRLEN] = "";
    struct in_addr bind;
    bind.s_addr = hub.bindAddress;
    inet_ntop(AF_INET, &bind, address, sizeof address);
    json.beginObject("settings");
    json.text("tcpBindAddress", address);
    json.number("servePauseUs", servePauseUs);
    json.unsignedNumber("sendQueueBytes", hub.sendQueueBytes);
    json.boolean("strictModules", hub.strictModules);
    json.text("hubCommandsFrom", hub.localHubCommands ? "local" : "any");
    json.text("killPolicy", kPolicies[hub.killPolicy]);
    json.text("eventLoop", hub.eventLoop == HubSettings::LOOP_EPOLL ? "epoll" : "select");
    json.unsignedNumber("maxMonitors", hub.maxMonitors);
    json.boolean("recordUnsubscriptions", hub.recordUnsubscriptions);
    if (access.enabled()) {
        json.beginObject("access");
        json.text("file", access.file());
        json.boolean("trusted", access.trusted());
        json.unsignedNumber("rules", access.ruleCount());
        json.endObject();
    }
    json.endObject();
}

} // namespace

int HubStatus::descriptorsInUse()
{
    // The entries of /proc/self/fd, read straight into a buffer on the
    // stack: opendir would take a 32 KiB one from the heap on every request.
    const int dir = open("/proc/self/fd", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0) {
        return -1;
    }
    alignas(8) char buffer[4096];
    int count = 0;
    for (;;) {
        const long got = syscall(SYS_getdents64, dir, buffer, sizeof buffer);
        if (got <= 0) {
            if (got < 0) {
                count = -1;
            }
            break;
        }
        for (long at = 0; at < got;) {
            unsigned short length = 0;
            memcpy(&length, buffer + at + offsetof(struct dirent64, d_reclen), sizeof length);
            if (length == 0) {
                break;
            }
            count += buffer[at + offsetof(struct dirent64, d_name)] != '.' ? 1 : 0;
            at += length;
        }
    }
    close(dir);
    return count < 0 ? -1 : count - 1; // the directory's own
}

bool HubStatus::memoryBytes(uint64_t &resident, uint64_t &privateBytes)
{
    // statm's pages: resident, and the file-backed and shared part of them;
    // the rest is anonymous, standing for the private pages. One short read,
    // where smaps_rollup would walk every page table and status would format
    // fifty lines.
    const int fd = open("/proc/self/statm", O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        return false;
    }
    char text[128];
    const ssize_t got = read(fd, text, sizeof text - 1);
    close(fd);
    if (got <= 0) {
        return false;
    }
    text[got] = '\0';
    unsigned long long size = 0;
    unsigned long long residentPages = 0;
    unsigned long long sharedPages = 0;
    const long page = sysconf(_SC_PAGESIZE);
    if (page <= 0 || sscanf(text, "%llu %llu %llu", &size, &residentPages, &sharedPages) != 3 ||
        sharedPages > residentPages) {
        return false;
    }
    resident = residentPages * static_cast<uint64_t>(page);
    privateBytes = (residentPages - sharedPages) * static_cast<uint64_t>(page);
    return true;
}

std::string HubStatus::build(const CPellix &hub, int64_t nowMs)
{
    std::string out;
    out.reserve(1024 + 512 * hub.getSessions().size());
    JsonWriter json(out);
    json.beginObject();
    json.text("version", PELLIX_VERSION);
    json.number("uptimeMs", nowMs - hub.getStartMs());
    settings(json, hub.getSettings(), hub.servePauseUs(), hub.getAccess());
    json.beginObject("totals");
    counters(json, hub.totalTraffic());
    json.endObject();
    json.beginObject("datagrams");
    counters(json, hub.getDatagramTraffic());
    json.unsignedNumber("senders", hub.datagramSenders());
    json.endObject();
    json.unsignedNumber("subscriptionPairs", hub.getRegMap().pairCount());

    json.beginObject("descriptors");
    json.number("inUse", descriptorsInUse());
    struct rlimit limit;
    if (getrlimit(RLIMIT_NOFILE, &limit) == 0 && limit.rlim_cur != RLIM_INFINITY) {
        json.unsignedNumber("limit", limit.rlim_cur);
    } else {
        json.null("limit");
    }
    json.number("selectLimit", FD_SETSIZE);
    json.endObject();
    json.beginObject("memory");
    uint64_t resident = 0;
    uint64_t privateBytes = 0;
    if (memoryBytes(resident, privateBytes)) {
        json.unsignedNumber("residentBytes", resident);
        json.unsignedNumber("privateBytes", privateBytes);
    }
    json.endObject();
    json.unsignedNumber("monitors", hub.getMonitor().size());

    // Ids and subscription counts per connection, from the id table.
    const CEventManager::EventTable &table = hub.getEventManager()->getTable();
    std::map<int, int> subscriptionsOf;
    for (const auto &entry : table) {
        for (int id : entry.second) {
            ++subscriptionsOf[id];
        }
    }
    json.beginArray("connections");
    for (const auto &entry : hub.getSessions().all()) {
        const CSocketClient *client = entry.first;
        const Session &info = *entry.second;
        json.beginObject();
        counters(json, info.counters());
        json.number("fd", client->getFd());
        const PeerIdentity &who = info.identity;
        const bool unix = who.kind == PeerIdentity::kUnixSocket;
        json.text("transport", unix ? "unix" : "tcp");
        if (unix) {
            json.text("peer", who.pid > 0 ? "pid " + std::to_string(who.pid) + " uid " + std::to_string(who.uid)
                                          : std::string());
            json.number("pid", who.pid);
        } else {
            json.text("peer", info.peer);
        }
        if (who.known) {
            json.unsignedNumber("uid", who.uid);
            json.unsignedNumber("gid", who.gid);
            json.text("user", who.user);
        }
        int subscriptions = 0;
        json.beginArray("ids");
        for (size_t id = 0; id < info.ids.size(); ++id) {
            if (info.ids.test(id)) {
                json.number(nullptr, static_cast<int>(id));
                subscriptions += subscriptionsOf[static_cast<int>(id)];
            }
        }
        json.endArray();
        json.text("name", ModuleName::printable(client->getName()));
        json.number("subscriptions", subscriptions);
        json.boolean("monitor", hub.getMonitor().isMonitor(client));
        json.number("connectedMs", nowMs - info.connectedAtMs);
        json.number("idleMs", nowMs - info.lastInputMs);
        json.unsignedNumber("queuedBytes", client->queuedBytes());
        json.unsignedNumber("queuedPeakBytes", client->peakQueuedBytes());
        if (!info.report.empty()) {
            json.raw("report", info.report); // compact JSON the hub wrote itself
        }
        json.endObject();
    }
    json.endArray();

    json.beginArray("events");
    for (const auto &entry : table) {
        if (entry.second.empty()) {
            continue;
        }
        json.beginObject();
        json.number("event", entry.first);
        json.beginArray("subscribers");
        for (int id : entry.second) {
            json.number(nullptr, id);
        }
        json.endArray();
        json.endObject();
    }
    json.endArray();
    json.endObject();
    return out;
}
