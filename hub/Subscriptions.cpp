#include "hub/Subscriptions.h"

#include <boost/bind/bind.hpp>

#include "hub/HubLog.h"
#include "proto/EventList.h"
#include "proto/PacketFrame.h"
#include "trace/Trace.h"

Subscriptions::Subscriptions(const std::string &path, CEventManager &events, const HubSettings &hardened,
                             const EventSendCallback &sender)
    : regMapPath(path), eventManager(events), settings(hardened), eventSender(sender)
{
    using namespace boost::placeholders;
    if (regMap.loadRegMap(regMapPath) == 3) {
        HubLog::log(spdlog::level::warn, "regMap {} not read: {}", regMapPath, regMap.refusal());
    }
    regMap.replayRegMap(boost::bind(&CEventManager::RegEvent, &eventManager, _1, _2));
}

int Subscriptions::processRegPublishMsg(const FrameHeader &h)
{
    // len says how much payload there is, but never more than the frame
    // really holds.
    const int payloadLen = h.claimedPayload();
    switch (h.cmd) {
    case CMD_REG_EVENT:
        subscribe(h.payload, payloadLen, h.srcId);
        break;
    case CMD_UNREG_EVENT:
        eventManager.UnRegEventList(h.payload, payloadLen, h.srcId);
        if (settings.recordUnsubscriptions) {
            unrecord(h.payload, payloadLen, h.srcId);
        }
        break;
    case CMD_PUBLISH_EVENT:
        eventManager.ProcessEventData(h.payload, payloadLen, eventSender);
        break;
    default:
        tm_printf(TRACE_INFO, "processRegPublishMsg", 205, "not find this type: 0x%02x\n", h.cmd);
        break;
    }
    return 0;
}

void Subscriptions::announceDeparture(int id)
{
    unsigned char payload[EventList::kDepartureSize];
    EventList::departure(payload, id);
    eventManager.ProcessEventData(payload, sizeof payload, eventSender);
}

// Only the events the record admits are subscribed (it bounds what a module
// and all of them may hold), and the record is written only when it gained a
// pair: a repeated subscription costs no write.
void Subscriptions::subscribe(const unsigned char *payload, int payloadLen, int srcId)
{
    const int count = EventList::listedCount(payload, payloadLen);
    unsigned char admitted[1 + 2 * 255];
    int kept = 0;
    bool changed = false;
    for (int i = 0; i < count; ++i) {
        const int event = EventList::listedEvent(payload, i);
        const int result = regMap.addRegMapEntry(event, srcId);
        if (result < 0) {
            tm_printf(TRACE_WARM, "processRegPublishMsg", __LINE__,
                      "refuse subscription of module 0x%02x to event %d: %s\n", srcId, event,
                      result == -1 ? "the module holds the most events allowed" : "the record is full");
            continue;
        }
        changed = changed || result == 0;
        admitted[1 + 2 * kept] = payload[1 + 2 * i];
        admitted[2 + 2 * kept] = payload[2 + 2 * i];
        ++kept;
    }
    if (count == 0 || kept > 0) {
        // The list as it came when all of it is admitted, so that the event
        // manager sees (and traces) what the module sent.
        if (kept == count) {
            eventManager.RegEventList(payload, payloadLen, srcId);
        } else {
            admitted[0] = static_cast<unsigned char>(kept);
            eventManager.RegEventList(admitted, 1 + 2 * kept, srcId);
        }
    }
    if (changed) {
        regMap.saveRegMap(regMapPath);
    }
}

void Subscriptions::unrecord(const unsigned char *payload, int payloadLen, int srcId)
{
    const int count = EventList::listedCount(payload, payloadLen);
    bool changed = false;
    for (int i = 0; i < count; ++i) {
        changed = regMap.removeRegMapEntry(EventList::listedEvent(payload, i), srcId) || changed;
    }
    if (changed) {
        regMap.saveRegMap(regMapPath);
    }
}
