#include "bench/MonitorTap.h"

#include <sys/epoll.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>
#include <map>

#include "bench/BenchIo.h"
#include "bench/Wire.h"
#include "proto/FrameHeader.h"
#include "proto/MonitorRecord.h"
#include "proto/PacketFrame.h"

namespace bench {

namespace {

const int kAnswerTimeoutMs = 2000;
const int64_t kQuietNs = 200000000LL;     // no copy for this long: the run's last ones are in
const int64_t kMostWaitNs = 10000000000LL; // a monitor that never goes quiet is left after this

// One whole frame from a blocking socket, within timeoutMs for each part.
bool readFrame(int fd, std::string &out, int timeoutMs)
{
    const size_t head = PacketFrame::kLenOffset + 2;
    out.assign(head, '\0');
    if (!readExact(fd, &out[0], head, timeoutMs) ||
        out.compare(0, PacketFrame::kStartMarkSize, PacketFrame::kStartMark) != 0) {
        return false;
    }
    int len = 0;
    PacketFrame::readU16LE(reinterpret_cast<const unsigned char *>(out.data()), static_cast<int>(out.size()),
                           PacketFrame::kLenOffset, len);
    const size_t total = static_cast<size_t>(len) + PacketFrame::kMinFrameSize - PacketFrame::kHeaderSize;
    size_t whole = 0;
    out.resize(std::max(total, head));
    return total > head && readExact(fd, &out[head], total - head, timeoutMs) &&
           pellixFrameAt(reinterpret_cast<const unsigned char *>(out.data()), out.size(), whole) == 1;
}

} // namespace

MonitorTap::~MonitorTap()
{
    stop();
    for (int fd : fds) {
        close(fd);
    }
}

bool MonitorTap::attach(uint16_t port, int id)
{
    const int fd = connectLoopback(port);
    if (fd < 0) {
        lastError = "cannot reach the hub on port " + std::to_string(port);
        return false;
    }
    fds.push_back(fd);
    std::string frames;
    PacketFrame::build(frames, CENTER_DEV_ID, id, CMD_REG, "bench-monitor", 13);
    std::string on;
    const unsigned char switchOn = MonitorRecord::kSwitchOn;
    PacketFrame::build(on, CENTER_DEV_ID, id, CMD_MONITOR, &switchOn, 1);
    frames += on;
    if (!writeAll(fd, frames.data(), frames.size())) {
        lastError = "cannot switch monitor " + std::to_string(id) + " on";
        return false;
    }
    // The registration's reply and the monitor's first record (on, or
    // refused) come in either order.
    bool registered = false;
    int kind = -1;
    std::string got;
    while (!registered || kind < 0) {
        if (!readFrame(fd, got, kAnswerTimeoutMs)) {
            lastError = "monitor " + std::to_string(id) + " got no answer from the hub";
            return false;
        }
        FrameHeader h;
        FrameHeader::decode(reinterpret_cast<const unsigned char *>(got.data()), static_cast<int>(got.size()), h);
        if (h.cmd == CMD_REG) {
            registered = true;
        } else if (h.cmd == CMD_MONITOR && h.payloadSize > 0) {
            kind = h.payload[0];
        }
    }
    if (kind != pellix::wire::kMonitorOn) {
        lastError = "the hub refused monitor " + std::to_string(fds.size()) + " (record kind " +
                    std::to_string(kind) + ")";
        return false;
    }
    return true;
}

bool MonitorTap::start(uint16_t port, int count, int firstId)
{
    if (count < 0 || count > kMostMonitors) {
        lastError = "at most " + std::to_string(kMostMonitors) + " monitors";
        return false;
    }
    for (int i = 0; i < count; ++i) {
        if (!attach(port, firstId + i)) {
            return false;
        }
    }
    lastDataNs = nowNs();
    if (!fds.empty()) {
        reader = std::thread(&MonitorTap::readLoop, this);
    }
    return true;
}

void MonitorTap::stop()
{
    if (!reader.joinable()) {
        return;
    }
    // The copies of the run's last frames may still be on their way.
    const int64_t giveUp = nowNs() + kMostWaitNs;
    while (nowNs() - lastDataNs.load() < kQuietNs && nowNs() < giveUp) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    stopping = true;
    reader.join();
}

void MonitorTap::readLoop()
{
    const int epoll = epoll_create1(EPOLL_CLOEXEC);
    std::map<int, std::string> pending; // per monitor: the start of a frame still coming
    for (int fd : fds) {
        watchReadable(epoll, fd);
    }
    std::vector<unsigned char> buffer(65536);
    struct epoll_event events[64];
    while (!stopping && epoll >= 0) {
        const int ready = epoll_wait(epoll, events, 64, 50);
        for (int e = 0; e < ready; ++e) {
            const int fd = events[e].data.fd;
            const ssize_t n = read(fd, buffer.data(), buffer.size());
            if (n <= 0) {
                if (n == 0) {
                    epoll_ctl(epoll, EPOLL_CTL_DEL, fd, nullptr); // the hub closed it: counted as it stands
                }
                continue;
            }
            lastDataNs = nowNs();
            std::string &held = pending[fd];
            held.append(reinterpret_cast<const char *>(buffer.data()), static_cast<size_t>(n));
            const unsigned char *data = reinterpret_cast<const unsigned char *>(held.data());
            size_t pos = 0;
            size_t total = 0;
            uint64_t copies = 0;
            int whole = 0;
            while ((whole = pellixFrameAt(data + pos, held.size() - pos, total)) == 1) {
                MonitorRecord record;
                uint64_t count = 0;
                if (!MonitorRecord::decode(data + pos + PacketFrame::kPayloadOffset,
                                           PacketFrame::payloadSize(static_cast<int>(total)), record)) {
                    // not a record: passed over
                } else if (record.kind == pellix::wire::kMonitorLost && MonitorRecord::lostCount(record, count)) {
                    lostCount += count;
                } else if (record.kind != pellix::wire::kMonitorOn) {
                    ++copies;
                }
                pos += total;
            }
            copyCount += copies;
            // A stream that is not frames is dropped whole rather than
            // searched: the hub never sends one.
            held.erase(0, whole < 0 ? held.size() : pos);
        }
    }
    if (epoll >= 0) {
        close(epoll);
    }
}

} // namespace bench
