#include "hub/CMonitor.h"

#include <ctime>

#include <algorithm>

#include "proto/MonitorRecord.h"
#include "proto/PacketFrame.h"
#include "net/CSocketClient.h"
#include "net/SharedFrame.h"

uint64_t CMonitor::nowUs()
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

CMonitor::Tap *CMonitor::find(const CSocketClient *endpoint)
{
    for (Tap &tap : taps) {
        if (tap.endpoint == endpoint) {
            return &tap;
        }
    }
    return nullptr;
}

bool CMonitor::isMonitor(const CSocketClient *endpoint) const
{
    return const_cast<CMonitor *>(this)->find(endpoint) != nullptr;
}

bool CMonitor::start(CSocketClient *endpoint, int srcId, size_t restoredQueueBytes)
{
    Tap *tap = find(endpoint);
    if (tap == nullptr) {
        if (taps.size() >= maxMonitors) {
            ++refused;
            return false;
        }
        taps.push_back(Tap{endpoint, srcId, restoredQueueBytes, 0});
        tap = &taps.back();
        endpoint->setSendQueueLimit(kQueueBytes);
    }
    tap->srcId = srcId;
    record.clear();
    MonitorRecord::appendFrame(record, srcId, MonitorKind::On, nowUs(), 0, 0, 0, nullptr, 0);
    endpoint->sendData(record.data(), static_cast<int>(record.size()));
    return true;
}

bool CMonitor::stop(CSocketClient *endpoint)
{
    for (size_t i = 0; i < taps.size(); ++i) {
        if (taps[i].endpoint != endpoint) {
            continue;
        }
        const size_t restored = taps[i].restoredQueueBytes;
        taps.erase(taps.begin() + static_cast<long>(i));
        // What its socket takes now still goes; the rest would otherwise wait
        // for a reader that asked for no more.
        endpoint->flushUnsent();
        lost += endpoint->dropQueuedShared();
        endpoint->setSendQueueLimit(restored);
        return true;
    }
    return false;
}

void CMonitor::forget(CSocketClient *endpoint)
{
    for (size_t i = 0; i < taps.size(); ++i) {
        if (taps[i].endpoint == endpoint) {
            taps.erase(taps.begin() + static_cast<long>(i));
            return;
        }
    }
}

void CMonitor::refusalFrame(std::string &out, int srcId, const std::string &reason)
{
    out.clear();
    MonitorRecord::appendFrame(out, srcId, MonitorKind::Refused, nowUs(), 0, 0, 0, reason.data(), reason.size());
}

void CMonitor::reportLost(Tap &tap, uint64_t timeUs, size_t bound)
{
    record.clear();
    MonitorRecord::appendLostFrame(record, tap.srcId, timeUs, tap.lostSinceReport);
    // Room for the record as the queue's storage would grow to take it.
    if (tap.endpoint->queuedMemoryBytes() + record.size() + SendQueue::kGrowStep <= bound &&
        tap.endpoint->sendData(record.data(), static_cast<int>(record.size())) > 0) {
        tap.lostSinceReport = 0;
    }
}

void CMonitor::copy(MonitorKind kind, int devId, int srcId, int cmd, const void *payload, size_t length)
{
    if (taps.empty()) {
        return;
    }
    const uint64_t timeUs = nowUs();
    // Encoded once for every monitor; each queue puts its own destination
    // in the frame's devId.
    SharedFrame *frame = SharedFrame::create(MonitorRecord::frameSize(length), PacketFrame::kDevIdOffset);
    if (frame != nullptr) {
        MonitorRecord::writeFrame(frame->data(), 0, kind, timeUs, devId, srcId, cmd, payload, length);
    }
    size_t total = 0;
    for (const Tap &tap : taps) {
        total += tap.endpoint->queuedMemoryBytes();
    }
    for (Tap &tap : taps) {
        const size_t held = tap.endpoint->queuedMemoryBytes();
        const size_t room = kTotalQueueBytes > total ? kTotalQueueBytes - total : 0;
        const size_t bound = std::min(kQueueBytes, held + room);
        if (tap.lostSinceReport > 0) {
            reportLost(tap, timeUs, bound);
        }
        // Behind an unsent lost-copies record no copy may go.
        if (tap.lostSinceReport > 0 || frame == nullptr ||
            !tap.endpoint->queueShared(frame, static_cast<unsigned char>(tap.srcId), bound)) {
            ++tap.lostSinceReport;
            ++lost;
        }
        total = total - held + tap.endpoint->queuedMemoryBytes();
    }
    if (frame != nullptr) {
        frame->release();
    }
}

void CMonitor::copyFrame(MonitorKind kind, const FrameHeader &h)
{
    copy(kind, h.devId, h.srcId, h.cmd, h.payload, static_cast<size_t>(h.payloadSize));
}
