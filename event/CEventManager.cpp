#include "event/CEventManager.h"

#include <algorithm>
#include <cstdint>

#include "proto/EventList.h"
#include "proto/PacketFrame.h"
#include "trace/Trace.h"

void CEventManager::addSubscription(int iEvent, int iModId)
{
    std::vector<int> &subscribers = eventTable[iEvent];
    if (std::find(subscribers.begin(), subscribers.end(), iModId) == subscribers.end()) {
        subscribers.push_back(iModId);
    }
}

void CEventManager::removeSubscription(int iEvent, int iModId)
{
    EventTable::iterator it = eventTable.find(iEvent);
    if (it == eventTable.end()) {
        return;
    }
    std::vector<int> &subscribers = it->second;
    std::vector<int>::iterator pos = std::find(subscribers.begin(), subscribers.end(), iModId);
    if (pos == subscribers.end()) {
        return;
    }
    subscribers.erase(pos);
    if (subscribers.empty()) {
        eventTable.erase(it);
    }
}

int CEventManager::RegEvent(int iEvent, int iModId)
{
    tm_printf(TRACE_DEBUG, "RegEvent", __LINE__, "reg event: %d, modId: 0x%02x\n", iEvent, iModId);
    addSubscription(iEvent, iModId);
    return 0;
}

int CEventManager::UnRegEvent(int iEvent, int iModId)
{
    tm_printf(TRACE_DEBUG, "UnRegEvent", __LINE__, "Unreg event: %d, modId: 0x%02x\n", iEvent, iModId);
    removeSubscription(iEvent, iModId);
    return 0;
}

int CEventManager::RegEventList(const void *payload, int iLen, int iModId)
{
    const unsigned char *bytes = static_cast<const unsigned char *>(payload);
    const int claimed = (bytes != nullptr && iLen >= 1) ? bytes[0] : 0;
    tm_printf(TRACE_DEBUG, "RegEventList", __LINE__, "reg num: %d\n", claimed);
    const int count = EventList::listedCount(bytes, iLen);
    if (count < claimed) {
        tm_printf(TRACE_WARM, "RegEventList", __LINE__, "list claims %d events, payload holds %d\n", claimed, count);
    }
    for (int i = 0; i < count; ++i) {
        const int iEvent = EventList::listedEvent(bytes, i);
        tm_printf(TRACE_DEBUG, "RegEventList", __LINE__, "no.%d, reg event: %d, modId: 0x%02x\n", i, iEvent, iModId);
        addSubscription(iEvent, iModId);
    }
    return 0;
}

int CEventManager::UnRegEventList(const void *payload, int iLen, int iModId)
{
    const unsigned char *bytes = static_cast<const unsigned char *>(payload);
    const int count = EventList::listedCount(bytes, iLen);
    for (int i = 0; i < count; ++i) {
        const int iEvent = EventList::listedEvent(bytes, i);
        tm_printf(TRACE_DEBUG, "UnRegEventList", __LINE__, "no.%d, Unreg event: %d, modId: 0x%02x\n", i, iEvent,
                  iModId);
        removeSubscription(iEvent, iModId);
    }
    return 0;
}

int CEventManager::ProcessEventData(const void *payload, int iLen, const EventSendCallback &callback)
{
    const unsigned char *bytes = static_cast<const unsigned char *>(payload);
    if (bytes == nullptr || iLen < 2) {
        tm_printf(TRACE_WARM, "ProcessEventData", __LINE__, "publication of %d bytes has no event number\n", iLen);
        return 0;
    }
    // Read signed on purpose: numbers of 0x8000 and above can be subscribed
    // to through a list but a publication never matches them.
    const int iEvent = static_cast<int16_t>(static_cast<uint16_t>(bytes[0] | (bytes[1] << 8)));
    tm_printf(TRACE_DEBUG, "ProcessEventData", __LINE__, "publish event: %d\n", iEvent);
    EventTable::const_iterator it = eventTable.find(iEvent);
    if (it == eventTable.end() || !callback) {
        return 0;
    }
    // The length is read anew before each call: the callback must not change
    // the table, but a shrinking list must never be read past its end.
    for (size_t i = 0; i < it->second.size(); ++i) {
        callback(iEvent, it->second[i], payload, iLen);
    }
    return 0;
}
