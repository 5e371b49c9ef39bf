#pragma once
// The ground of the fault tests: the real daemon as the end-to-end tests
// run it, plus what it takes to attack it from outside: raw connections by
// the hundred, the hub's descriptors and CPU time read from /proc, and the
// accept queue of its listening socket.

#include <gtest/gtest.h>

#include <sys/types.h>

#include <cstdint>
#include <string>

#include "tests/e2e/E2eFixture.h"
#include "tests/support/StreamIo.h"

namespace fault {

using namespace e2e;

// A descriptor closed when it goes out of scope.
class OwnedFd {
public:
    explicit OwnedFd(int descriptor = -1) : fd(descriptor) {}
    ~OwnedFd() { reset(); }
    OwnedFd(OwnedFd &&other) noexcept : fd(other.fd) { other.fd = -1; }
    OwnedFd &operator=(OwnedFd &&other) noexcept
    {
        if (this != &other) {
            reset(other.fd);
            other.fd = -1;
        }
        return *this;
    }
    OwnedFd(const OwnedFd &) = delete;
    OwnedFd &operator=(const OwnedFd &) = delete;

    int get() const { return fd; }
    void reset(int descriptor = -1);

private:
    int fd;
};

// A blocking TCP connection to the hub's port on the loopback address,
// close-on-exec; -1 on failure.
int connectTcp(uint16_t port);
// True when the peer has closed or reset the connection: the descriptor
// polls readable and a read returns 0 or fails.
bool closedByPeer(int fd, int timeoutMs);

// Clock ticks of user and system time the process has used so far; -1 when
// it cannot be read.
long cpuTicks(pid_t pid);
// Descriptors the process holds open; -1 when they cannot be listed.
int openDescriptors(pid_t pid);
// Connections waiting in the accept queue of the TCP socket listening on
// `port`; -1 when there is none.
int acceptQueueLength(uint16_t port);
// The rx_queue figures of the TCP sockets on local `port` in `state` (as
// /proc/net/tcp writes it: "0A" listening, "01" established), added up; -1
// when there is none.
long tcpReceiveQueues(uint16_t port, const char *state);

// Milliseconds on the monotonic clock.
int64_t monotonicMs();

class FaultFixture : public E2eFixture {
protected:
    void TearDown() override
    {
        E2eFixture::TearDown();
        if (HasFailure()) {
            std::cerr << "--- stdout (tail):\n" << tail(daemon.stdoutText(), 6000) << "\n";
        }
    }
};

} // namespace fault
