#include "client/FrameBuilder.h"

#include <algorithm>

#include <pellix/Checks.h>
#include <pellix/Wire.h>

#include "client/ClientFrames.h"
#include "proto/EventList.h"
#include "proto/MonitorRecord.h"
#include "proto/PacketFrame.h"

namespace pellix {

Result FrameBuilder::append(std::string &out, int devId, int cmd, const void *head, size_t headSize,
                            const void *body, size_t bodySize, const char *what) const
{
    if (!PacketFrame::append(out, devId, srcId, static_cast<uint16_t>(cmd), head, headSize, body, bodySize)) {
        return Result(Status::InvalidArgument, std::string("the ") + what + " does not fit a frame");
    }
    return Result();
}

Result FrameBuilder::frame(int devId, int cmd, const void *data, size_t size, std::string &out) const
{
    Result r = checkModuleId(devId, "destination");
    if (r) {
        r = checkCommand(cmd);
    }
    if (r) {
        r = checkPayload(size, kMaxPayload, "payload");
    }
    return r ? append(out, devId, cmd, data, size, nullptr, 0, "frame") : r;
}

Result FrameBuilder::publish(int event, const void *data, size_t size, std::string &out) const
{
    Result r = checkPublishedEvent(event);
    if (r) {
        r = checkPayload(size, kMaxEventData, "event data");
    }
    if (!r) {
        return r;
    }
    unsigned char number[2];
    EventList::eventNumber(number, event);
    return append(out, wire::kEventSourceId, wire::kCmdPublish, number, sizeof number, data, size, "publication");
}

Result FrameBuilder::traceLevel(int level, std::string &out) const
{
    Result r = checkTraceLevel(level);
    if (!r) {
        return r;
    }
    const unsigned char value[4] = {static_cast<unsigned char>(level), 0, 0, 0};
    return append(out, wire::kHubId, wire::kCmdTraceLevel, value, sizeof value, nullptr, 0, "trace level command");
}

Result FrameBuilder::report(const std::string &json, std::string &out) const
{
    if (json.empty() || json.size() > static_cast<size_t>(wire::kMaxReportBytes)) {
        return Result(Status::InvalidArgument, "a report is 1 to " + std::to_string(wire::kMaxReportBytes) +
                                                   " bytes, got " + std::to_string(json.size()));
    }
    return append(out, wire::kHubId, wire::kCmdReport, json.data(), json.size(), nullptr, 0, "report");
}

void FrameBuilder::registration(const std::string &name, std::string &out) const
{
    append(out, wire::kHubId, wire::kCmdRegister, name.data(), name.size(), nullptr, 0, "registration");
}

void FrameBuilder::hubCommand(int cmd, std::string &out) const
{
    append(out, wire::kHubId, cmd, nullptr, 0, nullptr, 0, "command");
}

void FrameBuilder::monitorSwitch(bool on, std::string &out) const
{
    const unsigned char value = on ? MonitorRecord::kSwitchOn : MonitorRecord::kSwitchOff;
    append(out, wire::kHubId, wire::kCmdMonitor, &value, 1, nullptr, 0, "monitor switch");
}

void FrameBuilder::eventLists(int cmd, const std::vector<int> &events, std::string &out)
{
    for (size_t from = 0; from < events.size(); from += frames::kEventsPerFrame) {
        const size_t count = std::min(frames::kEventsPerFrame, events.size() - from);
        EventList::encode(list, events, from, count);
        append(out, wire::kEventSourceId, cmd, list.data(), list.size(), nullptr, 0, "event list");
    }
}

} // namespace pellix
