#pragma once
// What passed through one connection (or the UDP port, or the whole hub):
// counted on the routing path, read by the status command.

#include <cstdint>

struct TrafficCounters {
    uint64_t framesIn = 0;
    uint64_t bytesIn = 0;
    uint64_t framesOut = 0;
    uint64_t bytesOut = 0;
    uint64_t droppedQueueFull = 0; // sends a full send queue dropped whole
    uint64_t droppedShort = 0;     // frames too short to hold a header
    uint64_t droppedRefused = 0;   // frames a hardened setting refused

    void add(const TrafficCounters &other)
    {
        framesIn += other.framesIn;
        bytesIn += other.bytesIn;
        framesOut += other.framesOut;
        bytesOut += other.bytesOut;
        droppedQueueFull += other.droppedQueueFull;
        droppedShort += other.droppedShort;
        droppedRefused += other.droppedRefused;
    }
};
