#pragma once
// Monitors attached to the hub for the length of one run: each is a
// connection that registers an id of its own (a strict hub takes hub
// commands only under a registered id), switches the monitor on and reads
// everything the hub sends it. One thread reads them all and counts the
// copies and what the hub reported lost, so that a run shows what watching
// costs.

#include <atomic>
#include <cstdint>
#include <string>
#include <thread>
#include <vector>

namespace bench {

class MonitorTap {
public:
    // Monitor i registers kFirstId + i.
    static const int kFirstId = 0x20;
    static const int kMostMonitors = 150;

    MonitorTap() = default;
    ~MonitorTap();
    MonitorTap(const MonitorTap &) = delete;
    MonitorTap &operator=(const MonitorTap &) = delete;

    // Connects `count` monitors to the hub at 127.0.0.1:port, registered
    // as firstId.., each waiting (bounded) for its switch-on's answer;
    // false, with the reason in error(), when one is refused or the hub
    // does not answer.
    bool start(uint16_t port, int count = 1, int firstId = kFirstId);
    // Reads until the copies stop for a moment (or at most a few seconds),
    // then disconnects.
    void stop();

    uint64_t copies() const { return copyCount; }
    uint64_t lost() const { return lostCount; }
    const std::string &error() const { return lastError; }

private:
    bool attach(uint16_t port, int id);
    void readLoop();

    std::vector<int> fds;
    std::thread reader;
    std::atomic<bool> stopping{false};
    std::atomic<uint64_t> copyCount{0};
    std::atomic<uint64_t> lostCount{0};
    std::atomic<int64_t> lastDataNs{0};
    std::string lastError;
};

} // namespace bench
