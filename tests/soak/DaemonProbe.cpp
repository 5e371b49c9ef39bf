#include "tests/soak/DaemonProbe.h"

#include <dirent.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

namespace soak {

namespace {

long fieldKb(const std::string &line, const char *name)
{
    const size_t size = strlen(name);
    if (line.compare(0, size, name) != 0) {
        return -1;
    }
    return strtol(line.c_str() + size, nullptr, 10);
}

} // namespace

MemoryUse memoryOf(pid_t pid)
{
    MemoryUse use;
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        long kb = fieldKb(line, "VmRSS:");
        if (kb >= 0) {
            use.rssKb = kb;
        }
        kb = fieldKb(line, "RssAnon:");
        if (kb >= 0) {
            use.anonKb = kb;
        }
        kb = fieldKb(line, "RssFile:");
        if (kb >= 0) {
            use.fileKb = kb;
        }
    }
    return use;
}

int descriptorCount(pid_t pid)
{
    const std::string dir = "/proc/" + std::to_string(pid) + "/fd";
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        return -1;
    }
    int count = 0;
    while (struct dirent *entry = readdir(d)) {
        if (strcmp(entry->d_name, ".") != 0 && strcmp(entry->d_name, "..") != 0) {
            ++count;
        }
    }
    closedir(d);
    return count;
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
    std::string out;
    DIR *d = opendir(dir.c_str());
    if (d == nullptr) {
        return "(cannot read " + dir + ")";
    }
    while (struct dirent *entry = readdir(d)) {
        if (strcmp(entry->d_name, ".") == 0 || strcmp(entry->d_name, "..") == 0) {
            continue;
        }
        char target[256];
        const ssize_t n = readlink((dir + "/" + entry->d_name).c_str(), target, sizeof target - 1);
        target[n > 0 ? n : 0] = '\0';
        out += std::string("  ") + entry->d_name + " -> " + target + "\n";
    }
    closedir(d);
    return out;
}

} // namespace soak
