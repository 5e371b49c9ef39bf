#pragma once
// A program of this project (pellix-cli, the example module) run as a child
// process with its standard output and error in files, so that tests can
// wait for a line while it runs and read everything once it has ended. A
// child still running when the object goes is killed and reaped.
//
// When the environment variable PELLIX_TEST_PROGRAM_WRAPPER is set (for
// example "qemu-aarch64-static -L /usr/aarch64-linux-gnu" for programs built
// for another processor), the program runs under that command line, split at
// spaces. PELLIX_TEST_TIME_SCALE (a whole number, default 1) stretches every
// time-out given here, for programs that run many times slower there.

#include <string>
#include <vector>

#include "tests/support/Subprocess.h"

namespace programs {

class ProgramProcess {
public:
    // Files go to dir; nothing runs until start().
    ProgramProcess(const std::string &binary, const std::string &dir);
    ~ProgramProcess();
    ProgramProcess(const ProgramProcess &) = delete;
    ProgramProcess &operator=(const ProgramProcess &) = delete;

    bool start(const std::vector<std::string> &args);
    // The exit status (0 to 255), or -1 when it died of a signal or did
    // not end in time (it is then killed).
    int wait(int timeoutMs = 10000);
    bool signal(int sig);
    // The process id until wait() has reaped it (a wrapper's is the program's).
    pid_t pid() const { return process.pid(); }
    // Polls the standard output until it holds needle; false on time-out
    // or when the program ended without it.
    bool waitForOutput(const std::string &needle, int timeoutMs = 5000);

    std::string out() const;
    std::string err() const;
    // Lines of the standard output, without their line feeds.
    std::vector<std::string> outLines() const;

    // The words of PELLIX_TEST_PROGRAM_WRAPPER; empty when it is not set.
    static std::vector<std::string> wrapperCommand();
    // PELLIX_TEST_TIME_SCALE, at least 1.
    static int timeScale();

private:
    std::string binary;
    std::string outPath;
    std::string errPath;
    Subprocess process;
};

// Runs to the end: the exit status, and both outputs.
struct Finished {
    int status = -1;
    std::string out;
    std::string err;
};
Finished run(const std::string &binary, const std::string &dir, const std::vector<std::string> &args,
             int timeoutMs = 10000);

} // namespace programs
