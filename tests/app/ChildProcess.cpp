#include "tests/app/ChildProcess.h"
#include "tests/support/Clock.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/wait.h>
#include <unistd.h>

#include <csignal>
#include <cstdio>
#include <ctime>
#include <stdexcept>

namespace {


} // namespace

ChildProcess::ChildProcess(const std::function<void(int in, int out)> &body)
{
    int down[2];
    int up[2];
    if (pipe2(down, O_CLOEXEC) != 0 || pipe2(up, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    fflush(stdout);
    fflush(stderr);
    child = fork();
    if (child < 0) {
        throw std::runtime_error("fork failed");
    }
    if (child == 0) {
        close(down[1]);
        close(up[0]);
        const int null = open("/dev/null", O_WRONLY);
        if (null >= 0) {
            dup2(null, STDOUT_FILENO);
            close(null);
        }
        try {
            body(down[0], up[1]);
        } catch (...) {
            _exit(99);
        }
        _exit(0);
    }
    close(down[0]);
    close(up[1]);
    toChild = down[1];
    fromChild = up[0];
}

ChildProcess::~ChildProcess()
{
    if (child > 0) {
        kill(child, SIGKILL);
        int status;
        waitpid(child, &status, 0);
    }
    close(toChild);
    close(fromChild);
}

bool ChildProcess::readByte(char &c, int timeoutMs)
{
    struct pollfd p = {fromChild, POLLIN, 0};
    if (poll(&p, 1, timeoutMs) != 1) {
        return false;
    }
    return read(fromChild, &c, 1) == 1;
}

bool ChildProcess::sendByte(char c)
{
    return write(toChild, &c, 1) == 1;
}

bool ChildProcess::signal(int sig)
{
    return child > 0 && kill(child, sig) == 0;
}

bool ChildProcess::wait(int timeoutMs, int &status)
{
    const long long deadline = nowMs() + timeoutMs;
    for (;;) {
        const pid_t done = waitpid(child, &status, WNOHANG);
        if (done == child) {
            child = -1;
            return true;
        }
        if (done < 0) {
            child = -1;
            return false;
        }
        if (nowMs() > deadline) {
            break;
        }
        usleep(1000);
    }
    kill(child, SIGKILL);
    waitpid(child, &status, 0);
    child = -1;
    return false;
}

bool ChildProcess::running()
{
    int status;
    if (child <= 0) {
        return false;
    }
    if (waitpid(child, &status, WNOHANG) == 0) {
        return true;
    }
    child = -1; // ended and reaped
    return false;
}
