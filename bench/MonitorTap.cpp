#include "bench/MonitorTap.h"

#include <poll.h>
#include <unistd.h>

#include <chrono>
#include <string>

#include "bench/BenchIo.h"
#include "proto/CDecoupler.h"
#include "proto/MonitorRecord.h"
#include "proto/PacketFrame.h"

namespace bench {

namespace {

const int kMonitorId = 0xFD;

int64_t steadyNs()
{
    return std::chrono::duration_cast<std::chrono::nanoseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

} // namespace

MonitorTap::~MonitorTap()
{
    stop();
}

bool MonitorTap::start(uint16_t port)
{
    fd = connectLoopback(port);
    if (fd < 0) {
        return false;
    }
    std::string frame;
    const unsigned char on = MonitorRecord::kSwitchOn;
    PacketFrame::build(frame, CENTER_DEV_ID, kMonitorId, CMD_MONITOR, &on, 1);
    std::string answer(PacketFrame::kMinFrameSize + MonitorRecord::kHeaderSize, '\0');
    if (!writeAll(fd, frame.data(), frame.size()) || !readExact(fd, &answer[0], answer.size(), 2000)) {
        close(fd);
        fd = -1;
        return false;
    }
    lastDataNs = steadyNs();
    reader = std::thread(&MonitorTap::readLoop, this);
    return true;
}

void MonitorTap::stop()
{
    if (!reader.joinable()) {
        return;
    }
    // The copies of the run's last frames may still be on their way.
    while (steadyNs() - lastDataNs.load() < 200000000) {
        std::this_thread::sleep_for(std::chrono::milliseconds(50));
    }
    stopping = true;
    reader.join();
    close(fd);
    fd = -1;
}

void MonitorTap::readLoop()
{
    CDecoupler splitter(PacketFrame::kStartMark, PacketFrame::kEndMark);
    char buffer[65536];
    while (!stopping) {
        struct pollfd watch = {fd, POLLIN, 0};
        if (poll(&watch, 1, 50) <= 0) {
            continue;
        }
        const ssize_t n = read(fd, buffer, sizeof buffer);
        if (n <= 0) {
            return;
        }
        lastDataNs = steadyNs();
        splitter.append(buffer, static_cast<int>(n));
        const unsigned char *frame = nullptr;
        size_t size = 0;
        while (splitter.nextFrame(frame, size) == 0) {
            MonitorRecord record;
            if (size < static_cast<size_t>(PacketFrame::kMinFrameSize) ||
                !MonitorRecord::decode(frame + PacketFrame::kPayloadOffset,
                                       PacketFrame::payloadSize(static_cast<int>(size)), record)) {
                continue;
            }
            uint64_t count = 0;
            if (record.kind == pellix::wire::kMonitorLost && MonitorRecord::lostCount(record, count)) {
                lostCount += count;
            } else if (record.kind != pellix::wire::kMonitorOn) {
                ++copyCount;
            }
        }
    }
}

} // namespace bench
