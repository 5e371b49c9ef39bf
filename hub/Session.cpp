#include "hub/Session.h"

#include "net/CSocketClient.h"
#include "proto/PacketFrame.h"

Session::Session(CSocketClient *connection, int64_t nowMs)
    : endpoint(connection), splitter(PacketFrame::kStartMark, PacketFrame::kEndMark), connectedAtMs(nowMs),
      lastInputMs(nowMs)
{
}

TrafficCounters Session::counters() const
{
    TrafficCounters all = traffic;
    all.droppedQueueFull = endpoint->droppedSends();
    return all;
}
