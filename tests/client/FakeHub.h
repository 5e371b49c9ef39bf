#pragma once
// A stand-in for the hub on loopback, on a free port of its own: it takes
// TCP connections and datagrams on one port number, reads what comes, and
// answers the first bytes of each connection (and every datagram) with the
// frames a test gives, one datagram per frame; or never, like a hub that
// lacks the command asked for. It notes the size of every datagram. Used by
// the SDK's and the tool's tests, with the answers below.

#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <atomic>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

#include "proto/MonitorRecord.h"
#include "proto/StatusPart.h"
#include "proto/PacketFrame.h"
#include "tests/support/Frames.h"

namespace fake {

// A whole status reply to module dev, in parts.
inline std::string statusReply(int dev, const std::string &text)
{
    std::string frames;
    StatusPart::appendFrames(frames, dev, text, 16384);
    return frames;
}

// The hub's refusal of a monitor: header fields zero, the reason as payload.
inline std::string monitorRefusal(int dev, const std::string &reason)
{
    unsigned char head[MonitorRecord::kHeaderSize];
    MonitorRecord::header(head, MonitorKind::Refused, 0, 0, 0, 0, 0);
    std::string frame;
    PacketFrame::append(frame, dev, CENTER_DEV_ID, CMD_MONITOR, head, sizeof head, reason.data(), reason.size());
    return frame;
}

class FakeHub {
public:
    explicit FakeHub(const std::string &answerFrames = std::string()) : answer(answerFrames)
    {
        // The UDP port first, then TCP on the same number; another try if TCP's is taken.
        for (int attempt = 0; attempt < 20 && tcp < 0; ++attempt) {
            closeAll();
            udp = bound(SOCK_DGRAM, 0);
            sockaddr_in at = {};
            socklen_t size = sizeof at;
            if (udp >= 0 && getsockname(udp, reinterpret_cast<sockaddr *>(&at), &size) == 0) {
                tcp = bound(SOCK_STREAM, at.sin_port);
                number = ntohs(at.sin_port);
            }
        }
        if (tcp >= 0 && listen(tcp, 4) == 0) {
            worker = std::thread([this] { serve(); });
        }
    }
    ~FakeHub()
    {
        stopping = true;
        if (worker.joinable()) {
            worker.join();
        }
        closeAll();
    }
    FakeHub(const FakeHub &) = delete;
    FakeHub &operator=(const FakeHub &) = delete;

    bool ok() const { return worker.joinable(); }
    uint16_t port() const { return number; }
    std::string address() const { return "127.0.0.1:" + std::to_string(number); }
    std::vector<size_t> datagramSizes() const
    {
        std::lock_guard<std::mutex> lock(seenLock);
        return sizes;
    }

private:
    static int bound(int type, uint16_t portBE)
    {
        const int fd = socket(AF_INET, type | SOCK_CLOEXEC, 0);
        sockaddr_in at = {};
        at.sin_family = AF_INET;
        at.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        at.sin_port = portBE;
        if (fd >= 0 && bind(fd, reinterpret_cast<sockaddr *>(&at), sizeof at) != 0) {
            ::close(fd);
            return -1;
        }
        return fd;
    }

    void closeAll()
    {
        for (int *fd : {&tcp, &udp}) {
            if (*fd >= 0) {
                ::close(*fd);
                *fd = -1;
            }
        }
    }

    void serve()
    {
        std::vector<pollfd> fds = {{tcp, POLLIN, 0}, {udp, POLLIN, 0}};
        std::vector<bool> answered(2, true);
        char buffer[65536];
        while (!stopping) {
            if (poll(fds.data(), fds.size(), 20) <= 0) {
                continue;
            }
            if (fds[0].revents & POLLIN) {
                const int fd = accept4(tcp, nullptr, nullptr, SOCK_CLOEXEC);
                if (fd >= 0) {
                    fds.push_back({fd, POLLIN, 0});
                    answered.push_back(false);
                }
            }
            if (fds[1].revents & POLLIN) {
                sockaddr_in from = {};
                socklen_t size = sizeof from;
                const ssize_t got = recvfrom(udp, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr *>(&from), &size);
                if (got > 0) {
                    std::lock_guard<std::mutex> lock(seenLock);
                    sizes.push_back(static_cast<size_t>(got));
                    for (const e2e::CutFrame &frame : e2e::cutFrames(answer)) {
                        sendto(udp, frame.bytes.data(), frame.bytes.size(), 0, reinterpret_cast<sockaddr *>(&from),
                               size);
                    }
                }
            }
            for (size_t i = 2; i < fds.size(); ++i) {
                if ((fds[i].revents & (POLLIN | POLLHUP)) == 0 || fds[i].fd < 0) {
                    continue;
                }
                if (read(fds[i].fd, buffer, sizeof buffer) <= 0) {
                    ::close(fds[i].fd);
                    fds[i].fd = -1; // poll skips negative descriptors
                } else if (!answered[i]) {
                    answered[i] = true;
                    if (!answer.empty() && write(fds[i].fd, answer.data(), answer.size()) < 0) {
                        ::close(fds[i].fd);
                        fds[i].fd = -1;
                    }
                }
            }
        }
        for (size_t i = 2; i < fds.size(); ++i) {
            if (fds[i].fd >= 0) {
                ::close(fds[i].fd);
            }
        }
    }

    std::string answer;
    mutable std::mutex seenLock;
    std::vector<size_t> sizes;
    int tcp = -1;
    int udp = -1;
    uint16_t number = 0;
    std::atomic<bool> stopping{false};
    std::thread worker;
};

} // namespace fake
