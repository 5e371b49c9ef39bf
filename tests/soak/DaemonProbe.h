#pragma once
// What /proc tells about a running process: its resident memory and its
// open descriptors.

#include <sys/types.h>

#include <cstdint>

#include <string>

namespace soak {

struct MemoryUse {
    long rssKb = -1;     // VmRSS
    long anonKb = -1;    // RssAnon
    long fileKb = -1;    // RssFile
};

MemoryUse memoryOf(pid_t pid);
// The number of open descriptors, or -1 when it cannot be read.
int descriptorCount(pid_t pid);
// Datagrams the kernel dropped because the process's UDP socket on `port`
// was full, or -1 when there is no such socket.
long udpDrops(pid_t pid, uint16_t port);
// One line per descriptor ("5 -> socket:[1234]"), for failure messages.
std::string descriptorList(pid_t pid);

} // namespace soak
