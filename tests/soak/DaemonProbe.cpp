#include "tests/soak/DaemonProbe.h"

#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "tests/support/TempDir.h"

namespace soak {

namespace {

// Sets `*kb` when `line` is the field `name`.
void fieldKb(const std::string &line, const char *name, long *kb)
{
    const size_t size = strlen(name);
    if (line.compare(0, size, name) == 0) {
        *kb = strtol(line.c_str() + size, nullptr, 10);
    }
}

} // namespace

MemoryUse memoryOf(pid_t pid)
{
    MemoryUse use;
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        fieldKb(line, "VmRSS:", &use.rssKb);
        fieldKb(line, "RssAnon:", &use.anonKb);
        fieldKb(line, "RssFile:", &use.fileKb);
    }
    return use;
}

int descriptorCount(pid_t pid)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    return fileExists(dir) ? static_cast<int>(listDir(dir).size()) : -1;
}

long udpDrops(pid_t pid, uint16_t port)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/net/udp");
    std::string line;
    std::getline(in, line); // column titles
    while (std::getline(in, line)) {
        std::istringstream fields(line);
        std::string slot, local;
        fields >> slot >> local;
        const size_t colon = local.find(':');
        if (colon == std::string::npos || strtoul(local.c_str() + colon + 1, nullptr, 16) != port) {
            continue;
        }
        std::string field, last;
        while (fields >> field) {
            last = field;
        }
        return strtol(last.c_str(), nullptr, 10);
    }
    return -1;
}

std::string descriptorList(pid_t pid)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    if (!fileExists(dir)) {
        return "(cannot read " + dir + ")";
    }
    std::string out;
    for (const std::string &name : listDir(dir)) {
        char target[256];
        const ssize_t n = readlink((dir + "/" + name).c_str(), target, sizeof target - 1);
        target[n > 0 ? n : 0] = '\0';
        out += "  " + name + " -> " + target + "\n";
    }
    return out;
}

} // namespace soak
