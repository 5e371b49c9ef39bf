#include "hub/Delivery.h"

#include "net/CSocketClient.h"
#include "proto/PacketFrame.h"
#include "trace/Trace.h"

void Delivery::deliver(CSocketClient *endpoint, Session *to, const void *data, int len)
{
    if (to != nullptr) {
        ++to->traffic.framesOut;
        to->traffic.bytesOut += static_cast<uint64_t>(len);
    }
    outbox.send(endpoint, data, len);
}

void Delivery::sendPacket(Session &to, int devId, int cmd, const void *data, size_t size, int srcId)
{
    if (PacketFrame::build(packet, devId, srcId, static_cast<uint16_t>(cmd), data, size)) {
        deliver(to.endpoint, &to, packet.data(), static_cast<int>(packet.size()));
    } else {
        tm_printf(TRACE_ERROR, "sendPacket", __LINE__, "payload of %zu bytes does not fit a frame\n", size);
    }
}

void Delivery::forwardData(const unsigned char *frame, int size, int devId, int srcId, int cmd)
{
    Session *to = sessions.holder(devId);
    if (to == nullptr) {
        tm_printf(TRACE_INFO, "forwardData", 359, "not find dest devId: %02x\n", devId);
        return;
    }
    tm_printf(TRACE_INFO, "forwardData", 347, "from srcId [%02x] to devId [%02x], cmd: 0x%04x, dataLen: %d\n", srcId,
              devId, cmd, size);
    if (printing) {
        debug_print(frame, size);
    }
    deliver(to->endpoint, to, frame, size);
}

int Delivery::sendEventPacket(int iEvent, int iModId, const void *data, int iLen)
{
    tm_printf(TRACE_DEBUG, "sendEventPacket", 146, "in SendEventPacket, send iEvent: %d, to iModId: 0x%02x,iLen : %d\n",
              iEvent, iModId, iLen);
    Session *to = sessions.holder(iModId);
    if (to == nullptr) {
        tm_printf(TRACE_INFO, "sendEventPacket", 164, "not find dest devId: %02x\n", iModId);
        return 0;
    }
    tm_printf(TRACE_INFO, "sendEventPacket", 152, "from event mgr to devId [%02x], iEvent: 0x%02x, dataLen: %d\n",
              iModId, iEvent, iLen);
    if (printing) {
        debug_print(data, iLen);
    }
    sendPacket(*to, iModId, CMD_PUBLISH_EVENT, data, iLen > 0 ? static_cast<size_t>(iLen) : 0, EVENT_MGR_DEV_ID);
    return 0;
}
