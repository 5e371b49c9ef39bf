#pragma once
// Small helpers of the load generator: the monotonic clock, loopback
// sockets, whole writes and bounded reads, and the counters of a process in
// /proc.

#include <sys/types.h>

#include <cstddef>
#include <cstdint>
#include <string>

namespace bench {

// Nanoseconds of CLOCK_MONOTONIC, the clock every time stamp of a run uses.
int64_t nowNs();
// Sleeps until the monotonic clock reads `deadlineNs`.
void sleepUntilNs(int64_t deadlineNs);

// A blocking TCP connection to 127.0.0.1:port with TCP_NODELAY; -1 on failure.
int connectLoopback(uint16_t port);
// A listening TCP socket on 127.0.0.1 with an ephemeral port; -1 on failure.
int listenLoopback(uint16_t &port);
// A port that TCP and UDP could both bind on 127.0.0.1 a moment ago; 0 on failure.
uint16_t freePort();

// Adds fd to the epoll set for reading; false when epoll refuses it.
bool watchReadable(int epoll, int fd);
// Writes every byte (retrying short writes); false when the socket fails.
bool writeAll(int fd, const void *data, size_t size);
// Reads exactly `size` bytes within `timeoutMs`; false on time-out, end of
// stream or error.
bool readExact(int fd, void *data, size_t size, int timeoutMs);

// utime + stime of a process in seconds; false when it cannot be read.
bool processCpuSeconds(pid_t pid, double &seconds);
// VmRSS and VmHWM of a process in kB; false when they cannot be read.
bool processMemoryKb(pid_t pid, long &rssKb, long &hwmKb);
// Resident and private (resident less file-backed and shared) memory of a
// process in kB, from statm, as the hub's status reports them; false when
// they cannot be read.
bool processStatmKb(pid_t pid, long &residentKb, long &privateKb);

} // namespace bench
