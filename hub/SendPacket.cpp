#include "hub/SendPacket.h"

#include <string>

#include "hub/PacketFrame.h"
#include "net/CObjectBase.h"
#include "trace/Trace.h"

int sendPacket(CObjectBase *connection, int devId, uint8_t cmd, const void *data, int length, int srcId)
{
    if (connection == nullptr) {
        return -1;
    }
    // Reused across calls: building a frame allocates only while the largest
    // payload seen so far grows. The daemon has one thread.
    static std::string frame;
    const size_t size = length > 0 ? static_cast<size_t>(length) : 0;
    if (!PacketFrame::build(frame, devId, srcId, cmd, data, size)) {
        tm_printf(TRACE_ERROR, "sendPacket", __LINE__, "payload of %d bytes does not fit a frame\n", length);
        return -1;
    }
    return connection->sendData(frame.data(), static_cast<int>(frame.size()));
}
