#pragma once
// The programs the bridge tests start (the broker, the bridge, the MQTT
// command-line clients, openssl) on the tests' one launcher, and the waits
// they need.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

#include "tests/support/Subprocess.h"

namespace bridgetest {

// Starts argv with both of its streams in the file at output.
bool startProgram(Subprocess &child, const std::vector<std::string> &argv, const std::string &output);
// The exit status once the child ended; -1 when a signal ended it, or when it
// still ran after timeoutMs (it is then killed).
int finish(Subprocess &child, int timeoutMs);
inline int stop(Subprocess &child, int sig, int timeoutMs)
{
    return child.signal(sig) ? finish(child, timeoutMs) : -1;
}

// Polls until `done` holds; false after timeoutMs.
bool eventually(int timeoutMs, const std::function<bool()> &done);
// Whether a TCP connection to 127.0.0.1:port is taken.
bool accepts(uint16_t port);
// A process's peak resident memory (VmHWM) in kB; -1 when it cannot be read.
long peakResidentKb(pid_t pid);

} // namespace bridgetest
