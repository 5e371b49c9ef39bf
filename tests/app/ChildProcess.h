#pragma once
// A forked child for tests of process-wide behaviour (signal handlers,
// exit status). The child runs a body and ends with _exit; it never returns
// into the test framework. Two pipes connect it to the test.

#include <sys/types.h>

#include <functional>

#include "tests/support/Subprocess.h"

class ChildProcess {
public:
    // The body gets the read end of the test's messages and the write end of
    // its replies. Standard output of the child goes to /dev/null, since the
    // console sink and the trace would clutter the test's own output.
    explicit ChildProcess(const std::function<void(int in, int out)> &body);
    // Kills and reaps a child that is still running.
    ~ChildProcess();
    ChildProcess(const ChildProcess &) = delete;
    ChildProcess &operator=(const ChildProcess &) = delete;

    pid_t pid() const { return process.pid(); }

    // Reads one byte from the child; false on time-out or end of stream.
    bool readByte(char &c, int timeoutMs);
    bool sendByte(char c);
    bool signal(int sig);

    // Waits for the child to end. On time-out it is killed with SIGKILL,
    // reaped, and the result is false.
    bool wait(int timeoutMs, int &status);

    // True while the child has not ended; a child found ended is reaped.
    bool running();

private:
    Subprocess process;
    int toChild = -1;
    int fromChild = -1;
};
