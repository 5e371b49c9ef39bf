#include "bench/IdleCrowd.h"

#include <unistd.h>

#include "bench/BenchIo.h"
#include "proto/PacketFrame.h"

namespace bench {

namespace {

const int kReplyTimeoutMs = 5000;

} // namespace

bool IdleCrowd::start(uint16_t port, int count)
{
    if (count < 0 || count > kMost) {
        why = "an idle crowd of 0 to " + std::to_string(kMost);
        return false;
    }
    for (int i = 0; i < count; ++i) {
        const int fd = connectLoopback(port);
        if (fd < 0) {
            why = "idle connection " + std::to_string(i) + " cannot reach the hub on port " + std::to_string(port);
            return false;
        }
        fds.push_back(fd);
        const int id = kFirstId + i;
        if (id > kLastId) {
            continue;
        }
        std::string registration;
        std::string reply;
        PacketFrame::build(registration, CENTER_DEV_ID, id, CMD_REG, "bench-idle", 10);
        PacketFrame::build(reply, id, CENTER_DEV_ID, CMD_REG, nullptr, 0);
        std::string got(reply.size(), '\0');
        if (!writeAll(fd, registration.data(), registration.size()) ||
            !readExact(fd, &got[0], got.size(), kReplyTimeoutMs) || got != reply) {
            why = "no registration reply for idle module " + std::to_string(id);
            return false;
        }
    }
    return true;
}

void IdleCrowd::stop()
{
    for (int fd : fds) {
        close(fd);
    }
    fds.clear();
}

} // namespace bench
