#include "hub/CMonitor.h"

#include <ctime>

#include "hub/MonitorRecord.h"
#include "hub/PacketFrame.h"
#include "net/CObjectBase.h"

uint64_t CMonitor::nowUs()
{
    struct timespec now;
    clock_gettime(CLOCK_REALTIME, &now);
    return static_cast<uint64_t>(now.tv_sec) * 1000000u + static_cast<uint64_t>(now.tv_nsec) / 1000u;
}

void CMonitor::start(CObjectBase *endpoint, int srcId, size_t restoredQueueBytes)
{
    Tap *tap = nullptr;
    for (Tap &candidate : taps) {
        if (candidate.endpoint == endpoint) {
            tap = &candidate;
        }
    }
    if (tap == nullptr) {
        taps.push_back(Tap{endpoint, srcId, restoredQueueBytes, std::string(), 0});
        tap = &taps.back();
        endpoint->setSendQueueLimit(kQueueBytes);
    }
    tap->srcId = srcId;
    append(*tap, MONITOR_ON, nowUs(), 0, 0, 0, nullptr, 0);
}

bool CMonitor::stop(CObjectBase *endpoint)
{
    for (size_t i = 0; i < taps.size(); ++i) {
        if (taps[i].endpoint != endpoint) {
            continue;
        }
        Tap tap = std::move(taps[i]);
        taps.erase(taps.begin() + static_cast<long>(i));
        if (!tap.batch.empty()) {
            endpoint->sendData(tap.batch.data(), static_cast<int>(tap.batch.size()));
        }
        endpoint->setSendQueueLimit(tap.restoredQueueBytes);
        return true;
    }
    return false;
}

void CMonitor::forget(CObjectBase *endpoint)
{
    for (size_t i = 0; i < taps.size(); ++i) {
        if (taps[i].endpoint == endpoint) {
            taps.erase(taps.begin() + static_cast<long>(i));
            return;
        }
    }
}

bool CMonitor::isMonitor(const CObjectBase *endpoint) const
{
    for (const Tap &tap : taps) {
        if (tap.endpoint == endpoint) {
            return true;
        }
    }
    return false;
}

bool CMonitor::fits(const Tap &tap, size_t size)
{
    return tap.endpoint->queuedBytes() + tap.batch.size() + size <= kQueueBytes;
}

void CMonitor::append(Tap &tap, int kind, uint64_t timeUs, int devId, int srcId, int cmd, const void *payload,
                      size_t length)
{
    record.clear();
    if (tap.lostSinceReport > 0) {
        MonitorRecord::appendLostFrame(record, tap.srcId, timeUs, tap.lostSinceReport);
    }
    const size_t lostPart = record.size();
    MonitorRecord::appendFrame(record, tap.srcId, kind, timeUs, devId, srcId, cmd, payload, length);
    if (fits(tap, record.size())) {
        tap.batch += record;
        tap.lostSinceReport = 0;
        return;
    }
    // The report alone may still fit; the copy is lost either way.
    ++lost;
    if (lostPart > 0 && fits(tap, lostPart)) {
        tap.batch.append(record, 0, lostPart);
        tap.lostSinceReport = 1;
    } else {
        ++tap.lostSinceReport;
    }
}

void CMonitor::copy(int kind, int devId, int srcId, int cmd, const void *payload, size_t length)
{
    const uint64_t timeUs = nowUs();
    for (Tap &tap : taps) {
        append(tap, kind, timeUs, devId, srcId, cmd, payload, length);
    }
}

void CMonitor::copyFrame(int kind, const unsigned char *frame, int size)
{
    if (taps.empty() || size < PacketFrame::kMinFrameSize) {
        return;
    }
    int cmd = 0;
    PacketFrame::readU16LE(frame, size, PacketFrame::kCmdOffset, cmd);
    copy(kind, frame[PacketFrame::kDevIdOffset], frame[PacketFrame::kSrcIdOffset], cmd,
         frame + PacketFrame::kPayloadOffset, static_cast<size_t>(PacketFrame::payloadSize(size)));
}

void CMonitor::flush()
{
    for (Tap &tap : taps) {
        if (tap.batch.empty()) {
            continue;
        }
        // Queue mode: never blocks, and fits() kept the batch within the queue.
        tap.endpoint->sendData(tap.batch.data(), static_cast<int>(tap.batch.size()));
        tap.batch.clear();
        if (tap.batch.capacity() > 65536) {
            std::string().swap(tap.batch);
        }
    }
}
