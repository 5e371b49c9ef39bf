#include "tests/bridge/BridgeProcess.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>

#include "tests/support/Clock.h"

namespace bridgetest {

bool startProgram(Subprocess &child, const std::vector<std::string> &argv, const std::string &output)
{
    // Standard error joins standard output in the one file.
    return child.exec(argv, Subprocess::environment(), Subprocess::Streams{output, ""},
                      [] { return dup2(STDOUT_FILENO, STDERR_FILENO) < 0 ? 126 : 0; });
}

int finish(Subprocess &child, int timeoutMs)
{
    if (!child.waitFor(timeoutMs)) {
        child.kill();
        return -1;
    }
    return child.exitStatus();
}

bool eventually(int timeoutMs, const std::function<bool()> &done)
{
    return waitUntil(timeoutMs, 20, done);
}

bool accepts(uint16_t port)
{
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        return false;
    }
    struct sockaddr_in addr = {};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(port);
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    const bool ok = connect(fd, reinterpret_cast<struct sockaddr *>(&addr), sizeof addr) == 0;
    close(fd);
    return ok;
}

long peakResidentKb(pid_t pid)
{
    std::ifstream in("/proc/" + std::to_string(pid) + "/status");
    std::string line;
    while (std::getline(in, line)) {
        if (line.compare(0, 6, "VmHWM:") == 0) {
            return strtol(line.c_str() + 6, nullptr, 10);
        }
    }
    return -1;
}

} // namespace bridgetest
