#pragma once
// Runs a command line through the device's shell, as system() would, but
// with none of the hub's descriptors: a child that outlives the call (the
// kill command puts killall in the background) must not hold the listening
// sockets, the connections or the log files.

#include <string>

class ShellCommand {
public:
    // Waits for the shell itself; its exit status, or -1 when it could not
    // be started.
    static int run(const std::string &command);
};
