#include "tests/support/Subprocess.h"
#include "tests/support/Clock.h"

#include <fcntl.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iterator>
#include <sstream>

extern char **environ;

namespace {

// Opened before fork(), so that a failure shows in the test.
int openStream(const std::string &path)
{
    return path.empty() ? -1 : open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
}

void closeIfOpen(int fd)
{
    if (fd >= 0) {
        close(fd);
    }
}

std::vector<char *> pointers(std::vector<std::string> &words)
{
    std::vector<char *> list;
    for (std::string &word : words) {
        list.push_back(&word[0]);
    }
    list.push_back(nullptr);
    return list;
}

// The test may block or ignore signals that the program must see as a
// fresh process would, and hold descriptors opened without O_CLOEXEC.
bool freshStart()
{
    // A kernel without close_range() leaves that to O_CLOEXEC in the tests.
    close_range(3, ~0U, CLOSE_RANGE_CLOEXEC);
    sigset_t none;
    return sigemptyset(&none) == 0 && sigprocmask(SIG_SETMASK, &none, nullptr) == 0 &&
           signal(SIGPIPE, SIG_DFL) != SIG_ERR && signal(SIGCHLD, SIG_DFL) != SIG_ERR &&
           signal(SIGWINCH, SIG_DFL) != SIG_ERR;
}

} // namespace

bool Subprocess::start(const std::function<int()> &body, const Streams &streams)
{
    kill();
    const int out = openStream(streams.out);
    const int err = openStream(streams.err);
    if ((out < 0 && !streams.out.empty()) || (err < 0 && !streams.err.empty())) {
        failure = "cannot create " + streams.out + " or " + streams.err;
        closeIfOpen(out);
        closeIfOpen(err);
        return false;
    }
    // A child that ends through exit() would write what stdio holds again.
    fflush(stdout);
    fflush(stderr);
    status = -1;
    child = fork();
    if (child == 0) {
        if ((out >= 0 && dup2(out, STDOUT_FILENO) < 0) || (err >= 0 && dup2(err, STDERR_FILENO) < 0)) {
            _exit(127);
        }
        _exit(body());
    }
    failure = child < 0 ? std::string("fork: ") + strerror(errno) : std::string();
    closeIfOpen(out);
    closeIfOpen(err);
    return child > 0;
}

bool Subprocess::exec(const std::vector<std::string> &argv, const std::vector<std::string> &env,
                      const Streams &streams, const std::function<int()> &prepare)
{
    if (argv.empty()) {
        failure = "no program to run";
        return false;
    }
    // Built here: after fork() the child only calls what is safe there.
    std::vector<std::string> words = argv;
    std::vector<std::string> vars = env;
    const std::vector<char *> args = pointers(words);
    const std::vector<char *> envp = pointers(vars);
    return start(
        [&]() -> int {
            if (!freshStart()) {
                return 127;
            }
            const int failed = prepare ? prepare() : 0;
            if (failed != 0) {
                return failed;
            }
            execvpe(args[0], args.data(), envp.data());
            return 127;
        },
        streams);
}

bool Subprocess::reap(int flags)
{
    int raw = 0;
    pid_t done;
    do {
        done = waitpid(child, &raw, flags);
    } while (done < 0 && errno == EINTR);
    if (done == 0) {
        return false;
    }
    // Ended, or lost to an error: then how it ended is unknown.
    status = done == child ? raw : -1;
    child = -1;
    return true;
}

bool Subprocess::running()
{
    return child > 0 && !reap(WNOHANG);
}

bool Subprocess::signal(int sig)
{
    return child > 0 && ::kill(child, sig) == 0;
}

bool Subprocess::waitFor(int64_t timeoutMs)
{
    return waitUntil(timeoutMs, 2, [this] { return !running(); });
}

void Subprocess::kill()
{
    // kill() fails only for a child that has ended already; reaped either way.
    if (child > 0) {
        ::kill(child, SIGKILL);
        reap(0);
    }
}

int Subprocess::exitStatus() const
{
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

std::string Subprocess::describeEnd() const
{
    if (status == -1) {
        return "still running or never started";
    }
    if (WIFEXITED(status)) {
        return "exit status " + std::to_string(WEXITSTATUS(status));
    }
    if (WIFSIGNALED(status)) {
        return "killed by signal " + std::to_string(WTERMSIG(status));
    }
    return "wait status " + std::to_string(status);
}

std::vector<std::string> Subprocess::environment()
{
    std::vector<std::string> vars;
    for (char **e = environ; *e != nullptr; ++e) {
        vars.push_back(*e);
    }
    return vars;
}

std::vector<std::string> Subprocess::commandFrom(const char *name)
{
    const char *text = getenv(name);
    std::istringstream in(text != nullptr ? text : "");
    return std::vector<std::string>(std::istream_iterator<std::string>(in), std::istream_iterator<std::string>());
}
