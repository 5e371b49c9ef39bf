#include "tests/app/ChildProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <unistd.h>

#include <stdexcept>

ChildProcess::ChildProcess(const std::function<void(int in, int out)> &body)
{
    int down[2];
    int up[2];
    if (pipe2(down, O_CLOEXEC) != 0) {
        throw std::runtime_error("pipe failed");
    }
    if (pipe2(up, O_CLOEXEC) != 0) {
        close(down[0]);
        close(down[1]);
        throw std::runtime_error("pipe failed");
    }
    const bool started = process.start(
        [&] {
            close(down[1]);
            close(up[0]);
            try {
                body(down[0], up[1]);
            } catch (...) {
                return 99;
            }
            return 0;
        },
        {"/dev/null", ""});
    close(down[0]);
    close(up[1]);
    toChild = down[1];
    fromChild = up[0];
    if (!started) {
        close(toChild);
        close(fromChild);
        throw std::runtime_error(process.error());
    }
}

ChildProcess::~ChildProcess()
{
    process.kill();
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
    return process.signal(sig);
}

bool ChildProcess::wait(int timeoutMs, int &status)
{
    const bool ended = process.waitFor(timeoutMs);
    if (!ended) {
        process.kill();
    }
    status = process.rawStatus();
    return ended && status != -1;
}

bool ChildProcess::running()
{
    return process.running();
}
