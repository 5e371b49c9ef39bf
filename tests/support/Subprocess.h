#pragma once
// One child process of a test: a program run with an environment of the
// test's choosing, or a function run in a forked copy of the test. Its
// standard output and error can go to files. Waits have deadlines; a child
// still running when the object goes is killed with SIGKILL and reaped, so
// no test leaves one behind.

#include <sys/types.h>

#include <cstdint>
#include <functional>
#include <string>
#include <vector>

class Subprocess {
public:
    // Files created (or truncated) for the child's standard output and
    // error; an empty path leaves the stream where the test's own goes.
    struct Streams {
        std::string out;
        std::string err;
    };

    Subprocess() = default;
    ~Subprocess() { kill(); }
    Subprocess(const Subprocess &) = delete;
    Subprocess &operator=(const Subprocess &) = delete;

    // Runs `body` in a forked child, which ends with _exit(body's result).
    // A child left from an earlier start is killed first. False (with the
    // reason in error()) when nothing was started.
    bool start(const std::function<int()> &body, const Streams &streams = Streams());
    // Executes argv (argv[0] looked up in the test's PATH unless it holds
    // a '/') with exactly `env`. As a fresh process would, the program gets
    // no descriptor but its standard streams, no signal blocked and
    // SIGPIPE, SIGCHLD and SIGWINCH at their defaults; `prepare` runs in the
    // child just before the exec, and a nonzero result ends it with that
    // status. A failed exec ends it with 127.
    bool exec(const std::vector<std::string> &argv, const std::vector<std::string> &env,
              const Streams &streams = Streams(), const std::function<int()> &prepare = nullptr);

    pid_t pid() const { return child; }
    // True while the child has not ended; a child found ended is reaped.
    bool running();
    bool signal(int sig);
    // Waits up to timeoutMs for the end; false when the child still runs.
    bool waitFor(int64_t timeoutMs);
    // SIGKILL and reap, if a child is running.
    void kill();

    // The raw wait status of the last child, -1 while it runs or when none
    // was started; the exit status (0 to 255), -1 when it did not exit.
    int rawStatus() const { return status; }
    int exitStatus() const;
    // The raw wait status in words, for failure messages.
    std::string describeEnd() const;
    const std::string &error() const { return failure; }

    // This process's environment, to be changed and handed to exec().
    static std::vector<std::string> environment();
    // The words of the environment variable `name`, split at spaces; empty
    // when it is not set.
    static std::vector<std::string> commandFrom(const char *name);

private:
    // Reaps an ended child (with flags 0: waits for the end); false while
    // it runs.
    bool reap(int flags);

    pid_t child = -1;
    int status = -1;
    std::string failure;
};
