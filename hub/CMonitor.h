#pragma once
// The connections that asked for copies of every frame the hub routes.
//
// A copy must never slow the hub, nor let monitors take its memory:
// - each copy is encoded once, as a frame that every monitor's send queue
//   holds by reference with its own destination id patched in, so a routed
//   frame costs one encoding and a few words per monitor;
// - a monitor's sends never block: it gets a bounded send queue of its own,
//   whatever the hub's send queue setting says, and its queue's memory stays
//   within kQueueBytes; all monitors together stay within kTotalQueueBytes;
// - at most maxMonitors connections are monitors; the one beyond is refused.
// A copy that does not fit is lost, counted, and reported in the monitor's
// own stream (a lost-copies record) once there is room again. Switching a monitor
// off drops the copies it has not begun to receive, counted as lost.
//
// Endpoints are held as plain pointers: the hub removes a monitor in the
// callback that learns of its connection's loss.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "proto/FrameHeader.h"
#include "proto/MonitorRecord.h"

class CSocketClient;

class CMonitor {
public:
    static constexpr size_t kQueueBytes = 1u << 20;
    static constexpr size_t kTotalQueueBytes = 16u << 20;
    static constexpr size_t kDefaultMaxMonitors = 4;
    static constexpr size_t kMostMonitors = 256;

    void setMaxMonitors(size_t most) { maxMonitors = most; }
    size_t capacity() const { return maxMonitors; }

    // Switches the monitor on for endpoint, whose copies go to srcId, and
    // sends the monitor-on record; again on a monitor: a new one.
    // restoredQueueBytes: the send queue limit the endpoint gets back when
    // the monitor is switched off. False, with nothing sent, when the
    // monitors are at capacity.
    bool start(CSocketClient *endpoint, int srcId, size_t restoredQueueBytes);
    // Switches it off (false when it was not on), dropping its queued copies.
    bool stop(CSocketClient *endpoint);
    // Forgets a connection that is gone, without writing to it.
    void forget(CSocketClient *endpoint);
    bool empty() const { return taps.empty(); }
    size_t size() const { return taps.size(); }
    bool isMonitor(const CSocketClient *endpoint) const;

    // A copy of one routed frame, given by its header.
    void copyFrame(MonitorKind kind, const FrameHeader &header);
    // A copy of a frame the hub builds itself.
    void copy(MonitorKind kind, int devId, int srcId, int cmd, const void *payload, size_t length);

    // Copies lost over all monitors, since the start.
    uint64_t lostTotal() const { return lost; }
    // Monitors refused for want of room, since the start.
    uint64_t refusedTotal() const { return refused; }
    // The record that answers a refused switch-on, for the hub to send.
    static void refusalFrame(std::string &out, int srcId, const std::string &reason);

private:
    struct Tap {
        CSocketClient *endpoint;
        int srcId;
        size_t restoredQueueBytes;
        uint64_t lostSinceReport;
    };

    static uint64_t nowUs();
    Tap *find(const CSocketClient *endpoint);
    // Sends tap's lost-copies record if one is due and fits within bound.
    void reportLost(Tap &tap, uint64_t timeUs, size_t bound);

    std::vector<Tap> taps;
    size_t maxMonitors = kDefaultMaxMonitors;
    std::string record; // reused for each lost-copies record
    uint64_t lost = 0;
    uint64_t refused = 0;
};
