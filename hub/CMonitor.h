#pragma once
// The connections that asked for copies of every frame the hub routes.
//
// A copy must never slow the hub: each monitor's copies gather in a batch
// that is written once per read callback (flush), and the connection's sends
// never block while it is a monitor: it gets a bounded send queue of its
// own, whatever the hub's send queue setting says. A copy that would not fit
// the batch and the queue together is lost, counted, and reported in the
// monitor's own stream (a LOST record) once there is room again.
//
// Endpoints are held as plain pointers: the hub removes a monitor in the
// callback that learns of its connection's loss.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

class CObjectBase;

class CMonitor {
public:
    static constexpr size_t kQueueBytes = 1u << 20;

    // Switches the monitor on for endpoint, whose copies go to srcId, and
    // sends the MONITOR_ON record. restoredQueueBytes: the send queue limit
    // the endpoint gets back when the monitor is switched off.
    void start(CObjectBase *endpoint, int srcId, size_t restoredQueueBytes);
    // Switches it off (false when it was not on); its batch is still written.
    bool stop(CObjectBase *endpoint);
    // Forgets a connection that is gone, without writing to it.
    void forget(CObjectBase *endpoint);
    bool empty() const { return taps.empty(); }
    size_t size() const { return taps.size(); }
    bool isMonitor(const CObjectBase *endpoint) const;

    // A copy of one whole frame (markers included) of the given kind.
    void copyFrame(int kind, const unsigned char *frame, int size);
    // A copy of a frame the hub builds itself.
    void copy(int kind, int devId, int srcId, int cmd, const void *payload, size_t length);
    // Writes every batch: at the end of each callback that routed frames.
    void flush();

    // Copies lost over all monitors, since the start.
    uint64_t lostTotal() const { return lost; }

private:
    struct Tap {
        CObjectBase *endpoint;
        int srcId;
        size_t restoredQueueBytes;
        std::string batch;
        uint64_t lostSinceReport = 0;
    };

    static uint64_t nowUs();
    // Whether a record of size bytes fits beside what tap already holds.
    static bool fits(const Tap &tap, size_t size);
    void append(Tap &tap, int kind, uint64_t timeUs, int devId, int srcId, int cmd, const void *payload,
                size_t length);

    std::vector<Tap> taps;
    std::string record; // reused for each copy
    uint64_t lost = 0;
};
