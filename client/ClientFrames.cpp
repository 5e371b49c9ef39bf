#include "client/ClientFrames.h"

#include "proto/MonitorRecord.h"
#include "proto/PacketFrame.h"

namespace pellix {
namespace frames {

bool decodeMonitorView(const unsigned char *payload, size_t size, MonitorView &view)
{
    MonitorRecord record;
    if (size > static_cast<size_t>(PacketFrame::kMaxPayload) ||
        !MonitorRecord::decode(payload, static_cast<int>(size), record)) {
        return false;
    }
    view.kind = record.kind;
    view.timeUs = record.timeUs;
    view.devId = static_cast<uint8_t>(record.devId);
    view.srcId = static_cast<uint8_t>(record.srcId);
    view.cmd = static_cast<uint16_t>(record.cmd);
    view.length = static_cast<uint16_t>(record.length);
    view.payload = record.payload;
    view.payloadSize = static_cast<size_t>(record.payloadSize);
    view.lostCount = 0;
    if (record.kind == pellix::wire::kMonitorLost) {
        MonitorRecord::lostCount(record, view.lostCount);
    }
    return true;
}

} // namespace frames
} // namespace pellix
