#pragma once
// A monitor attached to the hub for the length of one run: it switches the
// monitor on, reads every copy on a thread of its own and counts the copies
// and what the hub reported lost, so that a run shows what watching costs.

#include <atomic>
#include <cstdint>
#include <thread>

namespace bench {

class MonitorTap {
public:
    MonitorTap() = default;
    ~MonitorTap();
    MonitorTap(const MonitorTap &) = delete;
    MonitorTap &operator=(const MonitorTap &) = delete;

    // Connects to the hub at 127.0.0.1:port and waits (bounded) for the
    // switch-on's answer; false when the hub does not answer.
    bool start(uint16_t port);
    // Reads until the copies stop for a moment, then disconnects.
    void stop();

    uint64_t copies() const { return copyCount; }
    uint64_t lost() const { return lostCount; }

private:
    void readLoop();

    int fd = -1;
    std::thread reader;
    std::atomic<bool> stopping{false};
    std::atomic<uint64_t> copyCount{0};
    std::atomic<uint64_t> lostCount{0};
    std::atomic<int64_t> lastDataNs{0};
};

} // namespace bench
