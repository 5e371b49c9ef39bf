#pragma once
// The event commands (devId 0xE1 to 0xFF): subscriptions, which the record
// keeps across restarts, unsubscriptions, and publications, which the event
// manager hands to each subscriber through the delivery. The hub's own
// publication, a module's departure, goes the same way.

#include <string>

#include "event/CEventManager.h"
#include "hub/CRegMap.h"
#include "hub/HubSettings.h"
#include "proto/FrameHeader.h"

class Subscriptions {
public:
    // Loads and replays the record kept at path into events.
    Subscriptions(const std::string &path, CEventManager &events, const HubSettings &hardened,
                  const EventSendCallback &sender);

    // The event command of one frame; always 0.
    int processRegPublishMsg(const FrameHeader &header);
    // Event 0 to its subscribers: the module of id went away.
    void announceDeparture(int id);

    CRegMap &record() { return regMap; }
    const CRegMap &record() const { return regMap; }

private:
    void subscribe(const unsigned char *payload, int payloadLen, int srcId);
    // Takes withdrawn pairs out of the saved record (recordUnsubscriptions).
    void unrecord(const unsigned char *payload, int payloadLen, int srcId);

    std::string regMapPath;
    CRegMap regMap;
    CEventManager &eventManager;
    const HubSettings &settings;
    EventSendCallback eventSender;
};
